#include "job_watch.h"

namespace kel::qtplat {
namespace {

const QString kService = QStringLiteral("org.freedesktop.systemd1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kManager = QStringLiteral("org.freedesktop.systemd1.Manager");

}  // namespace

JobWatch::JobWatch(const QDBusConnection &bus, std::function<void(const QString &)> ended, QObject *parent)
    : QObject(parent), bus_(bus), ended_(std::move(ended)) {
    // The slot's argument types must be known before the first connect of
    // the process, which QtDBus otherwise refuses.
    qRegisterMetaType<QDBusObjectPath>();
    listening_ = bus_.connect(kService, kManagerPath, kManager, QStringLiteral("JobRemoved"), this,
                              SLOT(on_job_removed(uint, QDBusObjectPath, QString, QString)));
}

void JobWatch::set_job(const QString &path) {
    job_ = path;
    if (const qsizetype at = ended_early_.indexOf(path); at >= 0) finish(early_results_[at]);
}

void JobWatch::abandon() {
    ended_ = nullptr;
    finish(QString());
}

void JobWatch::on_job_removed(uint, const QDBusObjectPath &job, const QString &, const QString &result) {
    if (job_.isEmpty()) {
        ended_early_ << job.path();
        early_results_ << result;
        return;
    }
    if (job.path() == job_) finish(result);
}

void JobWatch::finish(const QString &result) {
    if (listening_) {
        bus_.disconnect(kService, kManagerPath, kManager, QStringLiteral("JobRemoved"), this,
                        SLOT(on_job_removed(uint, QDBusObjectPath, QString, QString)));
        listening_ = false;
    }
    if (auto ended = std::exchange(ended_, nullptr)) ended(result);
    deleteLater();
}

}  // namespace kel::qtplat
