#include "access_log.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>

#include "kelplat/diag.h"
#include "kelplat/fs.h"
#include "kelplat/thread.h"

namespace kel::server {
namespace {

constexpr const char *kModule = "access_log";
constexpr size_t kDefaultQueueEntries = 65536;
// The writer gathers what came in this long into one write, so that a busy
// proxy does not wake it, and seek the file, for every request.
constexpr auto kGatherTime = std::chrono::milliseconds(100);
// A queue this long is written at once.
constexpr size_t kWakeEntries = 4096;

constexpr const char *kVerdictNames[kVerdicts] = {
    "forwarded", "tunnel", "ftp", "ad-image", "blocked", "refused", "error", "too-many", "status", "auth-failed", "redirect",
};

constexpr const char *kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void append_quoted(std::string &out, std::string_view field) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '"';
    if (field.empty()) out += '-';
    for (unsigned char c : field) {
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

void append_time(std::string &out, std::time_t when) {
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) {
        out += "[-]";
        return;
    }
    // tm_gmtoff is the offset east of UTC, daylight saving included.
    const long offset_min = local.tm_gmtoff / 60;
    const long magnitude = offset_min < 0 ? -offset_min : offset_min;
    char text[64];
    std::snprintf(text, sizeof text, "[%02d/%s/%04d:%02d:%02d:%02d %c%02ld%02ld]", local.tm_mday,
                  kMonths[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, local.tm_min,
                  local.tm_sec, offset_min < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    out += text;
}

}  // namespace

const char *verdict_name(Verdict v) {
    const auto i = static_cast<int>(v);
    return i >= 0 && i < kVerdicts ? kVerdictNames[i] : "error";
}

std::string format_access_line(const AccessEntry &e) {
    std::string out;
    out.reserve(160 + e.request_line.size() + e.user_agent.size() + e.referer.size());
    out += e.client.empty() ? "-" : e.client;
    out += " - ";
    // The user field as the common web servers write it: no blank, no quote.
    if (e.user.empty()) {
        out += '-';
    } else {
        for (unsigned char c : e.user) {
            if (c <= 0x20 || c >= 0x7F || c == '"' || c == '\\' || c == '[') {
                static constexpr char kHex[] = "0123456789ABCDEF";
                out += "\\x";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += ' ';
    append_time(out, e.started);
    out += ' ';
    append_quoted(out, e.request_line);
    out += ' ';
    out += e.status > 0 ? std::to_string(e.status) : "-";
    out += ' ';
    out += std::to_string(e.bytes);
    out += ' ';
    append_quoted(out, e.referer);
    out += ' ';
    append_quoted(out, e.user_agent);
    out += ' ';
    out += std::to_string(e.duration_ms < 0 ? 0 : e.duration_ms);
    out += ' ';
    out += verdict_name(e.verdict);
    if (e.bytes_from_client >= 0) {
        out += ' ';
        out += std::to_string(e.bytes_from_client);
    }
    out += '\n';
    return out;
}

struct AccessLog::State {
    mutable std::mutex mutex;
    std::condition_variable wake;     // the writer: the queue is long, or a flush waits
    bool flushing = false;
    std::condition_variable written;  // flushers: the queue was emptied
    std::deque<std::string> pending;
    std::string path;  // whole; empty while the log is off
    // A file configure() opened (so that its descriptor is held from then
    // on), for the writer to take at its next batch; with switching set and
    // no file, the log went off.
    std::unique_ptr<fs::FollowedFile> next;
    bool switching = false;
    size_t limit = kDefaultQueueEntries;
    bool writer_running = false;
    bool writing = false;
    uint64_t written_count = 0;
    uint64_t dropped_count = 0;

    static void run(void *self) { static_cast<State *>(self)->loop(); }

    void loop() {
        // Only this thread touches the file it writes to.
        std::unique_ptr<fs::FollowedFile> file;
        bool failing = false;  // a write failed; said once until one succeeds
        std::unique_lock<std::mutex> hold(mutex);
        for (;;) {
            wake.wait(hold, [this] { return !pending.empty(); });
            // Entries come in bursts: let the rest of this one come too.
            wake.wait_for(hold, kGatherTime, [this] { return flushing || pending.size() >= kWakeEntries; });
            if (switching) {
                file = std::move(next);
                switching = false;
            }
            std::string chunk;
            for (const std::string &line : pending) chunk += line;
            const size_t count = pending.size();
            pending.clear();
            writing = true;
            hold.unlock();
            // One write for the whole batch, without the lock: the disk may
            // be slow, and submitters must never wait for it.
            int error = 0;
            const bool ok = file != nullptr && file->append(chunk, &error);
            if (!ok && file != nullptr && !failing) {
                const std::string text = "cannot write the access log " + file->path() + " (" +
                                         fs::error_text(error) + "); entries are lost until it works";
                kel::diag::message(text.c_str(), kModule, __LINE__);
            }
            if (file != nullptr) failing = !ok;
            hold.lock();
            writing = false;
            if (ok) {
                written_count += count;
            } else if (file != nullptr) {
                dropped_count += count;
            }
            if (pending.empty()) written.notify_all();
        }
    }
};

AccessLog &AccessLog::instance() {
    static AccessLog *const log = new AccessLog;
    return *log;
}

AccessLog::State &AccessLog::state() const {
    static State *const s = new State;
    return *s;
}

void AccessLog::configure(const std::string &path) {
    State &s = state();
    std::string whole;
    std::unique_ptr<fs::FollowedFile> file;
    if (!path.empty()) {
        // Fixed now: a rotation reopens by name, whatever the current folder is by then.
        std::error_code ec;
        const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
        whole = ec ? path : absolute.lexically_normal().string();
    }
    {
        std::lock_guard<std::mutex> hold(s.mutex);
        if (whole == s.path) return;  // the open file goes on
    }
    if (!whole.empty()) {
        file = std::make_unique<fs::FollowedFile>(whole);
        int error = 0;
        if (!file->append("", &error)) {
            const std::string text =
                "cannot open the access log " + whole + " (" + fs::error_text(error) + "); trying again at each entry";
            kel::diag::message(text.c_str(), kModule, __LINE__);
        }
    }
    std::lock_guard<std::mutex> hold(s.mutex);
    // The writer comes with the log, so that a busy moment never starts it.
    if (file != nullptr && !s.writer_running) s.writer_running = kel::thread::start_detached(State::run, &s) == 0;
    s.path = whole;
    s.next = std::move(file);
    s.switching = true;
    static bool flushed_at_exit = false;
    if (!whole.empty() && !flushed_at_exit) {
        // What the last requests logged reaches the file when the host exits.
        flushed_at_exit = std::atexit([] { (void)AccessLog::instance().flush(2000); }) == 0;
    }
}

std::string AccessLog::path() const {
    State &s = state();
    std::lock_guard<std::mutex> hold(s.mutex);
    return s.path;
}

void AccessLog::submit(const AccessEntry &entry) {
    State &s = state();
    {
        std::lock_guard<std::mutex> hold(s.mutex);
        if (s.path.empty()) return;
    }
    std::string line = format_access_line(entry);
    std::lock_guard<std::mutex> hold(s.mutex);
    if (s.path.empty()) return;
    if (s.pending.size() >= s.limit) {
        ++s.dropped_count;
        return;
    }
    if (!s.writer_running) {
        s.writer_running = kel::thread::start_detached(State::run, &s) == 0;
        if (!s.writer_running) {
            ++s.dropped_count;
            return;
        }
    }
    s.pending.push_back(std::move(line));
    // The first entry of a batch starts the writer's gathering; later ones
    // wake it only when the queue grows long.
    if (s.pending.size() == 1 || s.pending.size() >= kWakeEntries) s.wake.notify_one();
}

bool AccessLog::flush(int timeout_ms) {
    State &s = state();
    std::unique_lock<std::mutex> hold(s.mutex);
    s.flushing = true;
    s.wake.notify_one();
    const bool done = s.written.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                         [&] { return s.pending.empty() && !s.writing; });
    s.flushing = false;
    return done;
}

uint64_t AccessLog::written() const {
    State &s = state();
    std::lock_guard<std::mutex> hold(s.mutex);
    return s.written_count;
}

uint64_t AccessLog::dropped() const {
    State &s = state();
    std::lock_guard<std::mutex> hold(s.mutex);
    return s.dropped_count;
}

void AccessLog::set_queue_limit_for_tests(size_t entries) {
    State &s = state();
    std::lock_guard<std::mutex> hold(s.mutex);
    s.limit = entries;
}

}  // namespace kel::server
