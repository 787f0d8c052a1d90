// The About window's wiring: menu items and closing reach the controller.
#include <QAction>
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
          activity(QStringLiteral(FAKE_ACTIVITY_DIR), QStringLiteral(FAKE_ACTIVITY_NAME)),
          controller(activity, area, form, boxes, launcher, wizard_dir.path()) {
        form.attach(&controller);
    }
    void SetUp() override { ASSERT_TRUE(control.ok()); }

    QTemporaryDir wizard_dir;  // holds no wizard
    FakeLibraryControl control;
    LibraryActivity activity;
    FakeNotifyArea area;
    FakeBoxes boxes;
    ProcessLauncher launcher;
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
    EXPECT_EQ(texts, (QStringList{"&Start", "-", "&Autostart at boot time", "&Configure", "-", "&About", "&Exit"}));
    EXPECT_EQ(form.poll_timer()->interval(), 3000);
    EXPECT_TRUE(form.poll_timer()->isActive());
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
