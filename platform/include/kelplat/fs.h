// Files for the INI store and the log: whole-file reads, atomic replacement,
// single-write appends, and the local clock that stamps log entries.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>

namespace kel::fs {

enum class ReadStatus { kOk, kMissing, kFailed };

// Reads the whole file into `out`. kMissing when the file does not exist,
// kFailed when it exists but can't be read (errno-style code in `error`).
ReadStatus read_file(const char *path, std::string &out, int *error = nullptr);

// True when the file exists and may not be modified: no write permission
// bit at all (even for root), or not writable by this process.
bool is_read_only(const char *path);

// Replaces the file's contents so that a reader sees either the old or the
// new file whole, never a part: a new file in the same folder, written,
// flushed to disk and renamed over the old one. The old file's permissions
// (and owner where allowed) carry over; a new file gets the usual mode
// under the umask. A symbolic link is followed, so the link stays a link.
// On any failure the old file is untouched and the errno-style code is
// left in `error`.
bool replace_atomically(const char *path, std::string_view content, int *error = nullptr);

// Opens the file for appending (created if missing, mode under the umask)
// and closes it again: does the file accept entries?
bool can_append(const char *path, int *error = nullptr);
// The same question without creating anything: the file opens for
// appending, or is missing from a folder this process may create it in. A
// check (run as root, say) must not leave a file its daemon cannot write.
bool could_append(const char *path, int *error = nullptr);

// Appends `data` with one write(2) on a descriptor opened in append mode,
// so that entries of concurrent writers never interleave. The file is
// opened and closed on every call and created if missing.
bool append_whole(const char *path, std::string_view data, int *error = nullptr);

// An append-only file kept open between writes that follows its path:
// before each write it checks that the path still names the open file, and
// opens the path anew (creating it) when the file was moved away or
// removed, so that a log rotation needs no signal. The check costs one
// stat(2) per write. Used by one thread at a time.
class FollowedFile {
public:
    explicit FollowedFile(std::string path) : path_(std::move(path)) {}
    ~FollowedFile() { close(); }
    FollowedFile(const FollowedFile &) = delete;
    FollowedFile &operator=(const FollowedFile &) = delete;

    const std::string &path() const { return path_; }
    // Appends data with one write(2) in append mode; false with the
    // errno-style code in error.
    bool append(std::string_view data, int *error = nullptr);
    // Opens made so far, the first one included (for tests of rotation).
    unsigned opens() const { return opens_; }
    void close() noexcept;

private:
    bool reopen(int *error);

    std::string path_;
    int fd_ = -1;
    unsigned long long device_ = 0;
    unsigned long long inode_ = 0;
    unsigned opens_ = 0;
};

// The current local time; false if the clock or the time zone fails.
bool local_time_now(std::tm &out);

// "2: No such file or directory" for errno-style codes.
std::string error_text(int error);

}  // namespace kel::fs
