// The log file and the error file. Each entry is formatted whole in memory
// and appended with one write on a freshly opened file, so entries of
// concurrent threads never interleave and no file stays open between
// entries.
#include "kellog.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "format_growth.h"
#include "kellog_time.h"
#include "kelplat/diag.h"
#include "kelplat/fs.h"
#include "kelplat/guard.h"
#include "kelplat/msgbox.h"
#include "kelplat/owned.h"

namespace kel::log {
namespace {

constexpr const char *kModule = "kellog";
// The source name given in the entries this module reports about itself.
constexpr const char *kSourceFile = "kellog.cpp";
constexpr std::size_t kPathBytes = 1024;
constexpr const char *kBoxCaption = "Valdrin Proxy Server Error";
constexpr unsigned kBoxStyle = kMsgBoxIconError | kMsgBoxTopmost;

// Set by kellog_init before the server starts; the lock only keeps a late
// init from tearing a path that a writer copies.
std::mutex g_mutex;
char g_log_path[kPathBytes] = "";
char g_err_path[kPathBytes] = "";
int32_t g_verbose = 0;

using Message = std::unique_ptr<char, FreeDeleter>;

// Copies the path of the wanted file; empty before init.
std::string path_of(bool error_file, int32_t *verbose = nullptr) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (verbose != nullptr) *verbose = g_verbose;
    return error_file ? g_err_path : g_log_path;
}

std::string timestamp() {
    char stamp[kTimestampChars + 1];
    kellog_timestamp(stamp);
    return stamp;
}

// Appends the entry; a file that can no longer be opened or written is
// reported, never a crash.
bool append_entry(const std::string &path, const std::string &entry) {
    int error = 0;
    if (fs::append_whole(path.c_str(), entry, &error)) return true;
    const std::string text =
        "Unable to write an entry to '" + path + "' (" + fs::error_text(error) + ")";
    KEL_DIAG_MSG(text.c_str());
    return false;
}

}  // namespace

void format_timestamp(const std::tm &when, char *out) noexcept {
    // Room for any int in every field; the entry takes the first 20.
    char full[96];
    const int n =
        std::snprintf(full, sizeof full, "%2.2d/%2.2d/%4.4d @ %2.2d:%2.2d  ", when.tm_mday,
                      when.tm_mon + 1, when.tm_year + 1900, when.tm_hour, when.tm_min);
    const std::size_t length =
        n < 0 ? 0 : std::min(static_cast<std::size_t>(n), std::size_t{kTimestampChars});
    std::memcpy(out, full, length);
    out[length] = '\0';
}

int32_t init(const char *log_path, const char *err_path, int32_t verbose) {
    if (log_path == nullptr || err_path == nullptr) {
        KEL_DIAG();
        return -1;
    }
    // The paths are kept in buffers of 1024; longer ones are refused.
    if (::strnlen(log_path, kPathBytes) >= kPathBytes ||
        ::strnlen(err_path, kPathBytes) >= kPathBytes) {
        KEL_DIAG_MSG("Log file path longer than 1023 characters");
        return -1;
    }
    if (!fs::can_append(log_path)) {
        diag::err_printf("Unable to open LOG file for output ('%s')", log_path);
        return -1;
    }
    if (!fs::can_append(err_path)) {
        diag::err_printf("Unable to open ERR file for output ('%s')", err_path);
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    std::strcpy(g_log_path, log_path);
    std::strcpy(g_err_path, err_path);
    g_verbose = verbose;
    return 0;
}

// Formats the message and its whole entry (timestamp, message, line end),
// ready for one append; false, with a diagnostic line, when memory runs out.
bool format_entry(const char *format, va_list ap, Message *message, std::string *entry) {
    std::size_t length = 0;
    message->reset(format::vformat(format, ap, &length));
    if (!*message) {
        KEL_DIAG();
        return false;
    }
    *entry = timestamp();
    entry->append(message->get(), length);
    *entry += "\r\n";
    return true;
}

int32_t write_log(const char *format, va_list ap) {
    const std::string path = path_of(false);
    if (path.empty()) {
        KEL_DIAG_MSG("kelLog not initialized");
        return -1;
    }
    if (format == nullptr) {
        kellog_err(kSourceFile, __LINE__, "A null argument has been passed to vln_log");
        return -1;
    }
    Message message;
    std::string entry;
    if (!format_entry(format, ap, &message, &entry)) return -1;
    return append_entry(path, entry) ? 0 : -1;
}

int32_t write_msg(const char *format, va_list ap) {
    int32_t verbose = 0;
    const std::string path = path_of(true, &verbose);
    if (path.empty()) {
        KEL_DIAG_MSG("kelLog not initialized");
        return -1;
    }
    if (format == nullptr) {
        kellog_err(kSourceFile, __LINE__, "A null argument has been passed to vln_err");
        return -1;
    }
    Message message;
    std::string entry;
    if (!format_entry(format, ap, &message, &entry)) return -1;
    // The user still hears of the error when its entry can't be written.
    const bool written = append_entry(path, entry);
    diag::out_printf("ERROR: %s", message.get());
    if (verbose != 0) message_box(kBoxCaption, message.get(), kBoxStyle);
    return written ? 0 : -1;
}

int32_t write_err(const char *source, int32_t line, const char *format, va_list ap) {
    const std::string path = path_of(true);
    if (path.empty()) {
        KEL_DIAG_MSG("kelLog not initialized");
        return -1;
    }
    if (format == nullptr || source == nullptr) {
        kellog_err(kSourceFile, __LINE__, "A null argument has been passed to vln_err");
        return -1;
    }
    std::size_t length = 0;
    Message message(format::vformat(format, ap, &length));
    if (!message) {
        KEL_DIAG();
        return -1;
    }
    std::string entry = timestamp();
    entry += source;
    entry += "(" + std::to_string(line) + ") ";
    entry.append(message.get(), length);
    entry += "\r\n";
    return append_entry(path, entry) ? 0 : -1;
}

}  // namespace kel::log

extern "C" KEL_API int32_t kellog_init(const char *fichier_log, const char *fichier_err,
                                       int32_t verbeux) {
    return kel::guard(__func__, int32_t{-1},
                      [&] { return kel::log::init(fichier_log, fichier_err, verbeux); });
}

extern "C" KEL_API int32_t kellog_timestamp(char *buffer) {
    return kel::guard(__func__, int32_t{-1}, [&]() -> int32_t {
        constexpr const char *kModule = "kellog";
        if (buffer == nullptr) {
            KEL_DIAG();
            return -1;
        }
        std::tm now{};
        if (!kel::fs::local_time_now(now)) {
            // A clock that fails still gives an entry its 20 characters.
            now = std::tm{};
        }
        kel::log::format_timestamp(now, buffer);
        return 0;
    });
}

extern "C" KEL_API int32_t kellog_log(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    const int32_t rc =
        kel::guard(__func__, int32_t{-1}, [&] { return kel::log::write_log(format, ap); });
    va_end(ap);
    return rc;
}

extern "C" KEL_API int32_t kellog_msg(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    const int32_t rc =
        kel::guard(__func__, int32_t{-1}, [&] { return kel::log::write_msg(format, ap); });
    va_end(ap);
    return rc;
}

extern "C" KEL_API int32_t kellog_err(const char *fichier, int32_t ligne, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    const int32_t rc = kel::guard(__func__, int32_t{-1},
                                  [&] { return kel::log::write_err(fichier, ligne, format, ap); });
    va_end(ap);
    return rc;
}
