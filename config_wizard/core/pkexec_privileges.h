// The wizard's privileges on a POSIX desktop: file permissions as this user
// has them, and pkexec to start the wizard again as root.
#pragma once

#include <QCoreApplication>
#include <QString>

#include "access.h"

namespace kel::wizard {

class PkexecPrivileges final : public Privileges {
    Q_DECLARE_TR_FUNCTIONS(PkexecPrivileges)
public:
    // `pkexec` is the program's name or path; `wizard` is the path the
    // polkit action names (org.freedesktop.policykit.exec.path).
    PkexecPrivileges(QString pkexec, QString wizard) : pkexec_(std::move(pkexec)), wizard_(std::move(wizard)) {}

    QString why_not_writable(const QString &file) override;
    bool is_elevated() override;
    bool can_elevate() override;
    // Runs `pkexec <wizard> --config <file>`; pkexec ends with 126 when
    // the prompt was dismissed and 127 when it was refused.
    void run_elevated(const QString &file, std::function<void(ElevatedEnd, const QString &)> done) override;

private:
    QString program() const;

    QString pkexec_;
    QString wizard_;
};

}  // namespace kel::wizard
