// The ad-host loader of the contract. Byte 0 picks whether blocking is
// enabled; the rest of the input is the "adhosts" file, written into a
// private folder and loaded by valdrin_host_mask_init. It must count the
// file's lines, and valdrin_host_mask_contient must answer every name of the
// file, and near misses of them, as a block list loaded straight from the
// file does (whose own reading fuzz_block_list checks).
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
#include "block_list.h"
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

// The lines of the file: each that ends in LF, and a last one without.
int32_t lines_of(std::string_view file) {
    int32_t lines = 0;
    for (char c : file) lines += c == '\n' ? 1 : 0;
    return lines + (!file.empty() && file.back() != '\n' ? 1 : 0);
}

// The names of the file's lines, without their line ends.
std::set<std::string> names_of(std::string_view file) {
    std::set<std::string> names;
    while (!file.empty()) {
        const size_t nl = file.find('\n');
        std::string_view line = file.substr(0, nl);
        file = nl == std::string_view::npos ? std::string_view() : file.substr(nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        line = line.substr(0, line.find('\0'));
        if (!line.empty()) names.emplace(line);
    }
    return names;
}

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
    check(loaded == (enabled ? lines_of(file) : 0));
    // The contract's routines answer from the block list, as one loaded
    // straight from the file does.
    kel::server::BlockList direct;
    if (enabled) check(direct.load_adhosts(in_dir("adhosts"), nullptr));

    int budget = 512;
    for (const auto &name : names_of(file)) {
        if (--budget < 0) break;
        // Near misses: a changed first or last character, a character more
        // or less, another case.
        std::vector<std::string> asked = {name, name + "x", name.substr(1), name.substr(0, name.size() - 1)};
        std::string m = name;
        m[0] = static_cast<char>(m[0] ^ 0x20);
        asked.push_back(m);
        m = name;
        m.back() = static_cast<char>(m.back() + 1);
        asked.push_back(m);
        for (const auto &host : asked) {
            if (host.find('\0') != std::string::npos) continue;
            check(valdrin_host_mask_contient(host.c_str()) == (!host.empty() && direct.blocks(host) ? 1 : 0));
        }
    }
    check(valdrin_host_mask_contient("") == 0);
    kel::server::reset_ad_hosts_for_tests();
    return 0;
}
