// The agent of an installed system against a fake systemd on a private bus:
// the real QtDBus calls, the real bus daemon, only the service is a fake.
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <memory>
#include <gtest/gtest.h>

#include "core/activity_choice.h"
#include "core/service_activity.h"
#include "core/tray_controller.h"
#include "fake_systemd.h"
#include "fakes.h"
#include "kelplat_qt/systemd_units.h"
#include "private_bus.h"

namespace valdrin::tray::testing {
namespace {

using kel::qtplat::SystemdUnits;

const QString kUnit = QStringLiteral("valdrin-proxy.service");

class ServiceOnBus : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_THREAD__)
        // QtDBus runs a thread of its own inside Qt, which is not instrumented.
        GTEST_SKIP() << "ThreadSanitizer cannot see the synchronisation inside Qt's D-Bus thread";
#endif
        if (PrivateBus::program().isEmpty()) GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus-daemon)";
        bus_ = std::make_unique<PrivateBus>();
        ASSERT_FALSE(bus_->address().isEmpty()) << bus_->error().toStdString();
        client_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(bus_->address(), kClient));
        ASSERT_TRUE(client_->isConnected()) << client_->lastError().message().toStdString();
        units_ = std::make_unique<SystemdUnits>(*client_, timeouts());
        activity_ = std::make_unique<ServiceActivity>(*units_, boxes_);
        activity_->set_status_listener([this] {
            ++changes_;
            if (controller_) controller_->refresh();
        });
    }

    void TearDown() override {
        controller_.reset();
        activity_.reset();
        units_.reset();
        // A skipped case never connected: a call into QtDBus here would
        // only start its thread.
        if (client_) {
            client_.reset();
            QDBusConnection::disconnectFromBus(kClient);
        }
        systemd_.reset();
        bus_.reset();
    }

    virtual SystemdUnits::Timeouts timeouts() const { return {2000, 5000}; }

    FakeSystemd &systemd() {
        if (!systemd_) {
            systemd_ = std::make_unique<FakeSystemd>(bus_->address());
            EXPECT_TRUE(systemd_->ok());
        }
        return *systemd_;
    }

    // Polls after any query under way, waits for the answer and polls
    // again to read it.
    std::optional<quint16> settled_poll() {
        EXPECT_TRUE(wait_until([&] { return !activity_->is_asking(); })) << "no answer from the bus";
        activity_->poll();
        EXPECT_TRUE(wait_until([&] { return !activity_->is_asking(); })) << "no answer from the bus";
        return activity_->poll();
    }

    void with_controller() {
        controller_ = std::make_unique<TrayController>(*activity_, area_, view_, boxes_, launcher_, fetcher_,
                                                       browser_, QStringLiteral("/usr/bin"), 7);
    }

    static constexpr const char *kClient = "tray-under-test";
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<QDBusConnection> client_;
    std::unique_ptr<FakeSystemd> systemd_;
    std::unique_ptr<SystemdUnits> units_;
    std::unique_ptr<ServiceActivity> activity_;
    FakeBoxes boxes_;
    FakeNotifyArea area_;
    FakeView view_;
    FakeLauncher launcher_;
    FakeFetcher fetcher_;
    FakeBrowser browser_;
    std::unique_ptr<TrayController> controller_;
    int changes_ = 0;
};

TEST_F(ServiceOnBus, ActiveEnabledUnitShowsRunningWithTheCheckMark) {
    systemd().change([](FakeSystemdState &s) {
        s.active_state = QStringLiteral("active");
        s.file_state = QStringLiteral("enabled");
    });
    EXPECT_EQ(settled_poll(), quint16{3});
    // The poll that read the answer asked again: let that query end too,
    // so that the calls on record are whole queries.
    ASSERT_TRUE(wait_until([&] { return !activity_->is_asking(); })) << "no answer from the bus";
    EXPECT_EQ(systemd().methods(), (QStringList{"GetUnit", "GetUnitFileState", "GetUnit", "GetUnitFileState"}));
    EXPECT_TRUE(boxes_.shown.empty());
    // Status queries never ask the user anything.
    for (const FakeCall &c : systemd().calls()) EXPECT_FALSE(c.interactive) << c.method.toStdString();
}

TEST_F(ServiceOnBus, ReloadingCountsAsRunningAndOtherFileStatesAsNoAutostart) {
    systemd().change([](FakeSystemdState &s) {
        s.active_state = QStringLiteral("reloading");
        s.file_state = QStringLiteral("enabled-runtime");
    });
    EXPECT_EQ(settled_poll(), quint16{1});
    systemd().change([](FakeSystemdState &s) {
        s.active_state = QStringLiteral("activating");
        s.file_state = QStringLiteral("static");
    });
    EXPECT_EQ(settled_poll(), quint16{0});
}

TEST_F(ServiceOnBus, InactiveUnitThatIsNotLoadedIsLoadedAndShownStopped) {
    systemd().change([](FakeSystemdState &s) {
        s.loaded = false;
        s.file_state = QStringLiteral("enabled");
    });
    EXPECT_EQ(settled_poll(), quint16{2});
    const auto calls = systemd().calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0].method, QStringLiteral("GetUnit"));
    EXPECT_EQ(calls[1].method, QStringLiteral("LoadUnit"));
    EXPECT_EQ(calls[1].args, QVariantList{kUnit});
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(ServiceOnBus, FailedUnitShowsStoppedAndSaysSoOnce) {
    systemd().change([](FakeSystemdState &s) { s.active_state = QStringLiteral("failed"); });
    EXPECT_EQ(settled_poll(), quint16{0});
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_TRUE(boxes_.shown[0].second.contains(QStringLiteral("has failed"))) << boxes_.shown[0].second.toStdString();
    EXPECT_TRUE(boxes_.shown[0].second.contains(QStringLiteral("journalctl -u valdrin-proxy.service")));
    // Still failed at the next polls: no second box.
    EXPECT_EQ(settled_poll(), quint16{0});
    EXPECT_EQ(settled_poll(), quint16{0});
    EXPECT_EQ(boxes_.shown.size(), 1u);
    // Failing again after a recovery is said again.
    systemd().change([](FakeSystemdState &s) { s.active_state = QStringLiteral("active"); });
    EXPECT_EQ(settled_poll(), quint16{1});
    systemd().change([](FakeSystemdState &s) { s.active_state = QStringLiteral("failed"); });
    EXPECT_EQ(settled_poll(), quint16{0});
    EXPECT_EQ(boxes_.shown.size(), 2u);
}

TEST_F(ServiceOnBus, NotInstalledUnitCannotBeReachedAndTheControllerSaysSoOnce) {
    systemd().change([](FakeSystemdState &s) {
        s.loaded = false;
        s.load_state = QStringLiteral("not-found");
        s.file_state.clear();
    });
    with_controller();
    controller_->start_up();
    ASSERT_TRUE(wait_until([&] { return !boxes_.shown.empty(); }));
    EXPECT_EQ(activity_->poll(), std::nullopt);
    EXPECT_EQ(boxes_.shown[0].second,
              QStringLiteral("The system service valdrin-proxy.service is not installed, so the proxy server can be "
                             "neither watched nor started."));
    EXPECT_EQ(controller_->picture(), TrayPicture::Disabled);
    controller_->refresh();
    wait_until([] { return false; }, 200);
    EXPECT_EQ(boxes_.shown.size(), 1u);
}

TEST_F(ServiceOnBus, StartAndStopCallTheManagerWithReplaceAndMayAskTheUser) {
    systemd();
    activity_->start();
    ASSERT_TRUE(wait_until([&] { return systemd().methods().contains(QStringLiteral("StartUnit")); }));
    activity_->stop();
    ASSERT_TRUE(wait_until([&] { return systemd().methods().contains(QStringLiteral("StopUnit")); }));
    std::vector<FakeCall> commands;
    for (const FakeCall &c : systemd().calls())
        if (c.method.endsWith(QLatin1String("Unit")) && c.method != QLatin1String("GetUnit")) commands.push_back(c);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].method, QStringLiteral("StartUnit"));
    EXPECT_EQ(commands[0].args, (QVariantList{kUnit, QStringLiteral("replace")}));
    EXPECT_TRUE(commands[0].interactive);
    EXPECT_EQ(commands[1].method, QStringLiteral("StopUnit"));
    EXPECT_EQ(commands[1].args, (QVariantList{kUnit, QStringLiteral("replace")}));
    EXPECT_TRUE(commands[1].interactive);
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(ServiceOnBus, EnableAndDisableChangeTheUnitFilesThenReload) {
    systemd();
    activity_->set_autostart();
    ASSERT_TRUE(wait_until([&] { return systemd().methods().count(QStringLiteral("Reload")) == 1; }));
    activity_->clear_autostart();
    ASSERT_TRUE(wait_until([&] { return systemd().methods().count(QStringLiteral("Reload")) == 2; }));
    std::vector<FakeCall> commands;
    for (const FakeCall &c : systemd().calls())
        if (c.method.contains(QLatin1String("UnitFiles")) || c.method == QLatin1String("Reload")) commands.push_back(c);
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[0].method, QStringLiteral("EnableUnitFiles"));
    EXPECT_EQ(commands[0].args, (QVariantList{QStringList{kUnit}, false, true}));
    EXPECT_EQ(commands[1].method, QStringLiteral("Reload"));
    EXPECT_EQ(commands[2].method, QStringLiteral("DisableUnitFiles"));
    EXPECT_EQ(commands[2].args, (QVariantList{QStringList{kUnit}, false}));
    EXPECT_EQ(commands[3].method, QStringLiteral("Reload"));
    for (const FakeCall &c : commands) EXPECT_TRUE(c.interactive) << c.method.toStdString();
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(ServiceOnBus, ACommandShowsItsEffectWithoutWaitingForTheNextTick) {
    systemd();
    with_controller();
    controller_->start_up();
    ASSERT_TRUE(wait_until([&] { return changes_ > 0; }));
    EXPECT_EQ(controller_->picture(), TrayPicture::Disabled);
    controller_->on_start_stop();
    ASSERT_TRUE(wait_until([&] { return controller_->picture() == TrayPicture::Enabled; }));
    EXPECT_EQ(view_.caption, QStringLiteral("&Stop"));
    EXPECT_EQ(area_.shown->tip, QStringLiteral("Valdrin Proxy Server Enabled"));
    controller_->on_autostart();
    ASSERT_TRUE(wait_until([&] { return view_.checked; }));
    // The picture decides: running, so Stop.
    controller_->on_start_stop();
    ASSERT_TRUE(wait_until([&] { return controller_->picture() == TrayPicture::Disabled; }));
    EXPECT_TRUE(systemd().methods().contains(QStringLiteral("StopUnit")));
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(ServiceOnBus, ARefusedStartReachesTheUserAndChangesNothing) {
    systemd().change([](FakeSystemdState &s) { s.refused << QStringLiteral("StartUnit"); });
    activity_->start();
    ASSERT_TRUE(wait_until([&] { return !boxes_.shown.empty(); }));
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].first, QStringLiteral("Valdrin Tray Agent"));
    EXPECT_EQ(boxes_.shown[0].second,
              QStringLiteral("The proxy service valdrin-proxy.service could not be started: the system's policy "
                             "refused it (Access denied)."));
    EXPECT_EQ(settled_poll(), quint16{0});
}

TEST_F(ServiceOnBus, ARefusalWithoutInteractionAllowedIsShownAsARefusalToo) {
    systemd().change([](FakeSystemdState &s) {
        s.refused << QStringLiteral("StopUnit");
        s.refusal_error = QStringLiteral("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired");
    });
    activity_->stop();
    ASSERT_TRUE(wait_until([&] { return !boxes_.shown.empty(); }));
    EXPECT_TRUE(boxes_.shown[0].second.startsWith(
        QStringLiteral("The proxy service valdrin-proxy.service could not be stopped: the system's policy refused it")))
        << boxes_.shown[0].second.toStdString();
}

TEST_F(ServiceOnBus, ARefusedEnableIsShownAndNotFollowedByAReload) {
    systemd().change([](FakeSystemdState &s) { s.refused << QStringLiteral("EnableUnitFiles"); });
    activity_->set_autostart();
    ASSERT_TRUE(wait_until([&] { return !boxes_.shown.empty(); }));
    EXPECT_TRUE(boxes_.shown[0].second.startsWith(
        QStringLiteral("The start of valdrin-proxy.service at boot time could not be switched on: the system's "
                       "policy refused it")))
        << boxes_.shown[0].second.toStdString();
    EXPECT_FALSE(systemd().methods().contains(QStringLiteral("Reload")));
}

TEST_F(ServiceOnBus, EnablingAUnitWithoutInstallSectionSaysWhy) {
    systemd().change([](FakeSystemdState &s) { s.install_info = false; });
    activity_->set_autostart();
    ASSERT_TRUE(wait_until([&] { return !boxes_.shown.empty(); }));
    EXPECT_TRUE(boxes_.shown[0].second.contains(QStringLiteral("no [Install] section")))
        << boxes_.shown[0].second.toStdString();
}

TEST_F(ServiceOnBus, WithoutSystemdTheServiceCannotBeReachedAndCommandsSaySo) {
    // No fake on the bus: nothing owns org.freedesktop.systemd1.
    with_controller();
    controller_->start_up();
    ASSERT_TRUE(wait_until([&] { return !boxes_.shown.empty(); }));
    EXPECT_EQ(activity_->poll(), std::nullopt);
    EXPECT_TRUE(boxes_.shown[0].second.startsWith(
        QStringLiteral("The system service valdrin-proxy.service can be neither watched nor started: systemd cannot "
                       "be reached on the system bus")))
        << boxes_.shown[0].second.toStdString();
    EXPECT_EQ(controller_->picture(), TrayPicture::Disabled);
    controller_->on_start_stop();
    ASSERT_TRUE(wait_until([&] { return boxes_.shown.size() == 2; }));
    EXPECT_TRUE(boxes_.shown[1].second.startsWith(
        QStringLiteral("The proxy service valdrin-proxy.service could not be started: systemd cannot be reached")))
        << boxes_.shown[1].second.toStdString();
}

TEST_F(ServiceOnBus, ABusThatIsNotThereDegradesLikeAMissingSystemd) {
    const QDBusConnection none = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                                               QStringLiteral("no-bus"));
    ASSERT_FALSE(none.isConnected());
    SystemdUnits units(none);
    ServiceActivity activity(units, boxes_);
    int changes = 0;
    activity.set_status_listener([&] { ++changes; });
    EXPECT_EQ(activity.poll(), quint16{0});  // nothing known yet
    ASSERT_TRUE(wait_until([&] { return changes == 1; }));
    EXPECT_EQ(activity.poll(), std::nullopt);
    EXPECT_TRUE(activity.failure().contains(QStringLiteral("no connection to the system bus")))
        << activity.failure().toStdString();
    QDBusConnection::disconnectFromBus(QStringLiteral("no-bus"));
}

TEST_F(ServiceOnBus, TheStatusTextSaysWhereTheHttpProxyListens) {
    systemd().change([](FakeSystemdState &s) {
        s.active_state = QStringLiteral("active");
        s.status_text = QStringLiteral("listening on [::]:3128, socks [::]:1080, rdr [::]:8080, dns 127.0.0.1:53");
    });
    EXPECT_EQ(settled_poll(), quint16{1});
    StatusAddress where = activity_->status_address();
    EXPECT_EQ(where.address, QStringLiteral("[::1]:3128"));
    EXPECT_TRUE(where.why_unknown.isEmpty());

    systemd().change([](FakeSystemdState &s) { s.status_text = QStringLiteral("listening on socks 0.0.0.0:1080"); });
    EXPECT_EQ(settled_poll(), quint16{1});
    where = activity_->status_address();
    EXPECT_TRUE(where.address.isEmpty());
    EXPECT_EQ(where.why_unknown, QStringLiteral("the service valdrin-proxy.service names no HTTP proxy address in its "
                                                "status \"listening on socks 0.0.0.0:1080\""));

    systemd().change([](FakeSystemdState &s) { s.status_text.clear(); });
    EXPECT_EQ(settled_poll(), quint16{1});
    EXPECT_EQ(activity_->status_address().why_unknown,
              QStringLiteral("the service valdrin-proxy.service does not say where it listens"));
}

TEST_F(ServiceOnBus, AStopNobodyAskedForIsToldWithTheUnitsResultAndJournal) {
    launcher_.output = QByteArray("starting\nvaldrin_proxy: HTTP proxy listening on [::]:3128\n"
                                  "valdrin_proxy: the HTTP proxy stopped listening on port 3128 (-1)\n"
                                  "valdrin-proxy.service: Main process exited, code=exited, status=1/FAILURE\n");
    activity_->set_journal_reader(&launcher_);
    systemd().change([](FakeSystemdState &s) {
        s.active_state = QStringLiteral("active");
        s.sub_state = QStringLiteral("running");
        s.status_text = QStringLiteral("listening on [::]:3128");
    });
    with_controller();
    controller_->start_up();
    ASSERT_TRUE(wait_until([&] { return controller_->picture() == TrayPicture::Enabled; }));
    systemd().change([](FakeSystemdState &s) {
        s.active_state = QStringLiteral("failed");
        s.sub_state = QStringLiteral("failed");
        s.result = QStringLiteral("exit-code");
        s.exec_main_status = 1;
    });
    controller_->refresh();
    ASSERT_TRUE(wait_until([&] { return !view_.notes.empty(); }));
    EXPECT_EQ(view_.notes[0].second,
              QStringLiteral("The proxy server stopped without being asked to.\n"
                             "The service valdrin-proxy.service is failed, result exit-code, exit status 1.\n"
                             "The last lines of its journal:\n"
                             "valdrin_proxy: HTTP proxy listening on [::]:3128\n"
                             "valdrin_proxy: the HTTP proxy stopped listening on port 3128 (-1)\n"
                             "valdrin-proxy.service: Main process exited, code=exited, status=1/FAILURE"));
    ASSERT_EQ(launcher_.ran.size(), 1);
    EXPECT_EQ(launcher_.ran[0], (QStringList{"journalctl", "-u", "valdrin-proxy.service", "-n", "3", "-o", "cat",
                                             "--no-pager"}));
    controller_->refresh();
    wait_until([&] { return !activity_->is_asking(); });
    EXPECT_EQ(view_.notes.size(), 1u);
}

TEST_F(ServiceOnBus, AnUnreadableJournalIsLeftOutAndASignalIsNamed) {
    launcher_.output = std::nullopt;  // journalctl refused: not in the journal's group
    activity_->set_journal_reader(&launcher_);
    systemd().change([](FakeSystemdState &s) { s.active_state = QStringLiteral("active"); });
    with_controller();
    controller_->start_up();
    ASSERT_TRUE(wait_until([&] { return controller_->picture() == TrayPicture::Enabled; }));
    systemd().change([](FakeSystemdState &s) {
        s.active_state = QStringLiteral("activating");
        s.sub_state = QStringLiteral("auto-restart");
        s.result = QStringLiteral("signal");
        s.exec_main_status = 9;
    });
    controller_->refresh();
    ASSERT_TRUE(wait_until([&] { return !view_.notes.empty(); }));
    EXPECT_EQ(view_.notes[0].second,
              QStringLiteral("The proxy server stopped without being asked to.\n"
                             "The service valdrin-proxy.service is activating (auto-restart), result signal, signal 9."));
}

TEST_F(ServiceOnBus, TheUsersStopThroughTheManagerIsNoNews) {
    systemd().change([](FakeSystemdState &s) { s.active_state = QStringLiteral("active"); });
    with_controller();
    controller_->start_up();
    ASSERT_TRUE(wait_until([&] { return controller_->picture() == TrayPicture::Enabled; }));
    controller_->on_start_stop();
    ASSERT_TRUE(wait_until([&] { return controller_->picture() == TrayPicture::Disabled; }));
    controller_->refresh();
    wait_until([&] { return !activity_->is_asking(); });
    EXPECT_TRUE(view_.notes.empty());
}

class SilentServiceOnBus : public ServiceOnBus {
protected:
    SystemdUnits::Timeouts timeouts() const override { return {300, 300}; }
};

TEST_F(SilentServiceOnBus, AManagerThatNeverAnswersTimesOutWithinTheBound) {
    systemd().change([](FakeSystemdState &s) { s.unanswered << QStringLiteral("GetUnit") << QStringLiteral("StartUnit"); });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(settled_poll(), std::nullopt);
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_TRUE(activity_->failure().contains(QStringLiteral("systemd did not answer in time")))
        << activity_->failure().toStdString();
    activity_->start();
    ASSERT_TRUE(wait_until([&] { return !boxes_.shown.empty(); }));
    EXPECT_TRUE(boxes_.shown[0].second.contains(QStringLiteral("did not answer in time")));
}

TEST_F(ServiceOnBus, AnUnchangedStatusDoesNotCallTheListenerAgain) {
    systemd().change([](FakeSystemdState &s) { s.active_state = QStringLiteral("active"); });
    EXPECT_EQ(settled_poll(), quint16{1});
    EXPECT_EQ(changes_, 1);
    const size_t calls = systemd().calls().size();
    EXPECT_EQ(settled_poll(), quint16{1});
    EXPECT_EQ(settled_poll(), quint16{1});
    EXPECT_GT(systemd().calls().size(), calls);
    EXPECT_EQ(changes_, 1);
}

TEST_F(ServiceOnBus, TheChoiceOfActivityFollowsTheLayout) {
    systemd().change([](FakeSystemdState &s) { s.active_state = QStringLiteral("active"); });
    int changes = 0;
    auto service = make_activity(ActivityKind::Service, QStringLiteral("/nonexistent"), units_.get(), boxes_,
                                 [&] { ++changes; });
    service->poll();
    ASSERT_TRUE(wait_until([&] { return changes == 1; }));
    EXPECT_EQ(service->poll(), quint16{1});

    QTemporaryDir empty;
    auto library = make_activity(ActivityKind::Library, empty.path(), nullptr, boxes_, nullptr);
    EXPECT_EQ(library->poll(), std::nullopt);
    EXPECT_TRUE(library->failure().contains(QStringLiteral("libvaldrin_activity.so"))) << library->failure().toStdString();
}

}  // namespace
}  // namespace valdrin::tray::testing

namespace valdrin::tray::testing {
namespace {

// What a reload through the manager comes to: its `done` runs once, when
// the job has ended, with the job's result.
struct ReloadAnswer {
    bool answered = false;
    kel::qtplat::UnitCall call;
};

ReloadAnswer reload_once(SystemdUnits &units) {
    auto answer = std::make_shared<ReloadAnswer>();
    auto count = std::make_shared<int>(0);
    units.reload(kUnit, [answer, count](const kel::qtplat::UnitCall &call) {
        ++*count;
        answer->answered = true;
        answer->call = call;
    });
    wait_until([&] { return answer->answered; }, 10000);
    // Nothing runs it a second time afterwards (a late timer, a late signal).
    wait_until([] { return false; }, 400);
    EXPECT_EQ(*count, answer->answered ? 1 : 0);
    return *answer;
}

TEST_F(ServiceOnBus, AReloadEndsWithItsJobAndAFailedJobSaysSo) {
    // The process's first reload fails: its watch is the first to listen.
    systemd().change([](FakeSystemdState &s) { s.reload_result = QStringLiteral("failed"); });
    ReloadAnswer first = reload_once(*units_);
    ASSERT_TRUE(first.answered);
    EXPECT_EQ(first.call.error_name, QLatin1String(kel::qtplat::kErrorJobFailed));
    // Only subscribers get JobRemoved from systemd.
    EXPECT_TRUE(systemd().methods().contains(QStringLiteral("Subscribe")))
        << systemd().methods().join(QLatin1Char(' ')).toStdString();

    systemd().change([](FakeSystemdState &s) { s.reload_result = QStringLiteral("done"); });
    ReloadAnswer ok = reload_once(*units_);
    ASSERT_TRUE(ok.answered);
    EXPECT_TRUE(ok.call.ok()) << ok.call.error_message.toStdString();
    ASSERT_TRUE(systemd().methods().contains(QStringLiteral("ReloadUnit")));
    for (const FakeCall &c : systemd().calls())
        if (c.method == QLatin1String("ReloadUnit")) EXPECT_TRUE(c.interactive) << "polkit may ask";

    systemd().change([](FakeSystemdState &s) { s.reload_result = QStringLiteral("failed"); });
    ReloadAnswer failed = reload_once(*units_);
    ASSERT_TRUE(failed.answered);
    EXPECT_EQ(failed.call.error_name, QLatin1String(kel::qtplat::kErrorJobFailed));
    EXPECT_TRUE(failed.call.error_message.contains(QStringLiteral("'failed'"))) << failed.call.error_message.toStdString();

    // A job that ends before its reply is read still counts.
    systemd().change([](FakeSystemdState &s) {
        s.reload_result = QStringLiteral("done");
        s.removed_before_reply = true;
    });
    ReloadAnswer quick = reload_once(*units_);
    ASSERT_TRUE(quick.answered);
    EXPECT_TRUE(quick.call.ok()) << quick.call.error_message.toStdString();

    systemd().change([](FakeSystemdState &s) { s.refused << QStringLiteral("ReloadUnit"); });
    ReloadAnswer refused = reload_once(*units_);
    ASSERT_TRUE(refused.answered);
    EXPECT_EQ(refused.call.error_name, QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
}

TEST_F(SilentServiceOnBus, AReloadJobThatNeverEndsGivesUpWithinTheBound) {
    systemd().change([](FakeSystemdState &s) { s.reload_result.clear(); });
    ReloadAnswer stuck = reload_once(*units_);
    ASSERT_TRUE(stuck.answered);
    EXPECT_EQ(stuck.call.error_name, QLatin1String(kel::qtplat::kErrorJobFailed));
    EXPECT_TRUE(stuck.call.error_message.contains(QStringLiteral("did not end in time")));
}

}  // namespace
}  // namespace valdrin::tray::testing
