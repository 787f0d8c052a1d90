// What the tray agent's decisions reach the world through. The window and
// the platform implement these; tests swap in fakes.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <optional>

#include "status_report.h"

namespace valdrin::tray {

// Where the running daemon's status page is reached, or why that is not known.
struct StatusAddress {
    QString address;      // "127.0.0.1:3128", "[::1]:3128"; empty when unknown
    QString why_unknown;  // for the user, while address is empty
};

// The outside component that runs the proxy daemon.
class Activity {
public:
    virtual ~Activity() = default;
    // The status word (bit 0 running, bit 1 start at login), or nothing
    // when the component cannot be reached.
    virtual std::optional<quint16> poll() = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void set_autostart() = 0;
    virtual void clear_autostart() = 0;
    // The message for the user when the component cannot be reached: what
    // is missing and why. Empty while it can be reached.
    virtual QString failure() const = 0;
    // Where the daemon that the last poll found running serves its status.
    virtual StatusAddress status_address() = 0;
    // Why the daemon is no longer running, for the user, as far as can be
    // told: `done` runs once, at once or later; an empty text when nothing
    // is known.
    virtual void explain_stop(std::function<void(const QString &reason)> done) = 0;
};

// The pop-up menu of the About window, and the messages beside the icon.
class TrayView {
public:
    virtual ~TrayView() = default;
    virtual void set_start_stop_caption(const QString &caption) = 0;
    virtual void set_autostart_checked(bool checked) = 0;
    virtual void open_menu() = 0;
    // One informational (disabled) line per running service; none when
    // stopped or not known.
    virtual void set_service_lines(const QStringList &lines) = 0;
    virtual void set_status_page_enabled(bool enabled) = 0;
    // A passing message that needs no answer.
    virtual void notify(const QString &title, const QString &text) = 0;
};

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // A modal box with the error icon.
    virtual void error(const QString &title, const QString &text) = 0;
};

class Launcher {
public:
    virtual ~Launcher() = default;
    // Starts the program as a separate process and returns at once; false
    // when it could not be started.
    virtual bool start_program(const QString &path) = 0;
    // Runs the program (found on PATH) with `args` and gives its standard
    // output when it ends with status 0 within a bounded time; nothing when
    // it cannot start, fails or takes too long. `done` runs exactly once,
    // later, unless the launcher is destroyed first.
    virtual void read_output(const QString &program, const QStringList &args,
                             std::function<void(const std::optional<QByteArray> &out)> done) = 0;
};

// The desktop's web browser.
class Browser {
public:
    virtual ~Browser() = default;
    // False when no browser could be asked to show the page.
    virtual bool open(const QUrl &url) = 0;
};

// The outcome of one status fetch: the listeners, or why they are unknown.
struct StatusFetch {
    std::optional<Listeners> listening;
    QString failure;  // for the user, while listening is empty
};

class StatusFetcher {
public:
    virtual ~StatusFetcher() = default;
    // Asks the daemon at `address` ("127.0.0.1:3128") for its status.json.
    // `done` runs exactly once, later, on the calling thread, unless the
    // fetcher is destroyed first.
    virtual void fetch(const QString &address, std::function<void(const StatusFetch &)> done) = 0;
};

}  // namespace valdrin::tray
