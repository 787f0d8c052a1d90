// The ad-host loader. Byte 0 picks whether the table is enabled; the rest
// of the input is the "adhosts" file, written into a private folder and
// loaded into a fresh table (and the block list, which fuzz_block_list
// checks on its own). Every label the file holds must then be found in the
// table, and near misses of them must not, following a model of the line
// reading (at most 255 characters a read, up to two CR or LF removed, text
// up to a NUL).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kelconfig.h"
#include "valdrin_internal.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

std::string g_dir;
int g_home = -1;  // the folder to come back to after each load

std::string in_dir(const char *name) { return g_dir + "/" + name; }

void write_file(const std::string &path, std::string_view text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(fd >= 0);
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        check(n > 0);
        at += static_cast<size_t>(n);
    }
    ::close(fd);
}

void remove_folder() {
    ::unlink(in_dir("adhosts").c_str());
    ::unlink(in_dir("on.conf").c_str());
    ::unlink(in_dir("off.conf").c_str());
    ::rmdir(g_dir.c_str());
}

// The labels the loader should store, and the number of lines it counts.
struct Expected {
    std::set<std::string> labels;
    int32_t lines = 0;
};

Expected model(std::string_view file) {
    Expected out;
    size_t at = 0;
    while (at < file.size()) {
        size_t take = 0;
        while (take < 255 && at + take < file.size()) {
            ++take;
            if (file[at + take - 1] == '\n') break;
        }
        std::string_view piece = file.substr(at, take);
        at += take;
        ++out.lines;
        piece = piece.substr(0, piece.find('\0'));
        for (int strip = 0; strip < 2 && !piece.empty(); ++strip) {
            if (piece.back() != '\r' && piece.back() != '\n') break;
            piece.remove_suffix(1);
        }
        if (!piece.empty()) out.labels.emplace(piece);
    }
    return out;
}

bool in_table(const std::string &label) { return recherche(g_hash_bd, label.c_str(), nullptr, nullptr) == 0; }

int32_t load_in_folder() {
    check(::chdir(g_dir.c_str()) == 0);
    const int32_t n = valdrin_host_mask_init();
    check(::fchdir(g_home) == 0);
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char shm[] = "/dev/shm/valdrin-fuzz-ads-XXXXXX";
    char tmp[] = "/tmp/valdrin-fuzz-ads-XXXXXX";
    const char *dir = ::mkdtemp(shm);
    if (dir == nullptr) dir = ::mkdtemp(tmp);
    check(dir != nullptr);
    g_dir = dir;
    g_home = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    check(g_home >= 0);
    std::atexit(remove_folder);
    write_file(in_dir("on.conf"), "[HTTP]\nAdHostsEnabled=yes\n");
    write_file(in_dir("off.conf"), "[HTTP]\nAdHostsEnabled=false\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const bool enabled = (data[0] & 1) == 0;
    const std::string_view file(reinterpret_cast<const char *>(data) + 1, size - 1);
    write_file(in_dir("adhosts"), file);
    check(kelcfg_init(in_dir(enabled ? "on.conf" : "off.conf").c_str()) == 0);

    kel::server::reset_ad_hosts_for_tests();
    const int32_t loaded = load_in_folder();
    const Expected expected = enabled ? model(file) : Expected{};
    check(loaded == expected.lines);

    int budget = 512;
    for (const auto &label : expected.labels) {
        if (--budget < 0) break;
        check(in_table(label));
        // Near misses: a changed first or last character, a character more
        // or less, another case.
        std::vector<std::string> misses;
        std::string m = label;
        m[0] = static_cast<char>(m[0] ^ 0x20);
        misses.push_back(m);
        m = label;
        m.back() = static_cast<char>(m.back() + 1);
        misses.push_back(m);
        misses.push_back(label + "x");
        misses.push_back(label.substr(1));
        misses.push_back(label.substr(0, label.size() - 1));
        for (const auto &miss : misses) {
            if (miss.find('\0') != std::string::npos) continue;
            check(in_table(miss) == (expected.labels.count(miss) != 0));
        }
    }
    check(!in_table(""));
    check(valdrin_host_mask_contient("") == 0);
    kel::server::reset_ad_hosts_for_tests();
    return 0;
}
