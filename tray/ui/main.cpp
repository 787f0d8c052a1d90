// valdrin_tray: shows in the notification area whether the proxy runs,
// which of its services listen and where, tells of a stop nobody asked
// for, and starts or stops it: through the activity component in the
// ready-to-run folder, through systemd in an installed system.
#include <QApplication>
#include <QDBusConnection>
#include <QIcon>

#include "core/activity_choice.h"
#include "core/process_launcher.h"
#include "core/single_instance.h"
#include "core/status_fetcher.h"
#include "core/tray_controller.h"
#include "kelplat_qt/qt_notify_area.h"
#include "kelplat_qt/systemd_units.h"
#include "ui/about_form.h"

using namespace valdrin::tray;

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Valdrin Tray Agent"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.01.0006"));
    // The window is hidden most of the time; only "Exit" or closing it ends the agent.
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance(SingleInstance::default_lock_path());
    if (!instance.acquire()) return 0;

    const QString folder = QCoreApplication::applicationDirPath();
    kel::qtplat::QtNotifyArea area;
    area.set_picture(static_cast<int>(TrayPicture::Design), QIcon(QStringLiteral(":/valdrin/about.png")));
    area.set_picture(static_cast<int>(TrayPicture::Enabled), QIcon(QStringLiteral(":/valdrin/running.png")));
    area.set_picture(static_cast<int>(TrayPicture::Disabled), QIcon(QStringLiteral(":/valdrin/stopped.png")));
    if (!kel::qtplat::QtNotifyArea::is_available())
        qWarning("valdrin_tray: no notification area on this desktop yet; the icon shows once one starts");

    AboutForm form;
    form.set_notify_area(&area);
    WidgetMessageBoxes boxes(&form);
    ProcessLauncher launcher;
    HttpStatusFetcher fetcher;
    DesktopBrowser browser;
    std::unique_ptr<kel::qtplat::SystemdUnits> units;
    if (kDefaultActivity == ActivityKind::Service)
        units = std::make_unique<kel::qtplat::SystemdUnits>(QDBusConnection::systemBus());
    TrayController *shown = nullptr;
    const std::unique_ptr<Activity> activity = make_activity(
        kDefaultActivity, folder, units.get(), boxes,
        [&shown] {
            if (shown != nullptr) shown->refresh();
        },
        &launcher);
    TrayController controller(*activity, area, form, boxes, launcher, fetcher, browser, folder,
                              reinterpret_cast<quintptr>(&form));
    shown = &controller;
    QObject::connect(&area, &kel::qtplat::QtNotifyArea::mouse_message, &form,
                     [&controller](unsigned message) { controller.on_mouse_message(message); });
    form.attach(&controller);

    controller.start_up();
    form.centre_on_screen();
    form.hide();
    const int rc = QApplication::exec();
    controller.shut_down();
    shown = nullptr;
    return rc;
}
