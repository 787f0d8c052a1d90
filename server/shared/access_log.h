// The access log: one line per request in the combined format of the
// common web servers, so that their tools read it unchanged, followed by
// the duration and the proxy's verdict:
//   client - - [day/Mon/year:hh:mm:ss +zzzz] "request line" status bytes "referer" "user agent" ms verdict
// Entries go through a bounded queue to one writer thread: a request never
// waits for the disk, and an entry that finds the queue full is dropped and
// counted instead.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace kel::server {

// What the proxy did with a request.
enum class Verdict {
    Forwarded,  // relayed to the origin
    Tunnel,     // a CONNECT tunnel opened
    Ftp,        // fetched by FTP
    AdImage,    // an ad host's GET answered with the image
    Blocked,    // a CONNECT to a blocked host refused
    Refused,    // a client outside the allow-list
    Error,      // an error page
    TooMany,    // past the connection cap
    Status,     // the proxy's own status page
    AuthFailed, // a SOCKS client whose user or password was wrong
    Redirected, // relayed by a port redirection
};
inline constexpr int kVerdicts = 11;
const char *verdict_name(Verdict v);

struct AccessEntry {
    std::string client;        // address text
    std::time_t started = 0;   // when the connection was accepted
    std::string request_line;  // as received; empty when none came
    int status = 0;            // 0: no reply was sent
    uint64_t bytes = 0;        // sent to the client, headers included
    std::string referer;
    std::string user_agent;
    int64_t duration_ms = 0;
    Verdict verdict = Verdict::Error;
    std::string user;  // the authenticated user (SOCKS); empty: "-"
    // Sent by the client, for the services that relay both ways; written
    // after the verdict. Negative: not written.
    int64_t bytes_from_client = -1;
};

// The line for an entry, with its line feed. Quoted fields have '"', '\'
// and every byte outside visible ASCII written as \xHH, so that a field
// never ends early; an empty one is "-". The time is local, with its
// offset from UTC; month names are English whatever the locale.
std::string format_access_line(const AccessEntry &entry);

class AccessLog {
public:
    // The process's log; never destroyed (detached threads write to it at
    // exit).
    static AccessLog &instance();

    // Sets the file (absolute, or relative to the current directory);
    // empty turns the log off. Entries queued before go to the old file.
    void configure(const std::string &path);
    std::string path() const;
    // Queues the entry's line; never blocks on the disk.
    void submit(const AccessEntry &entry);
    // Waits at most timeout_ms until every queued entry is written; false
    // when some are still waiting.
    bool flush(int timeout_ms);

    uint64_t written() const;
    uint64_t dropped() const;
    // Test hook: the most entries the queue holds (default 65,536).
    void set_queue_limit_for_tests(size_t entries);

private:
    AccessLog() = default;
    struct State;
    State &state() const;
};

}  // namespace kel::server
