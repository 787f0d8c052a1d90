// The notification-area layer over QSystemTrayIcon: add and remove rules,
// and which mouse events reach the agent.
#include <QMouseEvent>
#include <QPixmap>
#include <QSignalSpy>
#include <QWidget>
#include <gtest/gtest.h>

#include "core/tray_controller.h"
#include "fakes.h"
#include "kelplat_qt/qt_notify_area.h"

// Stands for the widget that carries an XEmbed tray icon, which is where
// the raw presses and releases arrive.
class QSystemTrayIconSys : public QWidget {
    Q_OBJECT
};

namespace valdrin::tray::testing {
namespace {

namespace plat = kel::qtplat;

plat::NotifyIconData record(unsigned flags = 7, const QString &tip = QStringLiteral("tip")) {
    return build_record(9, 1, flags, plat::kLeftButtonDown, 1, tip);
}

void send(QWidget &w, QEvent::Type type, Qt::MouseButton button) {
    QMouseEvent e(type, QPointF(4, 4), QPointF(4, 4), button, type == QEvent::MouseButtonRelease ? Qt::NoButton : button,
                  Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &e);
}

QPixmap square() {
    QPixmap p(16, 16);
    p.fill(Qt::green);
    return p;
}

TEST(NotifyArea, AddWhilePresentIsRefused) {
    plat::QtNotifyArea area;
    area.set_picture(1, QIcon(square()));
    EXPECT_TRUE(area.add(record()));
    EXPECT_FALSE(area.add(record(7, QStringLiteral("other"))));
    EXPECT_TRUE(area.is_present());
}

TEST(NotifyArea, RemoveTakesTheIconAwayOnce) {
    plat::QtNotifyArea area;
    area.set_picture(1, QIcon(square()));
    EXPECT_FALSE(area.remove(record(0)));
    ASSERT_TRUE(area.add(record()));
    plat::NotifyIconData other_owner = record(0);
    other_owner.window = 10;
    EXPECT_FALSE(area.remove(other_owner));
    EXPECT_TRUE(area.remove(record(0)));
    EXPECT_FALSE(area.is_present());
    EXPECT_FALSE(area.remove(record(0)));
    EXPECT_TRUE(area.add(record()));
}

TEST(NotifyArea, MapsMouseEventsToMessages) {
    using plat::QtNotifyArea;
    EXPECT_EQ(QtNotifyArea::message_for(QEvent::MouseButtonPress, Qt::LeftButton), plat::kLeftButtonDown);
    EXPECT_EQ(QtNotifyArea::message_for(QEvent::MouseButtonRelease, Qt::LeftButton), plat::kLeftButtonUp);
    EXPECT_EQ(QtNotifyArea::message_for(QEvent::MouseButtonPress, Qt::RightButton), plat::kRightButtonDown);
    EXPECT_EQ(QtNotifyArea::message_for(QEvent::MouseButtonRelease, Qt::RightButton), plat::kRightButtonUp);
    EXPECT_EQ(QtNotifyArea::message_for(QEvent::MouseButtonDblClick, Qt::LeftButton), plat::kLeftButtonDoubleClick);
    EXPECT_EQ(QtNotifyArea::message_for(QEvent::MouseButtonRelease, Qt::MiddleButton), plat::kMiddleButtonUp);
    EXPECT_EQ(QtNotifyArea::message_for(QEvent::MouseButtonRelease, Qt::BackButton), 0u);
    EXPECT_EQ(QtNotifyArea::message_for(QEvent::MouseMove, Qt::LeftButton), 0u);
}

TEST(NotifyAreaMouse, RightPressAndReleaseOpenTheMenuOnTheRelease) {
    plat::QtNotifyArea area;
    area.set_picture(1, QIcon(square()));
    ScriptedActivity activity;
    FakeView view;
    FakeBoxes boxes;
    FakeLauncher launcher;
    FakeFetcher fetcher;
    FakeBrowser browser;
    TrayController controller(activity, area, view, boxes, launcher, fetcher, browser, QStringLiteral("/opt/valdrin"));
    QObject::connect(&area, &plat::QtNotifyArea::mouse_message, [&](unsigned m) { controller.on_mouse_message(m); });
    QSignalSpy messages(&area, &plat::QtNotifyArea::mouse_message);
    controller.start_up();

    QSystemTrayIconSys icon_widget;
    send(icon_widget, QEvent::MouseButtonPress, Qt::RightButton);
    EXPECT_EQ(view.menus_opened, 0);
    send(icon_widget, QEvent::MouseButtonRelease, Qt::RightButton);
    EXPECT_EQ(view.menus_opened, 1);
    send(icon_widget, QEvent::MouseButtonPress, Qt::LeftButton);
    send(icon_widget, QEvent::MouseButtonRelease, Qt::LeftButton);
    EXPECT_EQ(view.menus_opened, 2);
    ASSERT_EQ(messages.count(), 4);
    EXPECT_EQ(messages.at(0).at(0).toUInt(), plat::kRightButtonDown);
    EXPECT_EQ(messages.at(1).at(0).toUInt(), plat::kRightButtonUp);
}

TEST(NotifyAreaMouse, NothingIsReportedWithoutAnIconOrWithoutTheMessageFlag) {
    plat::QtNotifyArea area;
    area.set_picture(1, QIcon(square()));
    QSignalSpy messages(&area, &plat::QtNotifyArea::mouse_message);
    QSystemTrayIconSys icon_widget;
    QWidget ordinary;
    send(icon_widget, QEvent::MouseButtonRelease, Qt::RightButton);
    ASSERT_TRUE(area.add(record(plat::kNotifyIcon | plat::kNotifyTip)));
    send(icon_widget, QEvent::MouseButtonRelease, Qt::RightButton);
    ASSERT_TRUE(area.remove(record(0)));
    ASSERT_TRUE(area.add(record()));
    send(ordinary, QEvent::MouseButtonRelease, Qt::RightButton);
    EXPECT_EQ(messages.count(), 0);
    send(icon_widget, QEvent::MouseButtonRelease, Qt::RightButton);
    EXPECT_EQ(messages.count(), 1);
}

}  // namespace
}  // namespace valdrin::tray::testing

#include "notify_area_test.moc"
