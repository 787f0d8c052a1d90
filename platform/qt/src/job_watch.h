// The end of one job of the service manager. A command such as ReloadUnit
// only queues a job; whether its commands passed comes later, as the
// manager's JobRemoved signal, which it sends to subscribed clients.
#pragma once

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>

#include <functional>

namespace kel::qtplat {

class JobWatch final : public QObject {
    Q_OBJECT
public:
    // `ended` runs once with the job's result ("done", "failed", "timeout",
    // ...), after set_job named the job; the watch then deletes itself.
    JobWatch(const QDBusConnection &bus, std::function<void(const QString &)> ended, QObject *parent);
    // False when the bus would not deliver the signal.
    bool listening() const { return listening_; }
    // The job the command's reply named.
    void set_job(const QString &path);
    // Ends the watch without a result.
    void abandon();

public slots:
    void on_job_removed(uint id, const QDBusObjectPath &job, const QString &unit, const QString &result);

private:
    void finish(const QString &result);

    QDBusConnection bus_;
    std::function<void(const QString &)> ended_;
    bool listening_ = false;
    QString job_;
    // A job can end before the reply that names it is read.
    QStringList ended_early_, early_results_;
};

}  // namespace kel::qtplat
