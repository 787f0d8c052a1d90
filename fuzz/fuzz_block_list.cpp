// The block-list loaders and look-up. Byte 0 says where the input splits:
// the bytes before the split are an adhosts file, the rest a list file.
// Both are loaded into one BlockList, and then the per-file counts, the
// distinct counts and look-ups of names drawn from the input are checked
// against a model written plainly here: whole-file line splitting, sets of
// strings, and the C library's inet_pton for addresses.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "block_list.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

std::string g_dir;
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
    ::unlink(in_dir("list").c_str());
    ::rmdir(g_dir.c_str());
}

// ------------------------------------------------------------------ model

const std::string kBlanks = " \t\r\f\v";

std::vector<std::string> split(const std::string &s, const std::string &separators) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : s) {
        if (separators.find(c) != std::string::npos) {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

std::string trimmed(const std::string &s) {
    const size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

bool starts_with(const std::string &s, const std::string &p) { return s.compare(0, p.size(), p) == 0; }

std::string ascii_lower(std::string s) {
    for (char &c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// Lower-cased, one trailing dot gone; "" when not a host name.
std::string host_name(std::string s, bool strict) {
    if (!s.empty() && s.back() == '.') s.pop_back();
    s = ascii_lower(s);
    if (s.empty() || s.size() > 253) return "";
    std::vector<std::string> labels;
    size_t start = 0;
    for (;;) {
        const size_t dot = s.find('.', start);
        labels.push_back(s.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    for (const std::string &label : labels) {
        if (label.empty() || label.size() > 63) return "";
        if (label.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_") != std::string::npos) return "";
        if (strict && (label.front() == '-' || label.back() == '-')) return "";
    }
    return s;
}

bool is_ipv4(const std::string &s) {
    if (s.find('\0') != std::string::npos) return false;
    unsigned char bytes[4];
    return inet_pton(AF_INET, s.c_str(), bytes) == 1;
}

// Eight groups of four hex digits; "" when not an IPv6 literal.
std::string ipv6_key(std::string s) {
    if (!s.empty() && s.front() == '[') {
        if (s.size() < 2 || s.back() != ']') return "";
        s = s.substr(1, s.size() - 2);
    }
    if (s.find('\0') != std::string::npos) return "";
    unsigned char bytes[16];
    if (inet_pton(AF_INET6, s.c_str(), bytes) != 1) return "";
    char out[40];
    std::snprintf(out, sizeof out, "%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return out;
}

struct Entry {
    std::string key;  // "" when the text is neither a name nor an address
    bool domain = false;
    bool address = false;
};

Entry entry_of(std::string written) {
    Entry e;
    if (starts_with(written, "*.")) {
        e.domain = true;
        written = written.substr(2);
    } else if (starts_with(written, ".")) {
        e.domain = true;
        written = written.substr(1);
    }
    if (written.find(':') != std::string::npos || starts_with(written, "[")) {
        e.key = ipv6_key(written);
        e.address = true;
    } else {
        e.key = host_name(written, true);
        e.address = !e.key.empty() && is_ipv4(e.key);
    }
    return e;
}

const std::set<std::string> kLoopback = {
    "localhost",    "localhost.localdomain", "local",        "broadcasthost",
    "ip6-localhost", "ip6-loopback",         "ip6-localnet", "ip6-mcastprefix",
    "ip6-allnodes", "ip6-allrouters",        "ip6-allhosts", "0.0.0.0",
};

struct Model {
    std::set<std::string> exact, domain, exception;  // host names
    std::set<std::string> address_blocked, address_excepted;
    std::set<std::string> exact_keys, domain_keys, exception_keys;  // every key, for the counts
    kel::server::ListFileStats stats;

    void add(const Entry &e, char kind) {  // kind: 'x' exact, 'd' domain, 'e' exception
        if (kind == 'x' && e.domain) kind = 'd';
        if (kind == 'x') ++stats.exact, exact_keys.insert(e.key);
        if (kind == 'd') ++stats.domains, domain_keys.insert(e.key);
        if (kind == 'e') ++stats.exceptions, exception_keys.insert(e.key);
        if (e.address) {
            (kind == 'e' ? address_excepted : address_blocked).insert(e.key);
        } else {
            (kind == 'x' ? exact : kind == 'd' ? domain : exception).insert(e.key);
        }
    }

    static bool is_hiding_filter(const std::string &line) {
        for (const char *marker : {"#@?#", "#@$#", "#@#", "#?#", "#$#"}) {
            if (starts_with(line, marker)) {
                const std::string rest = line.substr(std::string(marker).size());
                return !rest.empty() && kBlanks.find(rest[0]) == std::string::npos;
            }
        }
        if (!starts_with(line, "##")) return false;
        const std::string rest = line.substr(2);
        if (rest.empty() || kBlanks.find(rest[0]) != std::string::npos) return false;
        if (rest[0] != '#') return true;
        if (rest.size() < 2) return false;
        const char c = rest[1];
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-' || c == '\\';
    }

    // `||name^` with no options or only $third-party / $important.
    bool filter(const std::string &text, char kind) {
        const std::string body = text.substr(2);
        const size_t caret = body.find('^');
        if (caret == std::string::npos || caret == 0 || body[0] == '.' || body[0] == '*') return false;
        const std::string after = body.substr(caret + 1);
        if (!after.empty()) {
            if (after[0] != '$') return false;
            const std::string options = after.substr(1);
            size_t start = 0;
            for (;;) {
                const size_t comma = options.find(',', start);
                const std::string option = ascii_lower(options.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
                if (option != "third-party" && option != "important") return false;
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
        }
        const Entry e = entry_of(body.substr(0, caret));
        if (e.key.empty()) return false;
        add(e, kind);
        return true;
    }

    void list_line(const std::string &line) {
        if (line[0] == '!' || (line[0] == '[' && line.back() == ']')) return;
        if (line[0] == '#') {
            if (is_hiding_filter(line)) ++stats.skipped;
            return;
        }
        if (starts_with(line, "@@")) {
            if (!starts_with(line.substr(2), "||") || !filter(line.substr(2), 'e')) ++stats.skipped;
            return;
        }
        if (starts_with(line, "||")) {
            if (!filter(line, 'd')) ++stats.skipped;
            return;
        }
        const size_t blank = line.find_first_of(kBlanks);
        const std::string first = line.substr(0, blank);
        const std::string rest = blank == std::string::npos ? "" : trimmed(line.substr(blank));
        const bool first_is_address =
            first.find(':') != std::string::npos ? !ipv6_key(first).empty() : is_ipv4(first);
        if (!rest.empty() && first_is_address) {
            for (const std::string &name : split(rest.substr(0, rest.find('#')), kBlanks)) {
                const Entry e = entry_of(name);
                if (!e.key.empty() && kLoopback.count(e.key) != 0) continue;
                if (e.key.empty() || e.address) {
                    ++stats.skipped;
                } else {
                    add(e, 'x');
                }
            }
            return;
        }
        if (!rest.empty() && rest[0] != '#') {
            ++stats.skipped;
            return;
        }
        const Entry e = entry_of(first);
        if (!e.key.empty() && kLoopback.count(e.key) != 0) return;
        if (e.key.empty() || e.address || e.key.find('.') == std::string::npos) {
            ++stats.skipped;
        } else {
            add(e, 'x');
        }
    }

    void load(const std::string &file, bool is_adhosts) {
        stats = {};
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < file.size()) {
            const size_t newline = file.find('\n', start);
            if (newline == std::string::npos) {
                lines.push_back(file.substr(start));
                break;
            }
            lines.push_back(file.substr(start, newline - start));
            start = newline + 1;
        }
        for (const std::string &raw : lines) {
            if (raw.size() > 64 * 1024) {
                ++stats.skipped;
                continue;
            }
            const std::string line = trimmed(raw);
            if (line.empty()) continue;
            if (!is_adhosts) {
                list_line(line);
                continue;
            }
            const Entry e = entry_of(line);
            if (e.key.empty()) {
                ++stats.skipped;
            } else {
                add(e, 'x');
            }
        }
    }

    bool blocks(const std::string &host) const {
        if (host.find(':') != std::string::npos || starts_with(host, "[")) {
            const std::string key = ipv6_key(host);
            return !key.empty() && address_blocked.count(key) != 0 && address_excepted.count(key) == 0;
        }
        const std::string name = host_name(host, false);
        if (name.empty()) return false;
        if (is_ipv4(name)) return address_blocked.count(name) != 0 && address_excepted.count(name) == 0;
        bool blocked = exact.count(name) != 0;
        for (std::string suffix = name;;) {
            if (exception.count(suffix) != 0) return false;
            if (domain.count(suffix) != 0) blocked = true;
            const size_t dot = suffix.find('.');
            if (dot == std::string::npos) break;
            suffix = suffix.substr(dot + 1);
        }
        return blocked;
    }
};

bool same_stats(const kel::server::ListFileStats &a, const kel::server::ListFileStats &b) {
    return a.exact == b.exact && a.domains == b.domains && a.exceptions == b.exceptions && a.skipped == b.skipped;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char shm[] = "/dev/shm/valdrin-fuzz-blocks-XXXXXX";
    char tmp[] = "/tmp/valdrin-fuzz-blocks-XXXXXX";
    const char *dir = ::mkdtemp(shm);
    if (dir == nullptr) dir = ::mkdtemp(tmp);
    check(dir != nullptr);
    g_dir = dir;
    std::atexit(remove_folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const std::string all(reinterpret_cast<const char *>(data) + 1, size - 1);
    const size_t split_at = all.size() * data[0] / 255;
    const std::string adhosts_text = all.substr(0, split_at);
    const std::string list_text = all.substr(split_at);
    write_file(in_dir("adhosts"), adhosts_text);
    write_file(in_dir("list"), list_text);

    kel::server::BlockList blocks;
    std::string error;
    check(blocks.load_adhosts(in_dir("adhosts"), &error));
    check(blocks.load_list(in_dir("list"), &error));
    check(blocks.files().size() == 2);

    Model model;
    model.load(adhosts_text, true);
    check(same_stats(blocks.files()[0], model.stats));
    model.load(list_text, false);
    check(same_stats(blocks.files()[1], model.stats));
    check(blocks.exact_count() == model.exact_keys.size());
    check(blocks.domain_count() == model.domain_keys.size());
    check(blocks.exception_count() == model.exception_keys.size());

    // Hosts to ask: every word of the input and the keys the model holds,
    // each also one label deeper, with a label less, in upper case, with a
    // trailing dot and in brackets.
    std::set<std::string> words;
    for (const std::string &word : split(all, kBlanks + "\n|^$@#,/!")) words.insert(word);
    for (const auto *keys : {&model.exact_keys, &model.domain_keys, &model.exception_keys})
        words.insert(keys->begin(), keys->end());
    int budget = 400;
    for (const std::string &word : words) {
        if (--budget < 0) break;
        std::vector<std::string> hosts = {word, "x." + word, word + ".", "[" + word + "]", "-." + word};
        std::string upper = word;
        for (char &c : upper) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
        hosts.push_back(upper);
        const size_t dot = word.find('.');
        if (dot != std::string::npos) hosts.push_back(word.substr(dot + 1));
        if (!word.empty()) hosts.push_back(word.substr(1));
        for (const std::string &host : hosts) check(blocks.blocks(host) == model.blocks(host));
    }
    return 0;
}
