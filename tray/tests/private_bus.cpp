#include "private_bus.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QStandardPaths>
#include <QTimer>

namespace valdrin::tray::testing {

QString PrivateBus::program() { return QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")); }

PrivateBus::PrivateBus() {
    const QString path = program();
    if (path.isEmpty()) {
        error_ = QStringLiteral("dbus-daemon is not installed");
        return;
    }
    daemon_.setProcessChannelMode(QProcess::SeparateChannels);
    daemon_.start(path, {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
    if (!daemon_.waitForStarted(5000)) {
        error_ = QStringLiteral("%1 did not start: %2").arg(path, daemon_.errorString());
        return;
    }
    // The address is the first line the daemon prints.
    QDeadlineTimer deadline(5000);
    QByteArray out;
    while (!out.contains('\n')) {
        if (deadline.hasExpired() || daemon_.state() != QProcess::Running) {
            error_ = QStringLiteral("%1 printed no address within 5 s: %2")
                         .arg(path, QString::fromLocal8Bit(daemon_.readAllStandardError()));
            return;
        }
        if (daemon_.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) out += daemon_.readAllStandardOutput();
    }
    address_ = QString::fromLocal8Bit(out.left(out.indexOf('\n'))).trimmed();
}

PrivateBus::~PrivateBus() {
    if (daemon_.state() == QProcess::NotRunning) return;
    daemon_.terminate();  // SIGTERM to our own child only
    if (!daemon_.waitForFinished(3000)) {
        daemon_.kill();
        daemon_.waitForFinished(2000);
    }
}

bool wait_until(const std::function<bool()> &done, int timeout_ms) {
    QDeadlineTimer deadline(timeout_ms);
    // Wakes the wait below even when nothing else happens.
    QTimer tick;
    tick.start(10);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}  // namespace valdrin::tray::testing
