// The agent's decisions, against fakes and against a fake component
// library loaded by name the way the real one is.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <memory>
#include <ostream>
#include <string>
#include <gtest/gtest.h>

#include "core/library_activity.h"
#include "core/process_launcher.h"
#include "core/status_fetcher.h"
#include "core/tray_controller.h"
#include "fakes.h"
#include "private_bus.h"

namespace valdrin::tray::testing {
namespace {

namespace plat = kel::qtplat;

struct Harness {
    explicit Harness(Activity &a)
        : controller(a, area, view, boxes, launcher, fetcher, browser, QStringLiteral("/opt/valdrin"), 42) {}
    FakeNotifyArea area;
    FakeView view;
    FakeBoxes boxes;
    FakeLauncher launcher;
    FakeFetcher fetcher;
    FakeBrowser browser;
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
    const QString long_tip(400, QLatin1Char('x'));
    EXPECT_EQ(build_record(0, 1, 7, 513, 1, long_tip).tip.size(), 255);
    EXPECT_EQ(build_record(0, 1, 7, 513, 1, long_tip.left(256)).tip.size(), 255);
    EXPECT_EQ(build_record(0, 1, 7, 513, 1, long_tip.left(255)).tip.size(), 255);
    EXPECT_EQ(build_record(0, 1, 7, 513, 1, long_tip.left(254)).tip.size(), 254);
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

TEST(ProcessLauncherOutput, GivesTheOutputOfAProgramThatSucceeds) {
    ProcessLauncher launcher;
    std::optional<std::optional<QByteArray>> got;
    launcher.read_output(QStringLiteral("echo"), {QStringLiteral("one"), QStringLiteral("two")},
                         [&](const std::optional<QByteArray> &out) { got = out; });
    EXPECT_FALSE(got) << "answered inside read_output()";
    ASSERT_TRUE(wait_until([&] { return got.has_value(); }));
    EXPECT_EQ(*got, QByteArray("one two\n"));
}

TEST(ProcessLauncherOutput, NothingFromAFailingOrMissingProgram) {
    ProcessLauncher launcher;
    int answers = 0;
    std::vector<std::optional<QByteArray>> got;
    auto keep = [&](const std::optional<QByteArray> &out) {
        got.push_back(out);
        ++answers;
    };
    launcher.read_output(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo partial; exit 3")}, keep);
    launcher.read_output(QStringLiteral("valdrin-no-such-program"), {}, keep);
    ASSERT_TRUE(wait_until([&] { return answers == 2; }));
    EXPECT_EQ(got[0], std::nullopt);
    EXPECT_EQ(got[1], std::nullopt);
}

TEST(ProcessLauncherOutput, AProgramThatRunsTooLongGivesNothing) {
    ProcessLauncher launcher(200);
    int answers = 0;
    std::optional<QByteArray> got = QByteArray("unset");
    launcher.read_output(QStringLiteral("tail"), {QStringLiteral("-f"), QStringLiteral("/dev/null")},
                         [&](const std::optional<QByteArray> &out) {
                             got = out;
                             ++answers;
                         });
    ASSERT_TRUE(wait_until([&] { return answers == 1; }));
    EXPECT_EQ(got, std::nullopt);
}

TEST(ProcessLauncherOutput, KeepsABoundedPartOfALongOutput) {
    ProcessLauncher launcher;
    std::optional<std::optional<QByteArray>> got;
    launcher.read_output(QStringLiteral("head"), {QStringLiteral("-c"), QStringLiteral("300000"), QStringLiteral("/dev/zero")},
                         [&](const std::optional<QByteArray> &out) { got = out; });
    ASSERT_TRUE(wait_until([&] { return got.has_value(); }));
    ASSERT_TRUE(*got);
    EXPECT_EQ((*got)->size(), ProcessLauncher::kMaxOutputBytes);
}

TEST(ProcessLauncherOutput, NoAnswerAfterTheLauncherIsGone) {
    auto launcher = std::make_unique<ProcessLauncher>(60000);
    int answers = 0;
    launcher->read_output(QStringLiteral("tail"), {QStringLiteral("-f"), QStringLiteral("/dev/null")},
                          [&](const std::optional<QByteArray> &) { ++answers; });
    launcher.reset();  // ends its program
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(answers, 0);
}

// Where the services listen, as the daemon's status says.
struct ServicesCase {
    const char *name;
    Listeners listening;
    const char *tip;
    QStringList lines;
};

void PrintTo(const ServicesCase &c, std::ostream *os) { *os << c.name; }

const Listeners kAllServices{{"http", "[::]:3128"},
                             {"socks", "[::]:1080"},
                             {"rdr", "[::]:8080"},
                             {"rdr", "[::]:2222"},
                             {"dns", "127.0.0.1:53"}};

class ServicesShown : public ::testing::TestWithParam<ServicesCase> {};

TEST_P(ServicesShown, TipAndMenuLinesSayWhichRunAndWhere) {
    const ServicesCase &want = GetParam();
    ScriptedActivity activity;
    activity.status = 1;
    Harness h(activity);
    h.controller.refresh();
    ASSERT_EQ(h.fetcher.asked, QStringList{QStringLiteral("127.0.0.1:3128")});
    ASSERT_TRUE(h.area.shown);
    EXPECT_EQ(h.area.shown->tip, QStringLiteral("Valdrin Proxy Server Enabled")) << "before the answer";
    EXPECT_TRUE(h.view.lines.isEmpty());
    EXPECT_FALSE(h.view.status_page);
    ASSERT_TRUE(h.fetcher.answer(want.listening));
    ASSERT_TRUE(h.area.shown);
    EXPECT_EQ(h.area.shown->tip, QString::fromUtf8(want.tip));
    EXPECT_EQ(h.view.lines, want.lines);
    EXPECT_TRUE(h.view.status_page);
    EXPECT_EQ(h.controller.picture(), TrayPicture::Enabled);
    EXPECT_EQ(h.view.caption, QStringLiteral("&Stop"));
}

INSTANTIATE_TEST_SUITE_P(
    Listening, ServicesShown,
    ::testing::Values(
        ServicesCase{"None", {}, "Valdrin Proxy Server is running, but no service listens", {}},
        ServicesCase{"Http",
                     {{"http", "[::]:3128"}},
                     "Valdrin Proxy Server is running: HTTP on 3128",
                     {"HTTP proxy on [::]:3128"}},
        ServicesCase{"HttpSocks",
                     {{"socks", "[::]:1080"}, {"http", "[::]:3128"}},
                     "Valdrin Proxy Server is running: HTTP on 3128, SOCKS on 1080",
                     {"HTTP proxy on [::]:3128", "SOCKS server on [::]:1080"}},
        ServicesCase{"HttpSocksDns",
                     {{"http", "[::]:3128"}, {"socks", "[::]:1080"}, {"dns", "127.0.0.1:53"}},
                     "Valdrin Proxy Server is running: HTTP on 3128, SOCKS on 1080, DNS on 53",
                     {"HTTP proxy on [::]:3128", "SOCKS server on [::]:1080", "DNS proxy on 127.0.0.1:53"}},
        ServicesCase{"AllFour",
                     kAllServices,
                     "Valdrin Proxy Server is running: HTTP on 3128, SOCKS on 1080, DNS on 53, 2 redirections",
                     {"HTTP proxy on [::]:3128", "SOCKS server on [::]:1080", "DNS proxy on 127.0.0.1:53",
                      "Port redirector: 2 redirections, on [::]:8080, [::]:2222"}},
        ServicesCase{"OneRedirection",
                     {{"http", "[::]:3128"}, {"rdr", "[::]:8080"}},
                     "Valdrin Proxy Server is running: HTTP on 3128, 1 redirection",
                     {"HTTP proxy on [::]:3128", "Port redirector: 1 redirection, on [::]:8080"}},
        ServicesCase{"SeveralAddressesOnePort",
                     {{"http", "127.0.0.1:3128"}, {"http", "[::1]:3128"}, {"dns", "127.0.0.1:53"}, {"dns", "[::1]:53"}},
                     "Valdrin Proxy Server is running: HTTP on 3128, DNS on 53",
                     {"HTTP proxy on 127.0.0.1:3128, [::1]:3128", "DNS proxy on 127.0.0.1:53, [::1]:53"}},
        ServicesCase{"SeveralPorts",
                     {{"http", "127.0.0.1:3128"}, {"http", "127.0.0.1:8000"}},
                     "Valdrin Proxy Server is running: HTTP on 3128/8000",
                     {"HTTP proxy on 127.0.0.1:3128, 127.0.0.1:8000"}},
        ServicesCase{"ManyRedirections",
                     {{"http", "[::]:3128"},
                      {"rdr", "[::]:1"},
                      {"rdr", "[::]:2"},
                      {"rdr", "[::]:3"},
                      {"rdr", "[::]:4"},
                      {"rdr", "[::]:5"},
                      {"rdr", "[::]:6"},
                      {"unknown", "[::]:7"}},
                     "Valdrin Proxy Server is running: HTTP on 3128, 6 redirections",
                     {"HTTP proxy on [::]:3128", "Port redirector: 6 redirections, on [::]:1, [::]:2, [::]:3, [::]:4 and 2 more"}}),
    [](const ::testing::TestParamInfo<ServicesCase> &info) { return std::string(info.param.name); });

TEST(ServiceStatus, AFailedFetchSaysRunningAndWhy) {
    ScriptedActivity activity;
    activity.status = 1;
    Harness h(activity);
    h.controller.refresh();
    ASSERT_TRUE(h.fetcher.answer(kAllServices));
    ASSERT_TRUE(h.view.status_page);
    h.controller.refresh();
    ASSERT_TRUE(h.fetcher.fail(QStringLiteral("127.0.0.1:3128 refused the connection")));
    EXPECT_EQ(h.area.shown->tip, QStringLiteral("Valdrin Proxy Server is running, but its services could not be read: "
                                                "127.0.0.1:3128 refused the connection"));
    EXPECT_TRUE(h.view.lines.isEmpty());
    EXPECT_FALSE(h.view.status_page);
    EXPECT_EQ(h.controller.picture(), TrayPicture::Enabled);
    EXPECT_EQ(h.view.caption, QStringLiteral("&Stop"));
}

TEST(ServiceStatus, AnUnknownAddressIsSaidWithoutAsking) {
    ScriptedActivity activity;
    activity.status = 1;
    activity.where = {QString(), QStringLiteral("/run/user/1000/valdrin_proxy.ports cannot be read (No such file)")};
    Harness h(activity);
    h.controller.refresh();
    EXPECT_TRUE(h.fetcher.asked.isEmpty());
    EXPECT_EQ(h.area.shown->tip, QStringLiteral("Valdrin Proxy Server is running, but its services could not be read: "
                                                "/run/user/1000/valdrin_proxy.ports cannot be read (No such file)"));
    EXPECT_FALSE(h.view.status_page);
}

TEST(ServiceStatus, OneQuestionAtATime) {
    ScriptedActivity activity;
    activity.status = 1;
    Harness h(activity);
    h.controller.refresh();
    h.controller.refresh();
    h.controller.refresh();
    EXPECT_EQ(h.fetcher.asked.size(), 1);
    EXPECT_TRUE(h.controller.is_fetching());
    ASSERT_TRUE(h.fetcher.answer(kAllServices));
    EXPECT_FALSE(h.controller.is_fetching());
    h.controller.refresh();
    EXPECT_EQ(h.fetcher.asked.size(), 2);
}

TEST(ServiceStatus, StoppedAsksNothingAndShowsNoLines) {
    ScriptedActivity activity;
    Harness h(activity);
    h.controller.refresh();
    h.controller.refresh();
    EXPECT_TRUE(h.fetcher.asked.isEmpty());
    EXPECT_TRUE(h.view.lines.isEmpty());
    EXPECT_FALSE(h.view.status_page);
    EXPECT_EQ(h.area.shown->tip, QStringLiteral("Valdrin Proxy Server Disabled"));
}

TEST(ServiceStatus, AnAnswerAboutARunThatEndedIsDropped) {
    ScriptedActivity activity;
    activity.status = 1;
    Harness h(activity);
    h.controller.refresh();
    activity.status = 0;
    h.controller.refresh();
    ASSERT_TRUE(h.fetcher.answer(kAllServices));
    EXPECT_EQ(h.area.shown->tip, QStringLiteral("Valdrin Proxy Server Disabled"));
    EXPECT_TRUE(h.view.lines.isEmpty());
    EXPECT_FALSE(h.view.status_page);
    // Nor does it hold up the questions of the next run.
    activity.status = 1;
    h.controller.refresh();
    EXPECT_EQ(h.fetcher.asked.size(), 2);
    EXPECT_EQ(h.area.shown->tip, QStringLiteral("Valdrin Proxy Server Enabled"));
}

TEST(ServiceStatus, AStaleAnswerFromBeforeARestartIsDroppedToo) {
    ScriptedActivity activity;
    activity.status = 1;
    Harness h(activity);
    h.controller.refresh();  // asks about the first run
    activity.status = 0;
    h.controller.refresh();
    activity.status = 1;
    h.controller.refresh();  // the first question still waits: none new
    ASSERT_TRUE(h.fetcher.answer(kAllServices));
    EXPECT_EQ(h.area.shown->tip, QStringLiteral("Valdrin Proxy Server Enabled"));
    h.controller.refresh();
    ASSERT_TRUE(h.fetcher.answer({{"http", "[::]:8000"}}));
    EXPECT_EQ(h.area.shown->tip, QStringLiteral("Valdrin Proxy Server is running: HTTP on 8000"));
}

TEST(ServiceStatus, TheAreaIsTouchedOnlyWhenTheTipChanges) {
    ScriptedActivity activity;
    activity.status = 1;
    Harness h(activity);
    h.controller.refresh();
    ASSERT_TRUE(h.fetcher.answer(kAllServices));
    h.area.calls.clear();
    h.controller.refresh();
    ASSERT_TRUE(h.fetcher.answer(kAllServices));
    EXPECT_TRUE(h.area.calls.empty());
    h.controller.refresh();
    ASSERT_TRUE(h.fetcher.answer({{"http", "[::]:3128"}}));
    ASSERT_EQ(h.area.calls.size(), 2u);
    EXPECT_FALSE(h.area.calls[0].is_add);
    EXPECT_TRUE(h.area.calls[1].accepted);
    EXPECT_EQ(h.area.shown->tip, QStringLiteral("Valdrin Proxy Server is running: HTTP on 3128"));
    EXPECT_EQ(h.area.shown->icon, static_cast<int>(TrayPicture::Enabled));
}

TEST(StatusPage, OpensThePageOfTheAddressThatAnswered) {
    ScriptedActivity activity;
    activity.status = 1;
    activity.where = {QStringLiteral("[::1]:3128"), QString()};
    Harness h(activity);
    h.controller.refresh();
    h.controller.on_open_status_page();
    EXPECT_TRUE(h.browser.opened.isEmpty()) << "not known to run yet";
    ASSERT_TRUE(h.fetcher.answer(kAllServices));
    EXPECT_TRUE(h.controller.status_page_enabled());
    h.controller.on_open_status_page();
    EXPECT_EQ(h.browser.opened, QList<QUrl>{QUrl(QStringLiteral("http://[::1]:3128/"))});
    EXPECT_TRUE(h.boxes.shown.empty());
}

TEST(StatusPage, DisabledAfterAFailedFetchAndAfterTheStop) {
    ScriptedActivity activity;
    activity.status = 1;
    Harness h(activity);
    h.controller.refresh();
    ASSERT_TRUE(h.fetcher.fail(QStringLiteral("no")));
    EXPECT_FALSE(h.view.status_page);
    h.controller.on_open_status_page();
    h.controller.refresh();
    ASSERT_TRUE(h.fetcher.answer(kAllServices));
    EXPECT_TRUE(h.view.status_page);
    activity.status = 0;
    h.controller.refresh();
    EXPECT_FALSE(h.view.status_page);
    EXPECT_FALSE(h.controller.status_page_enabled());
    h.controller.on_open_status_page();
    EXPECT_TRUE(h.browser.opened.isEmpty());
}

TEST(StatusPage, ABrowserThatCannotStartIsSaid) {
    ScriptedActivity activity;
    activity.status = 1;
    Harness h(activity);
    h.browser.succeed = false;
    h.controller.refresh();
    ASSERT_TRUE(h.fetcher.answer(kAllServices));
    h.controller.on_open_status_page();
    ASSERT_EQ(h.boxes.shown.size(), 1u);
    EXPECT_EQ(h.boxes.shown[0].second,
              QStringLiteral("The status page http://127.0.0.1:3128/ could not be shown: no web browser could be started."));
}

TEST(UnexpectedStop, IsToldOnceWithItsReason) {
    ScriptedActivity activity;
    activity.status = 1;
    activity.stop_reason = QStringLiteral("The last lines of its log /run/valdrin_proxy.log:\nvaldrin_proxy: gone");
    Harness h(activity);
    h.controller.refresh();
    EXPECT_TRUE(h.view.notes.empty());
    activity.status = 0;
    h.controller.refresh();
    ASSERT_EQ(h.view.notes.size(), 1u);
    EXPECT_EQ(h.view.notes[0].first, QStringLiteral("Valdrin Proxy Server stopped"));
    EXPECT_EQ(h.view.notes[0].second, QStringLiteral("The proxy server stopped without being asked to.\n"
                                                     "The last lines of its log /run/valdrin_proxy.log:\n"
                                                     "valdrin_proxy: gone"));
    h.controller.refresh();
    h.controller.refresh();
    EXPECT_EQ(h.view.notes.size(), 1u);
    EXPECT_EQ(activity.explained, 1);
    // A later run that ends the same way is told again.
    activity.status = 1;
    h.controller.refresh();
    activity.status = 0;
    activity.stop_reason.clear();
    h.controller.refresh();
    ASSERT_EQ(h.view.notes.size(), 2u);
    EXPECT_EQ(h.view.notes[1].second, QStringLiteral("The proxy server stopped without being asked to."));
}

TEST(UnexpectedStop, IsNotToldAfterTheUsersStop) {
    ScriptedActivity activity;
    activity.status = 1;
    Harness h(activity);
    h.controller.start_up();
    activity.status = 0;  // the component's stop works at once
    h.controller.on_start_stop();
    EXPECT_EQ(activity.log, QStringList{QStringLiteral("stop")});
    EXPECT_EQ(h.controller.picture(), TrayPicture::Disabled);
    h.controller.refresh();
    EXPECT_TRUE(h.view.notes.empty());
    EXPECT_EQ(activity.explained, 0);
    // The user's stop covers that stop only: a start, then a crash, is told.
    activity.status = 1;
    h.controller.on_start_stop();
    activity.status = 0;
    h.controller.refresh();
    EXPECT_EQ(h.view.notes.size(), 1u);
}

TEST(UnexpectedStop, IsNotToldWhenTheUsersStopShowsOnlyLater) {
    // The service manager answers a stop later: polls still say running.
    ScriptedActivity activity;
    activity.status = 1;
    Harness h(activity);
    h.controller.refresh();
    h.controller.on_start_stop();
    EXPECT_EQ(h.controller.picture(), TrayPicture::Enabled);
    h.controller.refresh();
    activity.status = 0;
    h.controller.refresh();
    EXPECT_TRUE(h.view.notes.empty());
}

TEST(UnexpectedStop, WaitsForAPollThatCanTell) {
    ScriptedActivity activity;
    activity.status = 1;
    Harness h(activity);
    h.controller.refresh();
    activity.status = std::nullopt;  // the manager did not answer this time
    h.controller.refresh();
    EXPECT_EQ(h.controller.picture(), TrayPicture::Disabled);
    EXPECT_TRUE(h.view.notes.empty());
    activity.status = 1;
    h.controller.refresh();
    EXPECT_TRUE(h.view.notes.empty());
    activity.status = std::nullopt;
    h.controller.refresh();
    activity.status = 0;
    h.controller.refresh();
    EXPECT_EQ(h.view.notes.size(), 1u);
}

TEST(UnexpectedStop, IsNotToldWhenItNeverRan) {
    ScriptedActivity activity;
    Harness h(activity);
    h.controller.start_up();
    h.controller.refresh();
    activity.status = std::nullopt;  // the component went away
    h.controller.refresh();
    EXPECT_TRUE(h.view.notes.empty());
}

// The agent against the fake component library, loaded by name.
class Commands : public ::testing::Test {
protected:
    Commands()
        : control(fake_path()),
          activity(QStringLiteral(FAKE_ACTIVITY_DIR), QStringLiteral(FAKE_ACTIVITY_NAME), runtime.path()),
          h(activity) {}
    static QString fake_path() { return QDir(QStringLiteral(FAKE_ACTIVITY_DIR)).filePath(QStringLiteral(FAKE_ACTIVITY_NAME)); }
    void SetUp() override { ASSERT_TRUE(control.ok()); }

    QTemporaryDir runtime;  // no ports file, no log
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

TEST_F(Commands, AStopNobodyAskedForIsToldWithTheLastLinesOfTheDaemonLog) {
    control.set_status(1);
    QFile ports(QDir(runtime.path()).filePath(QStringLiteral("valdrin_proxy.ports")));
    ASSERT_TRUE(ports.open(QIODevice::WriteOnly));
    ports.write("http [::]:3128\n");
    ports.close();
    h.controller.start_up();
    EXPECT_EQ(h.fetcher.asked, QStringList{QStringLiteral("[::1]:3128")});
    QFile log(QDir(runtime.path()).filePath(QStringLiteral("valdrin_proxy.log")));
    ASSERT_TRUE(log.open(QIODevice::WriteOnly));
    log.write("valdrin_proxy: HTTP proxy listening on [::]:3128, configuration /opt/valdrin/valdrin.conf\n"
              "one\ntwo\nvaldrin_proxy: the HTTP proxy stopped listening on port 3128 (-1)\n");
    log.close();
    control.set_status(0);
    h.controller.refresh();
    ASSERT_EQ(h.view.notes.size(), 1u);
    EXPECT_EQ(h.view.notes[0].second,
              QStringLiteral("The proxy server stopped without being asked to.\nThe last lines of its log %1:\none\ntwo\n"
                             "valdrin_proxy: the HTTP proxy stopped listening on port 3128 (-1)")
                  .arg(log.fileName()));
}

// The agent, the real component and the real daemon in a private copy of
// the ready-to-run folder, every service on a port the kernel picked.
class RealDaemon : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_THREAD__)
        // The real fetcher's network thread is Qt's own, not instrumented.
        GTEST_SKIP() << "ThreadSanitizer cannot see the synchronisation inside Qt's network thread";
#endif
        const QString dist = QStringLiteral(REAL_DIST_DIR);
        if (dist.isEmpty() || !QFile::exists(QDir(dist).filePath(QStringLiteral("valdrin_proxy"))))
            GTEST_SKIP() << "valdrin_proxy is not built";
        ASSERT_TRUE(folder_.isValid() && run_.isValid());
        for (const QString &name : QDir(dist).entryList(QDir::Files))
            ASSERT_TRUE(QFile::copy(QDir(dist).filePath(name), folder_.filePath(name))) << name.toStdString();
        QFile::remove(folder_.filePath(QStringLiteral("valdrin.conf")));
        QFile conf(folder_.filePath(QStringLiteral("valdrin.conf")));
        ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
        http_port_ = free_port();
        conf.write(QStringLiteral("[Main]\n[HTTP]\nHTTPEnabled=true\nHTTPPort=%1\nAdHostsEnabled=false\n"
                                  "[Socks]\nSocksEnabled=true\nSocksPort=%2\n"
                                  "[RDR]\nRDREnabled=true\nRDRBinding0=%3 -> 80 127.0.0.1\n"
                                  "[DNS]\nDNSEnabled=true\nDNSPort=%4\nDNSListen=127.0.0.1\n")
                       .arg(http_port_)
                       .arg(free_port())
                       .arg(free_port())
                       .arg(free_port())
                       .toUtf8());
        conf.close();
        saved_runtime_ = qgetenv("XDG_RUNTIME_DIR");
        // The component finds its folder here, as the agent is told below.
        qputenv("XDG_RUNTIME_DIR", run_.path().toUtf8());
        activity_ = std::make_unique<LibraryActivity>(folder_.path(), QString::fromLatin1(kActivityLibrary), run_.path());
        controller_ = std::make_unique<TrayController>(*activity_, area_, view_, boxes_, launcher_, fetcher_, browser_,
                                                       folder_.path());
    }

    void TearDown() override {
        if (activity_) activity_->stop();
        // A daemon the component failed to stop is ours to end, by its pid.
        QFile pid_file(run_.filePath(QStringLiteral("valdrin_proxy.pid")));
        if (pid_file.open(QIODevice::ReadOnly)) {
            const qint64 pid = pid_file.readAll().trimmed().toLongLong();
            const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
            if (pid > 1 && exe == QFileInfo(folder_.filePath(QStringLiteral("valdrin_proxy"))).canonicalFilePath())
                QProcess::execute(QStringLiteral("kill"), {QStringLiteral("-KILL"), QString::number(pid)});
        }
        controller_.reset();
        activity_.reset();
        if (saved_runtime_.isNull())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", saved_runtime_);
    }

    static int free_port() {
        QTcpServer probe;
        return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
    }

    QTemporaryDir folder_, run_;
    QByteArray saved_runtime_;
    int http_port_ = 0;
    FakeNotifyArea area_;
    FakeView view_;
    FakeBoxes boxes_;
    FakeLauncher launcher_;
    HttpStatusFetcher fetcher_;
    FakeBrowser browser_;
    std::unique_ptr<LibraryActivity> activity_;
    std::unique_ptr<TrayController> controller_;
};

TEST_F(RealDaemon, TheTrayShowsWhereEachServiceListensAndTheStopIsNoNews) {
    controller_->start_up();
    EXPECT_EQ(controller_->picture(), TrayPicture::Disabled);
    controller_->on_start_stop();
    ASSERT_EQ(controller_->picture(), TrayPicture::Enabled) << boxes_.shown.size();
    ASSERT_TRUE(wait_until([&] { return !controller_->is_fetching(); }, 10000));
    ASSERT_TRUE(area_.shown);
    const QString want = QStringLiteral("Valdrin Proxy Server is running: HTTP on %1, SOCKS on ").arg(http_port_);
    EXPECT_TRUE(area_.shown->tip.startsWith(want)) << area_.shown->tip.toStdString();
    EXPECT_TRUE(area_.shown->tip.endsWith(QLatin1String(", 1 redirection"))) << area_.shown->tip.toStdString();
    ASSERT_EQ(view_.lines.size(), 4) << view_.lines.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(view_.lines[0], QStringLiteral("HTTP proxy on [::]:%1").arg(http_port_));
    EXPECT_TRUE(view_.lines[2].startsWith(QLatin1String("DNS proxy on 127.0.0.1:")));
    EXPECT_TRUE(view_.status_page);
    controller_->on_open_status_page();
    EXPECT_EQ(browser_.opened, QList<QUrl>{QUrl(QStringLiteral("http://[::1]:%1/").arg(http_port_))});

    controller_->on_start_stop();
    EXPECT_EQ(controller_->picture(), TrayPicture::Disabled);
    EXPECT_TRUE(view_.lines.isEmpty());
    EXPECT_TRUE(view_.notes.empty());
    EXPECT_TRUE(boxes_.shown.empty());
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
