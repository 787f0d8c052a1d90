// Measures the block list at the scale of today's lists: the time to load
// the adhosts file alone and with an adblock list and a hosts file, the
// time of one look-up (hits, misses, deep subdomains), and the memory the
// tables take. Run by bench/blocklist/run.sh on lists that make_lists.py
// generates.
//
// Usage: blocklist_bench --adhosts FILE --easylist FILE --hosts FILE --queries DIR
//                        [--runs N] [--lookups N]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "block_list.h"

namespace {

using Clock = std::chrono::steady_clock;
using kel::server::BlockList;

struct Options {
    std::string adhosts, easylist, hosts, queries;
    int runs = 7;
    long lookups = 5'000'000;  // per set and run
};

[[noreturn]] void fail(const std::string &why) {
    std::fprintf(stderr, "blocklist_bench: %s\n", why.c_str());
    std::exit(1);
}

// The machine is shared: wall time counts the slices other processes take,
// so every figure also comes as this thread's CPU time.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Stopwatch {
    Clock::time_point wall = Clock::now();
    double cpu = cpu_seconds();
};

struct Figure {
    double wall, cpu;  // medians
};


double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

Figure medians(std::vector<double> wall, std::vector<double> cpu) { return {median(wall), median(cpu)}; }

// Seconds of wall and CPU time since the stopwatch started.
std::pair<double, double> elapsed(const Stopwatch &w) {
    return {std::chrono::duration<double>(Clock::now() - w.wall).count(), cpu_seconds() - w.cpu};
}

// Resident set size from /proc/self/statm, in bytes.
size_t rss_bytes() {
    std::ifstream statm("/proc/self/statm");
    size_t pages_total = 0, pages_resident = 0;
    statm >> pages_total >> pages_resident;
    return pages_resident * 4096;
}

// The hosts of a query file, back to back in one block as a server's
// request buffers would hold them, so that reading them costs little
// beside the look-up.
struct Hosts {
    std::string bytes;
    std::vector<std::string_view> names;
};

Hosts read_hosts(const std::string &path) {
    std::ifstream in(path);
    if (!in) fail("cannot read " + path);
    Hosts hosts;
    std::vector<std::pair<size_t, size_t>> spans;
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        spans.emplace_back(hosts.bytes.size(), line.size());
        hosts.bytes += line;
    }
    if (spans.empty()) fail(path + " holds no names");
    for (const auto &[at, length] : spans) hosts.names.emplace_back(hosts.bytes.data() + at, length);
    return hosts;
}

std::unique_ptr<BlockList> build(const Options &o, bool with_lists) {
    auto list = std::make_unique<BlockList>();
    std::string error;
    if (!list->load_adhosts(o.adhosts, &error)) fail(error);
    if (with_lists && (!list->load_list(o.easylist, &error) || !list->load_list(o.hosts, &error))) fail(error);
    return list;
}

// Median seconds to build the list, over the runs.
Figure time_load(const Options &o, bool with_lists) {
    std::vector<double> wall, cpu;
    for (int run = 0; run < o.runs; ++run) {
        const Stopwatch watch;
        auto list = build(o, with_lists);
        const auto [w, c] = elapsed(watch);
        wall.push_back(w);
        cpu.push_back(c);
    }
    return medians(wall, cpu);
}

// Median nanoseconds per look-up; every answer must be `expected`.
Figure time_lookups(const BlockList &list, const std::vector<std::string_view> &hosts, bool expected, long lookups,
                    int runs, const char *what) {
    for (const auto host : hosts) {
        if (list.blocks(host) != expected) fail(std::string(what) + ": wrong answer for " + std::string(host));
    }
    std::vector<double> wall, cpu;
    for (int run = 0; run < runs; ++run) {
        long matched = 0;
        const Stopwatch watch;
        for (long done = 0; done < lookups;) {
            for (const auto host : hosts) {
                matched += list.blocks(host) ? 1 : 0;
                if (++done == lookups) break;
            }
        }
        const auto [w, c] = elapsed(watch);
        if (matched != (expected ? lookups : 0)) fail(std::string(what) + ": answers changed between runs");
        wall.push_back(w * 1e9 / static_cast<double>(lookups));
        cpu.push_back(c * 1e9 / static_cast<double>(lookups));
    }
    return medians(wall, cpu);
}

Options parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) fail("missing value after " + arg);
        const std::string value = argv[++i];
        if (arg == "--adhosts") o.adhosts = value;
        else if (arg == "--easylist") o.easylist = value;
        else if (arg == "--hosts") o.hosts = value;
        else if (arg == "--queries") o.queries = value;
        else if (arg == "--runs") o.runs = std::max(1, std::atoi(value.c_str()));
        else if (arg == "--lookups") o.lookups = std::max(1L, std::atol(value.c_str()));
        else fail("unknown option " + arg);
    }
    if (o.adhosts.empty() || o.easylist.empty() || o.hosts.empty() || o.queries.empty())
        fail("usage: blocklist_bench --adhosts FILE --easylist FILE --hosts FILE --queries DIR [--runs N] "
             "[--lookups N]");
    return o;
}

}  // namespace

int main(int argc, char **argv) {
    const Options o = parse(argc, argv);
    // Memory first, in a process whose heap holds nothing yet that the
    // list could reuse.
    const size_t rss_before = rss_bytes();
    const auto list = build(o, true);
    const size_t rss_after = rss_bytes();

    const Hosts hits = read_hosts(o.queries + "/hits.txt");
    const Hosts misses = read_hosts(o.queries + "/misses.txt");
    const Hosts deep_hits = read_hosts(o.queries + "/deep_hits.txt");
    const Hosts deep_misses = read_hosts(o.queries + "/deep_misses.txt");
    for (const auto &file : list->files()) std::printf("%s\n", BlockList::report_line(file).c_str());
    std::printf("entries held: %zu exact, %zu domains, %zu exceptions\n", list->exact_count(),
                list->domain_count(), list->exception_count());
    std::printf("memory_bytes: %.1f MiB; process RSS growth: %.1f MiB\n",
                static_cast<double>(list->memory_bytes()) / (1 << 20),
                (static_cast<double>(rss_after) - static_cast<double>(rss_before)) / (1 << 20));

    time_load(o, true);  // warms the page cache
    const Figure bare = time_load(o, false);
    const Figure full = time_load(o, true);
    std::printf("load, median of %d (wall / CPU ms): adhosts alone %.3f / %.3f; with both lists %.1f / %.1f; "
                "%.1f / %.1f more\n",
                o.runs, bare.wall * 1e3, bare.cpu * 1e3, full.wall * 1e3, full.cpu * 1e3,
                (full.wall - bare.wall) * 1e3, (full.cpu - bare.cpu) * 1e3);

    std::printf("look-ups, median of %d runs of %ld each (wall / CPU ns per look-up):\n", o.runs, o.lookups);
    struct Set {
        const char *name;
        const Hosts *hosts;
        bool blocked;
        const char *note;
    };
    for (const Set &set : {Set{"hits", &hits, true, ""}, Set{"misses", &misses, false, ""},
                           Set{"deep hits", &deep_hits, true, ", 7 to 14 labels"},
                           Set{"deep misses", &deep_misses, false, ", 7 to 14 labels"}}) {
        const Figure f = time_lookups(*list, set.hosts->names, set.blocked, o.lookups, o.runs, set.name);
        std::printf("  %-12s %6.1f / %6.1f  (%zu hosts%s)\n", set.name, f.wall, f.cpu, set.hosts->names.size(),
                    set.note);
    }
    return 0;
}
