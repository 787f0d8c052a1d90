// The agent's decisions, against fakes and against a fake component
// library loaded by name the way the real one is.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <ostream>
#include <string>
#include <gtest/gtest.h>

#include "core/library_activity.h"
#include "core/process_launcher.h"
#include "core/tray_controller.h"
#include "fakes.h"

namespace valdrin::tray::testing {
namespace {

namespace plat = kel::qtplat;

struct Harness {
    explicit Harness(Activity &a) : controller(a, area, view, boxes, launcher, QStringLiteral("/opt/valdrin"), 42) {}
    FakeNotifyArea area;
    FakeView view;
    FakeBoxes boxes;
    FakeLauncher launcher;
    TrayController controller;
};

struct Expected {
    quint16 status;
    TrayPicture picture;
    const char *caption;
    const char *tip;
    bool checked;
};

void PrintTo(const Expected &e, std::ostream *os) { *os << "status " << e.status; }

class StatusRefresh : public ::testing::TestWithParam<Expected> {};

TEST_P(StatusRefresh, ShowsPictureCaptionTipAndCheckMark) {
    const Expected &want = GetParam();
    ScriptedActivity activity;
    activity.status = want.status;
    Harness h(activity);
    h.controller.refresh();
    EXPECT_EQ(h.controller.picture(), want.picture);
    EXPECT_EQ(h.view.caption, QString::fromUtf8(want.caption));
    EXPECT_EQ(h.view.checked, want.checked);
    ASSERT_TRUE(h.area.shown);
    EXPECT_EQ(h.area.shown->icon, static_cast<int>(want.picture));
    EXPECT_EQ(h.area.shown->tip, QString::fromUtf8(want.tip));
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, StatusRefresh,
    ::testing::Values(Expected{0, TrayPicture::Disabled, "&Start", "Valdrin Proxy Server Disabled", false},
                      Expected{1, TrayPicture::Enabled, "&Stop", "Valdrin Proxy Server Enabled", false},
                      Expected{2, TrayPicture::Disabled, "&Start", "Valdrin Proxy Server Disabled", true},
                      Expected{3, TrayPicture::Enabled, "&Stop", "Valdrin Proxy Server Enabled", true},
                      // Bits other than 0 and 1 mean nothing to the agent.
                      Expected{0xfffc, TrayPicture::Disabled, "&Start", "Valdrin Proxy Server Disabled", false}),
    [](const ::testing::TestParamInfo<Expected> &info) {
        return "Status" + std::to_string(info.param.status);
    });

TEST(StatusRefreshArea, SameStatusTwiceLeavesTheAreaUntouched) {
    ScriptedActivity activity;
    activity.status = 1;
    Harness h(activity);
    h.controller.refresh();
    h.area.calls.clear();
    h.controller.refresh();
    EXPECT_TRUE(h.area.calls.empty());
    // Only the check mark changes with bit 1; the icon stays as it is.
    activity.status = 3;
    h.controller.refresh();
    EXPECT_TRUE(h.area.calls.empty());
    EXPECT_TRUE(h.view.checked);
    EXPECT_EQ(activity.polls, 3);
}

TEST(StatusRefreshArea, ChangeRemovesThenAddsWithTheNewPictureAndTip) {
    ScriptedActivity activity;
    Harness h(activity);
    h.controller.refresh();
    h.area.calls.clear();
    activity.status = 1;
    h.controller.refresh();
    ASSERT_EQ(h.area.calls.size(), 2u);
    EXPECT_FALSE(h.area.calls[0].is_add);
    EXPECT_TRUE(h.area.calls[0].accepted);
    EXPECT_EQ(h.area.calls[0].record, build_record(42, 1, 0, 0, 0, QString()));
    EXPECT_TRUE(h.area.calls[1].is_add);
    EXPECT_TRUE(h.area.calls[1].accepted);
    EXPECT_EQ(h.area.calls[1].record,
              build_record(42, 1, plat::kNotifyMessage | plat::kNotifyIcon | plat::kNotifyTip, plat::kLeftButtonDown,
                           static_cast<int>(TrayPicture::Enabled), QStringLiteral("Valdrin Proxy Server Enabled")));
    EXPECT_EQ(h.controller.last_record(), h.area.calls[1].record);
}

TEST(StartUp, RegistersTheStatusIconAndKeepsItsTip) {
    ScriptedActivity activity;
    activity.status = 1;
    Harness h(activity);
    h.controller.start_up();
    ASSERT_EQ(h.area.calls.size(), 3u);
    EXPECT_FALSE(h.area.calls[0].accepted);  // nothing to remove yet
    EXPECT_TRUE(h.area.calls[1].accepted);
    EXPECT_TRUE(h.area.calls[2].is_add);
    EXPECT_FALSE(h.area.calls[2].accepted);  // the plain registration is refused
    EXPECT_EQ(h.area.calls[2].record.tip, QStringLiteral("Valdrin Proxy Server"));
    ASSERT_TRUE(h.area.shown);
    EXPECT_EQ(h.area.shown->tip, QStringLiteral("Valdrin Proxy Server Enabled"));
    EXPECT_EQ(h.controller.last_record().tip, QStringLiteral("Valdrin Proxy Server"));
}

TEST(StartUp, ExitLeavesNoIconBehind) {
    ScriptedActivity activity;
    Harness h(activity);
    h.controller.start_up();
    h.controller.shut_down();
    EXPECT_FALSE(h.area.shown);
    EXPECT_EQ(h.controller.last_record(), build_record(42, 1, 0, 0, 0, QString()));
    h.controller.shut_down();  // a second way of ending changes nothing
    EXPECT_FALSE(h.area.shown);
}

TEST(NotifyRecord, TipIsCutToWhatTheAreaHolds) {
    const QString long_tip(100, QLatin1Char('x'));
    EXPECT_EQ(build_record(0, 1, 7, 513, 1, long_tip).tip.size(), 63);
    EXPECT_EQ(build_record(0, 1, 7, 513, 1, long_tip.left(63)).tip.size(), 63);
}

TEST(Mouse, MenuOpensOnTheReleaseOfEitherButtonOnly) {
    ScriptedActivity activity;
    Harness h(activity);
    for (unsigned press : {plat::kLeftButtonDown, plat::kRightButtonDown, plat::kMiddleButtonDown,
                           plat::kLeftButtonDoubleClick, plat::kMiddleButtonUp})
        h.controller.on_mouse_message(press);
    EXPECT_EQ(h.view.menus_opened, 0);
    h.controller.on_mouse_message(plat::kRightButtonUp);
    EXPECT_EQ(h.view.menus_opened, 1);
    h.controller.on_mouse_message(plat::kLeftButtonUp);
    EXPECT_EQ(h.view.menus_opened, 2);
}

TEST(Configure, StartsTheWizardFromTheAgentsFolder) {
    ScriptedActivity activity;
    Harness h(activity);
    h.controller.on_configure();
    EXPECT_EQ(h.launcher.started, QStringList{QStringLiteral("/opt/valdrin/valdrin_config")});
    EXPECT_TRUE(h.boxes.shown.empty());
}

TEST(Configure, MissingWizardShowsTheFatalErrorBoxOncePerClick) {
    ScriptedActivity activity;
    Harness h(activity);
    h.launcher.succeed = false;
    h.controller.on_configure();
    h.controller.on_configure();
    ASSERT_EQ(h.boxes.shown.size(), 2u);
    EXPECT_EQ(h.boxes.shown[0].first, QStringLiteral("Fatal Error"));
    EXPECT_EQ(h.boxes.shown[0].second,
              QStringLiteral("The file 'valdrin_config' could not be found in the default directory.\n"
                             "You must re-install Valdrin Proxy Server. If the problem persists, please contact our "
                             "technical staff."));
}

TEST(ProcessLauncherTest, RefusesAMissingOrNonExecutableProgram) {
    QTemporaryDir dir;
    ProcessLauncher launcher;
    EXPECT_FALSE(launcher.start_program(dir.filePath(QStringLiteral("valdrin_config"))));
    QFile plain(dir.filePath(QStringLiteral("valdrin_config")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.write("not a program\n");
    plain.close();
    EXPECT_FALSE(launcher.start_program(plain.fileName()));
    EXPECT_TRUE(launcher.start_program(QStringLiteral("/bin/true")));
}

// The agent against the fake component library, loaded by name.
class Commands : public ::testing::Test {
protected:
    Commands() : control(fake_path()), activity(QStringLiteral(FAKE_ACTIVITY_DIR), QStringLiteral(FAKE_ACTIVITY_NAME)), h(activity) {}
    static QString fake_path() { return QDir(QStringLiteral(FAKE_ACTIVITY_DIR)).filePath(QStringLiteral(FAKE_ACTIVITY_NAME)); }
    void SetUp() override { ASSERT_TRUE(control.ok()); }

    FakeLibraryControl control;
    LibraryActivity activity;
    Harness h;
};

TEST_F(Commands, StartupPollsWithZero) {
    h.controller.start_up();
    EXPECT_EQ(control.log(), QStringLiteral("poll(0)"));
    EXPECT_TRUE(h.boxes.shown.empty());
}

TEST_F(Commands, StartWhenStoppedThenPollAgain) {
    h.controller.start_up();
    control.clear_log();
    h.area.calls.clear();
    h.controller.on_start_stop();
    EXPECT_EQ(control.log(), QStringLiteral("start(1) poll(0)"));
    // The component still reports stopped: the display waits for a poll that says otherwise.
    EXPECT_EQ(h.view.caption, QStringLiteral("&Start"));
    EXPECT_TRUE(h.area.calls.empty());
}

TEST_F(Commands, StopWhenRunningThenPollAgain) {
    control.set_status(1);
    h.controller.start_up();
    control.clear_log();
    control.set_status(0);
    h.controller.on_start_stop();
    EXPECT_EQ(control.log(), QStringLiteral("stop(1) poll(0)"));
    EXPECT_EQ(h.controller.picture(), TrayPicture::Disabled);
    EXPECT_EQ(h.view.caption, QStringLiteral("&Start"));
}

TEST_F(Commands, StartStopDecidesOnThePictureShownNotOnANewPoll) {
    h.controller.start_up();  // shows stopped
    control.set_status(1);    // started elsewhere, not polled yet
    control.clear_log();
    h.controller.on_start_stop();
    EXPECT_EQ(control.log(), QStringLiteral("start(1) poll(0)"));
    EXPECT_EQ(h.controller.picture(), TrayPicture::Enabled);
}

TEST_F(Commands, AutostartSetsWhenUncheckedAndClearsWhenChecked) {
    h.controller.start_up();
    control.clear_log();
    control.set_status(2);
    h.controller.on_autostart();
    EXPECT_EQ(control.log(), QStringLiteral("auto(1) poll(0)"));
    EXPECT_TRUE(h.view.checked);
    control.clear_log();
    control.set_status(0);
    h.controller.on_autostart();
    EXPECT_EQ(control.log(), QStringLiteral("noauto(1) poll(0)"));
    EXPECT_FALSE(h.view.checked);
}

TEST(MissingComponent, ShowsStoppedAndSaysSoOnce) {
    QTemporaryDir empty;
    LibraryActivity activity(empty.path());
    Harness h(activity);
    h.controller.start_up();
    ASSERT_EQ(h.boxes.shown.size(), 1u);
    EXPECT_TRUE(h.boxes.shown[0].second.contains(QStringLiteral("libvaldrin_activity.so"))) << h.boxes.shown[0].second.toStdString();
    EXPECT_EQ(h.controller.picture(), TrayPicture::Disabled);
    ASSERT_TRUE(h.area.shown);
    h.controller.refresh();
    h.controller.on_start_stop();
    h.controller.on_autostart();
    EXPECT_EQ(h.boxes.shown.size(), 1u);
}

TEST(MissingComponent, ALibraryWithoutTheEntriesIsRefused) {
    LibraryActivity activity(QStringLiteral(FAKE_ACTIVITY_DIR), QStringLiteral(NO_ENTRIES_LIBRARY));
    EXPECT_FALSE(activity.poll());
    EXPECT_TRUE(activity.failure().contains(QStringLiteral("activity_poll"))) << activity.failure().toStdString();
}

}  // namespace
}  // namespace valdrin::tray::testing
