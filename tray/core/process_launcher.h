// Starts programs as separate, detached processes, or runs them to read
// what they print.
#pragma once

#include <QObject>

#include "ports.h"

namespace valdrin::tray {

class ProcessLauncher final : public Launcher {
public:
    // The programs read this way answer at once; one that runs longer is ended.
    static constexpr int kDefaultOutputTimeoutMs = 3000;
    // What is kept of its output; the rest is dropped.
    static constexpr qint64 kMaxOutputBytes = 64 * 1024;

    explicit ProcessLauncher(int output_timeout_ms = kDefaultOutputTimeoutMs);
    // Programs still running for read_output are killed, unheard.
    ~ProcessLauncher() override;

    // False when the file is missing, not executable or fails to start.
    bool start_program(const QString &path) override;
    void read_output(const QString &program, const QStringList &args,
                     std::function<void(const std::optional<QByteArray> &out)> done) override;

private:
    int output_timeout_ms_;
    QObject owner_;  // parent of the processes under way
};

}  // namespace valdrin::tray
