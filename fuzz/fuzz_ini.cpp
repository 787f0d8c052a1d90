// The INI reader and writer. Input: section NUL key NUL value NUL file text
// (missing parts are empty). The file text is parsed in memory and from a
// file in a private folder; every key it holds must read the same both
// ways. Then the section, key and value are written, in memory and through
// the file, and must read back, survive a reparse, and go away when removed.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelplat/ini.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

std::string g_dir;
std::string g_path;

void remove_folder() {
    ::unlink(g_path.c_str());
    ::rmdir(g_dir.c_str());
}

// A folder on a memory file system where there is one: each write of the
// file is flushed to disk.
void make_folder() {
    char shm[] = "/dev/shm/valdrin-fuzz-ini-XXXXXX";
    char tmp[] = "/tmp/valdrin-fuzz-ini-XXXXXX";
    const char *dir = ::mkdtemp(shm);
    if (dir == nullptr) dir = ::mkdtemp(tmp);
    check(dir != nullptr);
    g_dir = dir;
    g_path = g_dir + "/valdrin.conf";
    std::atexit(remove_folder);
}

void write_file(std::string_view text) {
    const int fd = ::open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(fd >= 0);
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        check(n > 0);
        at += static_cast<size_t>(n);
    }
    ::close(fd);
}

constexpr std::string_view kBlanks = " \t\r\v\f";

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

// What a stored value reads back as: blanks trimmed, one pair of matching
// quotes removed.
std::string as_read(std::string_view value) {
    value = trim(value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

std::string read_key(const std::string &section, const std::string &key) {
    std::vector<char> out(8192);
    const size_t n = kel::ini::ini_read(g_path.c_str(), section.c_str(), key.c_str(), "\x01", out.data(),
                                        out.size());
    check(n < out.size() && out[n] == '\0');
    return std::string(out.data(), n);
}

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    make_folder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view in(reinterpret_cast<const char *>(data), size);
    std::string_view parts[3];
    for (auto &part : parts) {
        const size_t nul = in.find('\0');
        part = in.substr(0, nul);
        in = nul == std::string_view::npos ? std::string_view() : in.substr(nul + 1);
    }
    const std::string_view section = parts[0], key = parts[1], value = parts[2], text = in;

    // Parsing keeps every byte: unchanged lines write back as they were.
    kel::ini::Document doc = kel::ini::Document::parse(text);
    check(doc.serialize() == text);

    // The file reads as the text does, key by key (a bounded number of them).
    write_file(text);
    auto loaded = kel::ini::load(g_path.c_str());
    check(loaded.has_value() && loaded->serialize() == text);
    int budget = 64;
    for (const auto &s : doc.sections()) {
        for (const auto &k : doc.keys(s)) {
            if (--budget < 0) break;
            const auto v = doc.get(s, k);
            check(v.has_value());
            check(v->find('\n') == std::string::npos);
            if (!has_nul(s) && !has_nul(k) && !has_nul(*v) && v->size() < 8191)
                check(read_key(s, k) == *v);
        }
    }

    // A write reads back, in memory and from the file.
    const bool set = doc.set(section, key, value);
    const std::string s(trim(section)), k(trim(key));
    if (set) {
        const auto v = doc.get(s, k);
        check(v.has_value() && *v == as_read(value));
        const auto again = kel::ini::Document::parse(doc.serialize());
        check(again.get(s, k) == v);
        // Removing leaves the other sections in place.
        kel::ini::Document removed = again;
        check(removed.remove_key(s, k));
        check(!removed.get(s, k).has_value());
        kel::ini::Document no_section = again;
        check(no_section.remove_section(s));
        check(!no_section.get(s, k).has_value());
        check(!no_section.remove_section(s));
    }
    if (!has_nul(section) && !has_nul(key) && !has_nul(value)) {
        const std::string cs(section), ck(key), cv(value);
        const bool written = kel::ini::ini_write(g_path.c_str(), cs.c_str(), ck.c_str(), cv.c_str());
        check(written == set);
        if (written && as_read(value).size() < 8191) check(read_key(s, k) == as_read(value));
        if (written) {
            check(kel::ini::ini_write(g_path.c_str(), cs.c_str(), ck.c_str(), nullptr));
            check(read_key(s, k) == "\x01");
        }
    }
    return 0;
}
