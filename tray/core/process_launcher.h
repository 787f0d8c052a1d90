// Starts programs as separate, detached processes.
#pragma once

#include "ports.h"

namespace valdrin::tray {

class ProcessLauncher final : public Launcher {
public:
    // False when the file is missing, not executable or fails to start.
    bool start_program(const QString &path) override;
};

}  // namespace valdrin::tray
