#include "service_notice.h"

namespace kel::wizard {

void SaveNotice::after_save(const QString &file) {
    const QString caption = tr("Configuration saved");
    const QString command = QStringLiteral("systemctl reload %1").arg(service_.name());
    QString why;
    switch (service_.state(&why)) {
    case ProxyService::State::Stopped:
        boxes_.show(tr("The configuration was saved to %1.\nThe proxy service %2 is not running; it reads the file "
                       "when it starts.")
                        .arg(file, service_.name()),
                    caption, Icon::Information);
        return;
    case ProxyService::State::Unknown:
        boxes_.show(tr("The configuration was saved to %1.\nWhether the proxy service runs could not be told (%2). "
                       "A running service reads the file again on '%3'.")
                        .arg(file, why, command),
                    caption, Icon::Information);
        return;
    case ProxyService::State::Running:
        break;
    }
    if (boxes_.show(tr("The configuration was saved to %1.\nThe running proxy service reads it again when it is "
                       "reloaded ('%2').\nReload it now?")
                        .arg(file, command),
                    caption, Icon::Question, Buttons::YesNo, Answer::Yes) != Answer::Yes)
        return;
    const QString failure = service_.reload();
    if (failure.isEmpty()) return;
    boxes_.show(tr("The proxy service %1 could not be reloaded: %2.\nThe saved configuration takes effect at its "
                   "next reload ('%3') or start.")
                    .arg(service_.name(), failure, command),
                tr("Reload"), Icon::Critical);
}

}  // namespace kel::wizard
