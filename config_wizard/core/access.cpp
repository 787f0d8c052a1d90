#include "access.h"

namespace kel::wizard {

void AccessGate::check(const QString &file, std::function<void(bool end)> proceed) {
    const QString why = privileges_.why_not_writable(file);
    if (why.isEmpty()) return proceed(false);
    const QString caption = tr("Administrator rights needed");
    if (privileges_.is_elevated()) {
        // Rights are not what is missing: asking for them again would loop.
        boxes_.show(tr("Changes cannot be saved to %1: %2.").arg(file, why), caption, Icon::Exclamation);
        return proceed(false);
    }
    if (!privileges_.can_elevate()) {
        boxes_.show(tr("Changes cannot be saved to %1: %2.\nWriting the configuration of the installed proxy needs "
                       "administrator rights: start the wizard as root, for instance with 'sudo valdrin_config'.")
                        .arg(file, why),
                    caption, Icon::Exclamation);
        return proceed(false);
    }
    if (boxes_.show(tr("You may not change %1: %2.\nOpen the configuration wizard with administrator rights? You will "
                       "be asked for an administrator's password.")
                        .arg(file, why),
                    caption, Icon::Question, Buttons::YesNo, Answer::Yes) != Answer::Yes)
        return proceed(false);
    privileges_.run_elevated(file, [this, file, caption, proceed](ElevatedEnd end, const QString &detail) {
        const QString without = tr("this wizard goes on without them, and changes cannot be saved to %1.").arg(file);
        switch (end) {
        case ElevatedEnd::Ran:
            return proceed(true);
        case ElevatedEnd::Dismissed:
            boxes_.show(tr("The password prompt was closed: %1").arg(without), caption, Icon::Exclamation);
            break;
        case ElevatedEnd::Refused:
            boxes_.show(tr("Administrator rights were not granted (%1): %2").arg(detail, without), caption,
                        Icon::Exclamation);
            break;
        case ElevatedEnd::Failed:
            boxes_.show(tr("The wizard with administrator rights ended abnormally (%1): %2").arg(detail, without),
                        caption, Icon::Critical);
            break;
        case ElevatedEnd::NotStarted:
            boxes_.show(tr("pkexec could not be started (%1): %2").arg(detail, without), caption, Icon::Critical);
            break;
        }
        proceed(false);
    });
}

}  // namespace kel::wizard
