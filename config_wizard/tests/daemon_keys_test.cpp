// The daemon's key table, compiled into the wizard (it links nothing of the
// daemon): every key the wizard writes is one the daemon declares, in the
// same section, and where both give a default they give the same.
#include <gtest/gtest.h>

#include "config_file.h"
#include "config_keys.h"
#include "fakes.h"

namespace kel::wizard {
namespace {

const QString kFile = QStringLiteral("/conf/valdrin.conf");

const valdrin::keys::Key *daemon_key(const QString &section, const QString &key) {
    return valdrin::keys::find_key(section.toStdString(), key.toStdString());
}

TEST(DaemonKeys, EveryKeyTheWizardWritesIsOneTheDaemonDeclares) {
    testing::FakeStore store;
    testing::ScriptedBoxes boxes;
    ConfigFile file{store, boxes};
    ConfigModel model;
    // Every list holds a line, so that every family is written.
    store.set(kFile, QStringLiteral("Main"), QStringLiteral("AllowedHost0"), QStringLiteral("10.*"));
    store.set(kFile, QStringLiteral("Socks"), QStringLiteral("SocksAccount0"), QStringLiteral("bob<none>"));
    store.set(kFile, QStringLiteral("RDR"), QStringLiteral("RDRBinding0"), QStringLiteral("8080 -> 80 host"));
    file.LoadConfig(kFile, model);
    ASSERT_EQ(file.SaveConfig(kFile, model), SaveResult::Saved);
    ASSERT_FALSE(store.writes.isEmpty());
    for (const QString &written : store.writes) {
        const QStringList parts = written.split(QLatin1Char('/'));
        ASSERT_EQ(parts.size(), 2) << written.toStdString();
        EXPECT_NE(daemon_key(parts[0], parts[1]), nullptr)
            << written.toStdString() << " is written by the wizard but unknown to the daemon";
    }
}

TEST(DaemonKeys, DefaultsBothGiveAreTheSame) {
    testing::FakeStore store;
    testing::ScriptedBoxes boxes;
    ConfigFile file{store, boxes};
    ConfigModel model;
    file.LoadConfig(kFile, model);  // an absent file: the wizard's defaults
    const std::pair<QString, const valdrin::keys::Key *> texts[] = {
        {model.text1, daemon_key(QStringLiteral("Main"), QStringLiteral("LogFile"))},
        {model.text2, daemon_key(QStringLiteral("Main"), QStringLiteral("ErrFile"))},
        {model.text3, daemon_key(QStringLiteral("Socks"), QStringLiteral("SocksPort"))},
        {model.text5, daemon_key(QStringLiteral("HTTP"), QStringLiteral("HTTPPort"))},
        {model.text6, daemon_key(QStringLiteral("DNS"), QStringLiteral("DNSServer1"))},
        {model.text8, daemon_key(QStringLiteral("DNS"), QStringLiteral("DNSServer2"))},
    };
    for (const auto &[wizard, key] : texts) {
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(wizard.toStdString(), std::string(key->fallback)) << key->name;
    }
}

}  // namespace
}  // namespace kel::wizard
