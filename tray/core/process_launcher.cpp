#include "process_launcher.h"

#include <QFileInfo>
#include <QProcess>

namespace valdrin::tray {

bool ProcessLauncher::start_program(const QString &path) {
    const QFileInfo program(path);
    if (!program.isFile() || !program.isExecutable()) return false;
    return QProcess::startDetached(program.absoluteFilePath(), {}, program.absolutePath());
}

}  // namespace valdrin::tray
