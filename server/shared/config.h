// The configuration snapshot: valdrin.conf read once, whole, into an
// immutable record with everything it implies (the allow-list, the block
// lists, the image, the limits, the log settings), for every service of the
// daemon. Start-up and reload build one the same way and publish it with
// one swap; a connection takes the current one when it is admitted
// and keeps it to its end, so it never sees a mix of two files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "allow_list.h"
#include "block_list.h"
#include "kelplat/inet.h"
#include "kelplat/ini.h"

namespace kel::server {

// One thing wrong with a configuration: where, and why.
struct ConfigProblem {
    std::string file;
    std::size_t line = 0;  // 1-based; 0 when no line is at fault (an absent key, the file itself)
    std::string text;      // names the key or the file and says why
    // "file:line: text", or "file: text".
    std::string message() const;
};

// The limits of the connection path: seconds (0: none), and the caps on
// connections at work and waiting for their request (0: none).
struct Limits {
    int32_t header_timeout = 30;
    int32_t idle_timeout = 900;
    int32_t connect_timeout = 30;
    int32_t max_clients = 8000;
    int32_t max_waiting = 20000;
    bool operator==(const Limits &) const = default;
};

// The image sent in place of an advertising host's, bytes shared by every
// reply that sends it.
struct Image {
    unsigned char *bytes = nullptr;  // malloc'ed
    int32_t length = 0;
    Image() = default;
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;
    ~Image() { std::free(bytes); }
};
// The image is cut to this many bytes.
inline constexpr std::size_t kMaxImageBytes = 1024000;

struct MainSettings {
    std::string log_file = "log.txt";  // as written: relative to the folder of the files
    std::string err_file = "err.txt";
    std::string access_log = "access.log";  // "": no access log
    bool verbose = false;
    std::vector<std::string> allowed_hosts;  // AllowedHost0..200 that are not empty, in key order
};

struct HttpSettings {
    bool enabled = false;
    uint16_t port = 3128;  // as configured; 0: the system picks one
    std::vector<std::string> listen;  // empty: every interface
    bool secure = false;
    bool ad_hosts_enabled = false;
    std::vector<std::string> ad_list_files;  // AdListFile0..99 that are not empty
    std::vector<std::string> ad_list_keys;   // the key of each
    Limits limits;
};

// A SOCKS account as the desktop wizard stores it: the user name and the
// SHA-1 digest of user + "::" + password + ";" as 40 upper-case
// hexadecimal digits, or no digit at all for an account without a password.
struct SocksAccount {
    std::string user;
    std::string digest;  // empty: any password
    bool operator==(const SocksAccount &) const = default;
};

struct SocksSettings {
    bool enabled = false;
    bool socks4_allowed = false;
    uint16_t port = 1080;  // 0: the system picks one
    std::vector<std::string> listen;  // empty: every interface
    std::vector<SocksAccount> accounts;
};
struct DnsSettings {
    bool enabled = false;
    std::string server1 = "0.0.0.0";  // "0.0.0.0" or empty: unset
    std::string server2 = "0.0.0.0";
    uint16_t port = 53;  // 0: the system picks one
    std::vector<std::string> listen;  // empty: every interface
    int32_t cache_size = 10000;       // answers kept; 0: none
    int32_t client_rate = 1000;       // queries per second per client address; 0: no limit
    bool block = true;                // the block lists apply to DNS too, while AdHostsEnabled is on
    std::string hosts_file = "/etc/hosts";  // "": none
};

// One TCP redirection: connections to port go to host:dest_port.
struct Redirection {
    uint16_t port = 0;
    uint16_t dest_port = 0;
    std::string host;
    std::string key;  // "RDRBinding3", for messages
    bool operator==(const Redirection &) const = default;
};
struct RdrSettings {
    bool enabled = false;
    std::vector<std::string> listen;  // empty: every interface
    std::vector<Redirection> bindings;  // in key order, one per port
};

struct Config {
    std::string path;         // the file it was read from
    uint64_t generation = 0;  // counts the snapshots built by this process, from 1
    MainSettings main;
    HttpSettings http;
    SocksSettings socks;
    DnsSettings dns;
    RdrSettings rdr;
    // What the settings imply, built when the snapshot is.
    AllowList allowed;
    std::shared_ptr<const BlockList> blocked;  // empty while AdHostsEnabled is off
    std::shared_ptr<const Image> image;
};

// ---- reading ----

// "HTTPPort" as a port: leading decimal digits after optional blanks; no
// digits, 0 or a value above 65535 is refused.
std::optional<uint16_t> parse_http_port(const char *text);
// A listening port: as parse_http_port, and 0 too (the system picks).
std::optional<uint16_t> parse_listen_port(const char *text);
// A count setting: optional blanks, decimal digits, optional blanks; at
// most 2,000,000. Anything else is refused.
std::optional<int32_t> parse_count_setting(const char *text);
// A SocksAccount value split as the wizard splits it: longer than 40
// characters, the last 40 are the digest (hexadecimal, either case) and
// the rest the user; otherwise it ends in "<none>". Nothing for a value of
// neither form.
std::optional<SocksAccount> parse_socks_account(std::string_view value);
// An RDRBinding value read as the wizard reads it: blanks trimmed, the
// listened port, any run of blanks, '-' and '>', the destination port,
// then the host. Nothing, with why, for a value the wizard would skip or
// one without a host.
std::optional<Redirection> parse_redirection(std::string_view value, std::string *why);
// A name server setting: an IPv4 or IPv6 literal, port 53, or with a port
// after it ("192.0.2.1:5353", "[2001:db8::1]:5353"). Nothing for anything
// else, port 0 included.
std::optional<std::pair<net::IpAddress, uint16_t>> parse_name_server(std::string_view text);
// True when the text starts with T or Y, in either case.
bool is_true_setting(const char *text);
// HTTPMaxWaiting as the descriptor limit allows beside HTTPMaxClients (two
// descriptors each); a lowered value is said on the standard output.
int32_t waiting_within_descriptors(int32_t max_waiting, int32_t max_clients, uint64_t descriptor_limit);

// The settings of an INI text, without touching any other file: every
// problem of the keys the daemon serves is appended to problems.
Config parse_config_text(std::string_view text, const std::string &file, std::vector<ConfigProblem> *problems);

// Reads the file once: its document and the settings it holds, nothing
// else built; every problem of a setting is appended. Nothing, with the
// problem, when the file can't be read.
std::optional<Config> read_config_file(const std::string &path, ini::Document *doc,
                                       std::vector<ConfigProblem> *problems);

// The block lists the settings name, empty while AdHostsEnabled is off;
// relative names are taken from the current directory. Says on the
// standard output what each file held. Null, with a problem naming the key
// and the file, when one can't be read.
std::shared_ptr<const BlockList> build_block_list(const Config &settings, const ini::Document &doc,
                                                  std::vector<ConfigProblem> *problems);

// What the settings imply, built as load_config builds it.
std::shared_ptr<const Config> build_snapshot(Config settings, const ini::Document &doc,
                                             std::vector<ConfigProblem> *problems);

// Reads the file once and builds the whole snapshot: the settings, the
// allow-list (names resolved now), the block lists and the image, relative
// names taken from the current directory; checks that the access log can
// be written. Null when anything is wrong, with every problem appended.
std::shared_ptr<const Config> load_config(const std::string &path, std::vector<ConfigProblem> *problems);

// Reads at most kMaxImageBytes of the file; null after a diagnostic line
// when it can't be read or is empty.
std::shared_ptr<const Image> read_replacement_image(const char *path);

// Why the daemon would refuse or skip this value of the key (a family
// member such as "AllowedHost7" too), in the words it says it with; nothing
// when it takes it. Relative list file names are taken from `folder`; list
// files are the only files opened, and allow-list names are not resolved.
std::optional<std::string> setting_refusal(std::string_view section, std::string_view name, std::string_view value,
                                           const std::string &folder);

// ---- where relative names are taken from ----

// The folder that becomes the current directory at start-up (empty: the
// host program's), and the one the image is read from when that folder
// has none (empty: none).
struct Folders {
    std::string files;
    std::string data;
};
void set_folders(const char *files, const char *data);
Folders folders();
// "valdrin.sys" in the current directory, or in the data folder when it is
// not there.
std::string replacement_image_path();

// ---- publication ----

// The snapshot new connections take; null before the first is published.
// Cheap: one uncontended lock and a reference count.
std::shared_ptr<const Config> current_config();
// Makes it the current snapshot; the one it replaces goes with its last
// connection.
void publish_config(std::shared_ptr<const Config> config);

}  // namespace kel::server
