#include "daemon_check.h"

#include <QEventLoop>
#include <QProcess>
#include <QTimer>

namespace kel::wizard {

QString DaemonConfigCheck::problems(const QString &file, bool *ran) {
    *ran = false;
    QProcess check;
    check.setProcessChannelMode(QProcess::MergedChannels);
    // The window keeps painting while the check runs, without taking input.
    QEventLoop loop;
    QObject::connect(&check, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&check, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(wait_ms_, &loop, &QEventLoop::quit);
    check.start(program_, {QStringLiteral("--check-config"), QStringLiteral("--config"), file});
    if (check.state() != QProcess::NotRunning) loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (check.state() != QProcess::NotRunning) {
        check.kill();
        check.waitForFinished(5000);
        return tr("%1 gave no verdict within %2 s").arg(program_).arg(wait_ms_ / 1000);
    }
    if (check.error() == QProcess::FailedToStart) return tr("%1 could not be run (%2)").arg(program_, check.errorString());
    if (check.exitStatus() != QProcess::NormalExit) return tr("%1 ended abnormally").arg(program_);
    const QString said = QString::fromLocal8Bit(check.readAll()).trimmed();
    if (check.exitCode() == 0) {
        *ran = true;
        return QString();
    }
    if (check.exitCode() == 1) {
        *ran = true;
        return said.isEmpty() ? tr("%1 refused the file without saying why").arg(program_) : said;
    }
    return tr("%1 --check-config ended with status %2: %3").arg(program_).arg(check.exitCode()).arg(said);
}

}  // namespace kel::wizard
