// A message bus of the test's own: dbus-daemon started for one test and
// ended with it, so that fake services never meet the machine's buses.
#pragma once

#include <QProcess>
#include <QString>
#include <functional>

namespace valdrin::tray::testing {

class PrivateBus {
public:
    // Starts the daemon and waits a bounded time for its address.
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    // dbus-daemon's path; empty when it is not installed.
    static QString program();

    // Empty when the daemon could not be started; error() says why.
    const QString &address() const { return address_; }
    const QString &error() const { return error_; }

private:
    QProcess daemon_;
    QString address_;
    QString error_;
};

// Runs the event loop until `done` holds or `timeout_ms` has passed; false
// on time-out.
bool wait_until(const std::function<bool()> &done, int timeout_ms = 5000);

}  // namespace valdrin::tray::testing
