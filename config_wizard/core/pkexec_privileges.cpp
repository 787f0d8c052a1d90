#include "pkexec_privileges.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <memory>

namespace kel::wizard {

QString PkexecPrivileges::why_not_writable(const QString &file) {
    const QFileInfo target(file);
    const QFileInfo folder(target.absolutePath());
    if (!folder.isDir()) return tr("the folder %1 does not exist").arg(folder.absoluteFilePath());
    // Like the store: a file without any write permission bit stays as it
    // is, even for root.
    constexpr auto kAnyWrite = QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;
    if (target.exists() && (!target.isWritable() || (target.permissions() & kAnyWrite) == 0))
        return tr("the file is read-only for this user");
    // A save writes a new file beside the old one and renames it over.
    if (!folder.isWritable()) return tr("the folder %1 is not writable for this user").arg(folder.absoluteFilePath());
    return QString();
}

bool PkexecPrivileges::is_elevated() { return qEnvironmentVariableIsSet("PKEXEC_UID"); }

QString PkexecPrivileges::program() const {
    const QFileInfo given(pkexec_);
    if (given.isAbsolute()) return given.isExecutable() ? given.absoluteFilePath() : QString();
    return QStandardPaths::findExecutable(pkexec_);
}

bool PkexecPrivileges::can_elevate() { return !program().isEmpty(); }

void PkexecPrivileges::run_elevated(const QString &file, std::function<void(ElevatedEnd, const QString &)> done) {
    auto *process = new QProcess(QCoreApplication::instance());
    // Either signal may come first or alone; `done` runs once.
    auto once = std::make_shared<std::function<void(ElevatedEnd, const QString &)>>(std::move(done));
    auto finish = [process, once](ElevatedEnd end, const QString &detail) {
        if (!*once) return;
        auto done_now = std::move(*once);
        *once = nullptr;
        process->deleteLater();
        done_now(end, detail);
    };
    QObject::connect(process, &QProcess::errorOccurred, process, [process, finish](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) finish(ElevatedEnd::NotStarted, process->errorString());
    });
    QObject::connect(process, &QProcess::finished, process, [finish](int code, QProcess::ExitStatus status) {
        if (status == QProcess::CrashExit) return finish(ElevatedEnd::Failed, tr("pkexec crashed"));
        switch (code) {
        case 0: return finish(ElevatedEnd::Ran, QString());
        case 126: return finish(ElevatedEnd::Dismissed, QString());
        case 127: return finish(ElevatedEnd::Refused, tr("pkexec ended with status 127"));
        default: return finish(ElevatedEnd::Failed, tr("exit status %1").arg(code));
        }
    });
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(program().isEmpty() ? pkexec_ : program(), {wizard_, QStringLiteral("--config"), file});
}

}  // namespace kel::wizard
