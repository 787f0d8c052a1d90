// What the tray agent's decisions reach the world through. The window and
// the platform implement these; tests swap in fakes.
#pragma once

#include <QString>
#include <optional>

namespace valdrin::tray {

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
};

// The pop-up menu of the About window.
class TrayView {
public:
    virtual ~TrayView() = default;
    virtual void set_start_stop_caption(const QString &caption) = 0;
    virtual void set_autostart_checked(bool checked) = 0;
    virtual void open_menu() = 0;
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
};

}  // namespace valdrin::tray
