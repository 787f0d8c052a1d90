#include "process_launcher.h"

#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <memory>

namespace valdrin::tray {

ProcessLauncher::ProcessLauncher(int output_timeout_ms) : output_timeout_ms_(output_timeout_ms) {}

ProcessLauncher::~ProcessLauncher() {
    // Unheard: their `done` must not run while this object goes.
    for (QProcess *p : owner_.findChildren<QProcess *>(Qt::FindDirectChildrenOnly)) p->disconnect();
}

bool ProcessLauncher::start_program(const QString &path) {
    const QFileInfo program(path);
    if (!program.isFile() || !program.isExecutable()) return false;
    return QProcess::startDetached(program.absoluteFilePath(), {}, program.absolutePath());
}

void ProcessLauncher::read_output(const QString &program, const QStringList &args,
                                  std::function<void(const std::optional<QByteArray> &out)> done) {
    auto *process = new QProcess(&owner_);
    auto *timer = new QTimer(process);
    auto out = std::make_shared<QByteArray>();
    auto answered = std::make_shared<bool>(false);
    auto shared_done = std::make_shared<std::function<void(const std::optional<QByteArray> &)>>(std::move(done));
    // Exactly once, whichever comes first: the end, a failure to start, the
    // time limit; and never inside start(), which may fail at once.
    auto finish = [this, process, answered, shared_done](const std::optional<QByteArray> &result) {
        if (*answered) return;
        *answered = true;
        process->disconnect();
        process->deleteLater();
        QMetaObject::invokeMethod(&owner_, [shared_done, result] { (*shared_done)(result); }, Qt::QueuedConnection);
    };
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::readyReadStandardOutput, process, [process, out] {
        const QByteArray chunk = process->readAllStandardOutput();
        out->append(chunk.left(kMaxOutputBytes - out->size()));
    });
    QObject::connect(process, &QProcess::finished, process, [process, out, finish](int code, QProcess::ExitStatus how) {
        out->append(process->readAllStandardOutput().left(kMaxOutputBytes - out->size()));
        finish(how == QProcess::NormalExit && code == 0 ? std::optional<QByteArray>(*out) : std::nullopt);
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [finish](QProcess::ProcessError error) {
        // A crash or a kill also ends in finished(); only these never do.
        if (error == QProcess::FailedToStart) finish(std::nullopt);
    });
    QObject::connect(timer, &QTimer::timeout, process, [process, finish] {
        finish(std::nullopt);
        process->kill();  // our own child, by the handle that started it
    });
    timer->setSingleShot(true);
    timer->start(output_timeout_ms_);
    process->start(program, args);
}

}  // namespace valdrin::tray
