// Whether the wizard may write the configuration of an installed system,
// and how it gets the administrator rights it lacks: by starting itself
// again through pkexec, whose polkit action asks for them.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <functional>

#include "wizard_io.h"

namespace kel::wizard {

// How a copy of the wizard started with administrator rights ended.
enum class ElevatedEnd {
    Ran,         // it ran and ended normally: the editing happened there
    Dismissed,   // the user closed the password prompt
    Refused,     // polkit refused, or pkexec failed
    Failed,      // it ended abnormally
    NotStarted,  // pkexec could not be started
};

class Privileges {
public:
    virtual ~Privileges() = default;
    // Empty when this process may replace `file`; otherwise why not.
    virtual QString why_not_writable(const QString &file) = 0;
    // True when this process already runs with rights obtained through pkexec.
    virtual bool is_elevated() = 0;
    // True when pkexec is installed.
    virtual bool can_elevate() = 0;
    // Starts the wizard with administrator rights on `file` and returns at
    // once; `done` runs once, when that copy has ended, with a detail for
    // the user (the exit status, pkexec's error).
    virtual void run_elevated(const QString &file, std::function<void(ElevatedEnd, const QString &detail)> done) = 0;
};

class AccessGate {
    Q_DECLARE_TR_FUNCTIONS(AccessGate)
public:
    AccessGate(Privileges &privileges, MessageBoxes &boxes) : privileges_(privileges), boxes_(boxes) {}

    // Before the window opens. When `file` may not be written: offers the
    // wizard with administrator rights if pkexec exists, or says that
    // saving needs them. `proceed` runs exactly once, possibly later: with
    // true when the copy with rights did the editing and this one should
    // end, with false when this one opens its window.
    void check(const QString &file, std::function<void(bool end)> proceed);

private:
    Privileges &privileges_;
    MessageBoxes &boxes_;
};

}  // namespace kel::wizard
