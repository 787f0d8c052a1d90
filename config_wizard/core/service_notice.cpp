#include "service_notice.h"

namespace kel::wizard {

void SaveNotice::after_save(const QString &file, const QStringList &restart_keys) {
    const QString caption = tr("Configuration saved");
    bool ran = true;
    const QString problems = check_.problems(file, &ran);
    if (ran && !problems.isEmpty()) {
        // Reloading would only have the daemon refuse it too.
        boxes_.show(tr("The configuration was saved to %1, but the proxy server would refuse it:\n\n%2\n\n"
                       "The running proxy server keeps the configuration it has. Correct the setting and apply "
                       "again.")
                        .arg(file, problems),
                    tr("Configuration refused"), Icon::Critical);
        return;
    }
    const QString unchecked =
        ran ? QString() : tr("\n(The daemon could not check the file first: %1.)").arg(problems);
    QString why;
    switch (service_.state(&why)) {
    case ProxyService::State::Stopped:
        boxes_.show(tr("The configuration was saved to %1.\nThe proxy server %2 is not running; it reads the file "
                       "when it starts.")
                            .arg(file, service_.name()) +
                        unchecked,
                    caption, Icon::Information);
        return;
    case ProxyService::State::Unknown:
        boxes_.show(tr("The configuration was saved to %1.\nWhether the proxy server %2 runs could not be told "
                       "(%3). A running server reads the file again on %4.")
                            .arg(file, service_.name(), why, service_.reload_hint()) +
                        unchecked,
                    caption, Icon::Information);
        return;
    case ProxyService::State::Running:
        break;
    }
    const QString failure = service_.reload();
    if (!failure.isEmpty()) {
        boxes_.show(tr("The proxy server %1 could not be reloaded: %2.\nThe saved configuration takes effect at its "
                       "next reload (%3) or start.")
                            .arg(service_.name(), failure, service_.reload_hint()) +
                        unchecked,
                    tr("Reload"), Icon::Critical);
        return;
    }
    QString text = tr("The configuration was saved to %1, and the running proxy server %2 has read it: the new "
                      "settings are in force.")
                       .arg(file, service_.name());
    if (!restart_keys.isEmpty())
        text += tr("\nThe change of %1 takes effect when the proxy server is restarted.")
                    .arg(restart_keys.join(QStringLiteral(", ")));
    boxes_.show(text + unchecked, caption, Icon::Information);
}

}  // namespace kel::wizard
