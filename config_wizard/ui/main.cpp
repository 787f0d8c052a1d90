// valdrin_config: edits valdrin.conf; by default the one beside the program
// in the ready-to-run folder, /etc/valdrin/valdrin.conf in an installed system.
#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QDir>
#include <memory>

#include "access.h"
#include "activity_proxy_service.h"
#include "daemon_check.h"
#include "ini_file_store.h"
#include "kelplat/process.h"
#include "kelplat_qt/systemd_units.h"
#include "pkexec_privileges.h"
#include "qt_dialogs.h"
#include "service_notice.h"
#include "unit_proxy_service.h"
#include "vbconfig.h"
#include "wizard.h"

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("valdrin_config"));
    QApplication::setApplicationVersion(QStringLiteral(VALDRIN_VERSION));

    const QString program_dir = QCoreApplication::applicationDirPath();
    const kel::wizard::FileLayout layout = kel::wizard::built_layout();
    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("Valdrin Proxy Server - Configuration Wizard"));
    options.addHelpOption();
    options.addVersionOption();
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("Edit the configuration file <path> (default: %1).")
                                        .arg(kel::wizard::wizard_paths(layout, program_dir, QString()).config_file),
                                    QStringLiteral("path"));
    options.addOption(config);
    options.process(app);

    const kel::wizard::WizardPaths paths =
        kel::wizard::wizard_paths(layout, program_dir, options.isSet(config) ? options.value(config) : QString());

    kel::wizard::IniFileStore store;
    kel::wizard::QtPrompter prompter;
    kel::wizard::QtMessageBoxes boxes;
    kel::wizard::DesktopUrlOpener opener;
    kel::wizard::Wizard wizard(store, boxes, prompter, paths);
    kel::wizard::VBConfig window(wizard, opener, paths.guide_dir);
    prompter.set_parent(&window);
    boxes.set_parent(&window);

    // The check resolves the allow-list's names: allow for a slow name server.
    constexpr int kCheckWaitMs = 60000;
    if (!layout.installed) {
        // The daemon beside the wizard, started by the tray agent through the
        // activity component, which keeps its log in the runtime folder.
        QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (!runtime.startsWith(QLatin1Char('/')))
            runtime = QStringLiteral("/tmp/valdrin-%1").arg(kel::process::user_id());
        kel::wizard::ActivityProxyService service(program_dir, runtime + QStringLiteral("/valdrin_proxy.log"));
        kel::wizard::DaemonConfigCheck check(QDir(program_dir).filePath(QStringLiteral("valdrin_proxy")),
                                             kCheckWaitMs);
        kel::wizard::SaveNotice notice(service, check, boxes);
        wizard.set_save_listener(
            [&notice, &wizard](const QString &file) { notice.after_save(file, wizard.saved_restart_keys()); });
        window.open();
        window.show();
        const int rc = app.exec();
        wizard.set_save_listener(nullptr);
        return rc;
    }

    // An installed system: the file belongs to root, the daemon runs as a
    // system service that re-reads it on reload.
    kel::qtplat::SystemdUnits units(QDBusConnection::systemBus());
    kel::wizard::UnitProxyService service(units, QString::fromLatin1(kel::qtplat::kProxyServiceUnit), 10000, 130000);
    kel::wizard::DaemonConfigCheck check(QStringLiteral(VALDRIN_DAEMON_PROGRAM), kCheckWaitMs);
    kel::wizard::SaveNotice notice(service, check, boxes);
    wizard.set_save_listener(
        [&notice, &wizard](const QString &file) { notice.after_save(file, wizard.saved_restart_keys()); });
    kel::wizard::PkexecPrivileges privileges(QStringLiteral("pkexec"), QStringLiteral(VALDRIN_WIZARD_PROGRAM));
    kel::wizard::AccessGate gate(privileges, boxes);
    // The window shows only after the check: until then, closing a message
    // box must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
    gate.check(paths.config_file, [&window, &app](bool end) {
        if (end) {
            // Queued: this may run before the event loop has started.
            QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
            return;
        }
        window.open();
        window.show();
        QApplication::setQuitOnLastWindowClosed(true);
    });
    const int rc = app.exec();
    wizard.set_save_listener(nullptr);
    return rc;
}
