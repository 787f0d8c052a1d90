// The About window's wiring: menu items and closing reach the controller.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include "core/library_activity.h"
#include "core/process_launcher.h"
#include "core/tray_controller.h"
#include "fakes.h"
#include "ui/about_form.h"

namespace valdrin::tray::testing {
namespace {

class AboutFormWiring : public ::testing::Test {
protected:
    AboutFormWiring()
        : control(QDir(QStringLiteral(FAKE_ACTIVITY_DIR)).filePath(QStringLiteral(FAKE_ACTIVITY_NAME))),
          activity(QStringLiteral(FAKE_ACTIVITY_DIR), QStringLiteral(FAKE_ACTIVITY_NAME), runtime.path()),
          controller(activity, area, form, boxes, launcher, fetcher, browser, wizard_dir.path()) {
        form.attach(&controller);
    }
    void SetUp() override { ASSERT_TRUE(control.ok()); }

    QTemporaryDir wizard_dir;  // holds no wizard
    QTemporaryDir runtime;     // the daemon's files
    FakeLibraryControl control;
    LibraryActivity activity;
    FakeNotifyArea area;
    FakeBoxes boxes;
    ProcessLauncher launcher;
    FakeFetcher fetcher;
    FakeBrowser browser;
    AboutForm form;
    TrayController controller;
};

TEST_F(AboutFormWiring, MenuShowsTheStatusAndItsItemsCallTheComponent) {
    control.set_status(3);
    controller.start_up();
    EXPECT_EQ(form.start_stop_action()->text(), QStringLiteral("&Stop"));
    EXPECT_TRUE(form.autostart_action()->isChecked());
    control.clear_log();
    form.start_stop_action()->trigger();
    form.autostart_action()->trigger();
    EXPECT_EQ(control.log(), QStringLiteral("stop(1) poll(0) noauto(1) poll(0)"));
    // Still 3 in the fake: the mark follows the poll, not the click.
    EXPECT_TRUE(form.autostart_action()->isChecked());
}

TEST_F(AboutFormWiring, MenuItemsInOrder) {
    QStringList texts;
    for (QAction *a : form.popup_menu()->actions()) texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
    EXPECT_EQ(texts, (QStringList{"&Start", "-", "Open status &page", "-", "&Autostart at boot time", "&Configure",
                                  "-", "&About", "&Exit"}));
    EXPECT_FALSE(form.status_page_action()->isEnabled());
    EXPECT_EQ(form.poll_timer()->interval(), 3000);
    EXPECT_TRUE(form.poll_timer()->isActive());
}

QStringList menu_texts(const QMenu *menu) {
    QStringList texts;
    for (QAction *a : menu->actions()) texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return texts;
}

TEST_F(AboutFormWiring, ServiceLinesSitBetweenStartStopAndTheStatusPageAndAreNoCommands) {
    form.set_service_lines({QStringLiteral("HTTP proxy on [::]:3128"), QStringLiteral("A & B")});
    EXPECT_EQ(menu_texts(form.popup_menu()),
              (QStringList{"&Start", "-", "HTTP proxy on [::]:3128", "A && B", "Open status &page", "-",
                           "&Autostart at boot time", "&Configure", "-", "&About", "&Exit"}));
    ASSERT_EQ(form.service_actions().size(), 2);
    for (QAction *a : form.service_actions()) EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
    form.set_service_lines({QStringLiteral("DNS proxy on 127.0.0.1:53")});
    EXPECT_EQ(menu_texts(form.popup_menu()),
              (QStringList{"&Start", "-", "DNS proxy on 127.0.0.1:53", "Open status &page", "-",
                           "&Autostart at boot time", "&Configure", "-", "&About", "&Exit"}));
    form.set_service_lines({});
    EXPECT_EQ(menu_texts(form.popup_menu()).size(), 9);
    EXPECT_TRUE(form.service_actions().isEmpty());
}

TEST_F(AboutFormWiring, TheStatusPageItemFollowsTheAnswerAndOpensTheBrowser) {
    QFile ports(QDir(runtime.path()).filePath(QStringLiteral("valdrin_proxy.ports")));
    ASSERT_TRUE(ports.open(QIODevice::WriteOnly));
    ports.write("http 0.0.0.0:3128\n");
    ports.close();
    control.set_status(1);
    controller.start_up();
    EXPECT_FALSE(form.status_page_action()->isEnabled());
    ASSERT_EQ(fetcher.asked, QStringList{QStringLiteral("127.0.0.1:3128")});
    ASSERT_TRUE(fetcher.answer(Listeners{{"http", "0.0.0.0:3128"}, {"socks", "0.0.0.0:1080"}}));
    EXPECT_TRUE(form.status_page_action()->isEnabled());
    EXPECT_EQ(form.service_actions().size(), 2);
    form.status_page_action()->trigger();
    EXPECT_EQ(browser.opened, QList<QUrl>{QUrl(QStringLiteral("http://127.0.0.1:3128/"))});
    control.set_status(0);
    controller.refresh();
    EXPECT_FALSE(form.status_page_action()->isEnabled());
    EXPECT_TRUE(form.service_actions().isEmpty());
}

TEST_F(AboutFormWiring, ConfigureWithoutTheWizardShowsTheFatalErrorBox) {
    form.configure_action()->trigger();
    form.configure_action()->trigger();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[1].first, QStringLiteral("Fatal Error"));
}

TEST_F(AboutFormWiring, AboutShowsAndDismissHides) {
    controller.start_up();
    form.about_action()->trigger();
    EXPECT_TRUE(form.isVisible());
    auto *dismiss = form.findChild<QPushButton *>(QStringLiteral("Command1"));
    ASSERT_NE(dismiss, nullptr);
    dismiss->click();
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(area.shown) << "dismissing keeps the icon";
}

TEST_F(AboutFormWiring, ExitAndClosingRemoveTheIcon) {
    controller.start_up();
    ASSERT_TRUE(area.shown);
    form.exit_action()->trigger();
    EXPECT_FALSE(area.shown);
    EXPECT_FALSE(form.poll_timer()->isActive());

    controller.start_up();
    ASSERT_TRUE(area.shown);
    form.show();
    form.close();
    EXPECT_FALSE(area.shown);
}

}  // namespace
}  // namespace valdrin::tray::testing
