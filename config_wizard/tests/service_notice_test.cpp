// The installed system: where the wizard finds its files, and what it says
// after a save about the service that reads the file.
#include "service_notice.h"

#include <QDBusConnection>
#include <QDir>

#include <gtest/gtest.h>

#include "fakes.h"
#include "kelplat_qt/systemd_units.h"
#include "unit_proxy_service.h"
#include "wizard.h"

namespace kel::wizard {
namespace {

using testing::FakeStore;
using testing::ScriptedBoxes;
using testing::ScriptedPrompter;

const FileLayout kInstalled{true, QStringLiteral("/etc/valdrin"), QStringLiteral("/usr/share/valdrin")};
const FileLayout kReadyToRun{false, QString(), QString()};

TEST(FilePaths, TheReadyToRunFolderKeepsEverythingBesideTheProgram) {
    const WizardPaths p = wizard_paths(kReadyToRun, QStringLiteral("/opt/valdrin"), QString());
    EXPECT_EQ(p.config_file, QStringLiteral("/opt/valdrin/valdrin.conf"));
    EXPECT_EQ(p.default_file, QStringLiteral("/opt/valdrin/valdrin.conf.default"));
    EXPECT_EQ(p.guide_dir, QStringLiteral("/opt/valdrin/guide"));
}

TEST(FilePaths, AnInstalledSystemUsesEtcAndUsrShare) {
    const WizardPaths p = wizard_paths(kInstalled, QStringLiteral("/usr/bin"), QString());
    EXPECT_EQ(p.config_file, QStringLiteral("/etc/valdrin/valdrin.conf"));
    EXPECT_EQ(p.default_file, QStringLiteral("/usr/share/valdrin/valdrin.conf.default"));
    EXPECT_EQ(p.guide_dir, QStringLiteral("/usr/share/valdrin/guide"));
}

TEST(FilePaths, TheCommandLineChoosesOnlyTheConfigurationFile) {
    const WizardPaths p = wizard_paths(kInstalled, QStringLiteral("/usr/bin"), QStringLiteral("/tmp/test.conf"));
    EXPECT_EQ(p.config_file, QStringLiteral("/tmp/test.conf"));
    EXPECT_EQ(p.default_file, QStringLiteral("/usr/share/valdrin/valdrin.conf.default"));
    const WizardPaths relative = wizard_paths(kReadyToRun, QStringLiteral("/opt/valdrin"), QStringLiteral("my.conf"));
    EXPECT_EQ(relative.config_file, QDir::current().absoluteFilePath(QStringLiteral("my.conf")));
}

class FakeService : public ProxyService {
public:
    State state(QString *why) override {
        if (why) *why = state_why;
        return current;
    }
    QString reload() override {
        ++reloads;
        return reload_failure;
    }
    QString name() const override { return QStringLiteral("valdrin-proxy.service"); }
    QString reload_hint() const override { return QStringLiteral("'systemctl reload valdrin-proxy.service'"); }
    State current = State::Running;
    QString state_why;
    QString reload_failure;
    int reloads = 0;
};

class FakeCheck : public ConfigCheck {
public:
    QString problems(const QString &file, bool *ran) override {
        checked << file;
        *ran = runs;
        return said;
    }
    QString said;
    bool runs = true;
    QStringList checked;
};

const QString kConf = QStringLiteral("/etc/valdrin/valdrin.conf");

struct AfterSave : ::testing::Test {
    FakeService service;
    FakeCheck check;
    ScriptedBoxes boxes;
    SaveNotice notice{service, check, boxes};
};

TEST_F(AfterSave, ARunningServiceIsReloadedAndTheUserToldTheSettingsAreInForce) {
    notice.after_save(kConf);
    EXPECT_EQ(check.checked, QStringList{kConf});
    EXPECT_EQ(service.reloads, 1);
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].buttons, Buttons::Ok);
    EXPECT_EQ(boxes.calls[0].icon, Icon::Information);
    EXPECT_EQ(boxes.calls[0].text,
              QStringLiteral("The configuration was saved to /etc/valdrin/valdrin.conf, and the running proxy server "
                             "valdrin-proxy.service has read it: the new settings are in force."));
}

TEST_F(AfterSave, KeysThatWaitForARestartAreNamed) {
    notice.after_save(kConf, {QStringLiteral("HTTPPort"), QStringLiteral("DNSListen")});
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_TRUE(boxes.calls[0].text.endsWith(
        QStringLiteral("\nThe change of HTTPPort, DNSListen takes effect when the proxy server is restarted.")))
        << boxes.calls[0].text.toStdString();
}

TEST_F(AfterSave, AFileTheDaemonRefusesIsNotReloadedAndTheDaemonsWordsAreShown) {
    check.said = QStringLiteral("/etc/valdrin/valdrin.conf:7: invalid DNSServer1 'x' in section DNS: an IPv4 or IPv6 "
                                "address is expected");
    notice.after_save(kConf);
    EXPECT_EQ(service.reloads, 0);
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].icon, Icon::Critical);
    EXPECT_EQ(boxes.calls[0].caption, QStringLiteral("Configuration refused"));
    EXPECT_TRUE(boxes.calls[0].text.contains(check.said)) << boxes.calls[0].text.toStdString();
    EXPECT_TRUE(boxes.calls[0].text.contains(QStringLiteral("keeps the configuration it has")));
}

TEST_F(AfterSave, ACheckThatCouldNotRunStillReloadsAndSaysSo) {
    check.runs = false;
    check.said = QStringLiteral("/usr/sbin/valdrin_proxy could not be run (No such file or directory)");
    notice.after_save(kConf);
    EXPECT_EQ(service.reloads, 1);
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_TRUE(boxes.calls[0].text.contains(QStringLiteral("(The daemon could not check the file first: ") +
                                             check.said + QStringLiteral(".)")))
        << boxes.calls[0].text.toStdString();
}

TEST_F(AfterSave, AFailedReloadSaysWhyAndHowToDoItLater) {
    service.reload_failure = QStringLiteral("the system's policy refused it (Access denied)");
    notice.after_save(kConf);
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].icon, Icon::Critical);
    EXPECT_EQ(boxes.calls[0].text,
              QStringLiteral("The proxy server valdrin-proxy.service could not be reloaded: the system's policy "
                             "refused it (Access denied).\nThe saved configuration takes effect at its next reload "
                             "('systemctl reload valdrin-proxy.service') or start."));
}

TEST_F(AfterSave, AStoppedServiceReadsTheFileWhenItStarts) {
    service.current = ProxyService::State::Stopped;
    notice.after_save(kConf);
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].buttons, Buttons::Ok);
    EXPECT_TRUE(boxes.calls[0].text.contains(QStringLiteral("is not running; it reads the file when it starts")));
    EXPECT_EQ(service.reloads, 0);
}

TEST_F(AfterSave, AnUnknownStateStillSaysHowTheChangeTakesEffect) {
    service.current = ProxyService::State::Unknown;
    service.state_why = QStringLiteral("systemd cannot be reached on the system bus (x)");
    notice.after_save(kConf);
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].text,
              QStringLiteral("The configuration was saved to /etc/valdrin/valdrin.conf.\nWhether the proxy server "
                             "valdrin-proxy.service runs could not be told (systemd cannot be reached on the system "
                             "bus (x)). A running server reads the file again on 'systemctl reload "
                             "valdrin-proxy.service'."));
    EXPECT_EQ(service.reloads, 0);
}

TEST(AfterSaveWizard, OnlyASaveThatWroteEveryKeyIsAnnounced) {
    FakeStore store;
    ScriptedBoxes boxes;
    ScriptedPrompter prompts;
    Wizard wizard{store, boxes, prompts, {kConf, QStringLiteral("/usr/share/valdrin/valdrin.conf.default"), QString()}};
    QStringList saved;
    wizard.set_save_listener([&](const QString &file) { saved << file; });
    wizard.open();
    store.fail_all = true;
    EXPECT_FALSE(wizard.ok());
    EXPECT_TRUE(saved.isEmpty());
    store.fail_all = false;
    store.fail_commit = true;
    EXPECT_EQ(wizard.apply(), SaveResult::WriteFailed);
    EXPECT_TRUE(saved.isEmpty());
    store.fail_commit = false;
    EXPECT_TRUE(wizard.ok());
    EXPECT_EQ(saved, QStringList{kConf});
}

TEST(UnitProxyServiceOverDBus, NoBusMeansAnUnknownStateAndAFailedReloadWithTheReason) {
#if defined(__SANITIZE_THREAD__)
    // QtDBus runs a thread of its own inside Qt, which is not instrumented.
    GTEST_SKIP() << "ThreadSanitizer cannot see the synchronisation inside Qt's D-Bus thread";
#endif
    const QDBusConnection none =
        QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), QStringLiteral("wizard-no-bus"));
    ASSERT_FALSE(none.isConnected());
    qtplat::SystemdUnits units(none);
    UnitProxyService service(units, QStringLiteral("valdrin-proxy.service"), 2000, 2000);
    QString why;
    EXPECT_EQ(service.state(&why), ProxyService::State::Unknown);
    EXPECT_TRUE(why.startsWith(QStringLiteral("systemd cannot be reached on the system bus"))) << why.toStdString();
    EXPECT_TRUE(service.reload().startsWith(QStringLiteral("systemd cannot be reached"))) ;
    QDBusConnection::disconnectFromBus(QStringLiteral("wizard-no-bus"));
}

}  // namespace
}  // namespace kel::wizard
