// Every key of the daemon in the wizard: what a load and a save leave of a
// file, as the daemon reads it; values checked by the daemon's own code, in
// the Advanced fields and the list editors; Apply refusing what the daemon
// would refuse.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "config.h"
#include "config_keys.h"
#include "fakes.h"
#include "more_settings.h"
#include "wizard.h"

namespace kel::wizard {
namespace {

using testing::FakeStore;
using testing::ScriptedBoxes;
using testing::ScriptedPrompter;

const QString kFile = QStringLiteral("/conf/valdrin.conf");

// The store's file as the daemon would find it on disk.
std::string ini_text(const FakeStore &store, const QString &file) {
    std::string text;
    const FakeStore::File f = store.files.value(file);
    for (auto section = f.begin(); section != f.end(); ++section) {
        text += "[" + section.key().toStdString() + "]\n";
        for (auto key = section->begin(); key != section->end(); ++key)
            text += key.key().toStdString() + "=" + key.value().toStdString() + "\n";
    }
    return text;
}

// Each key's value as the daemon takes it: booleans by their truth.
std::map<std::string, std::string> as_the_daemon_reads(const std::string &text) {
    std::vector<kel::server::ConfigProblem> problems;
    const kel::server::Config c = kel::server::parse_config_text(text, "valdrin.conf", &problems);
    std::map<std::string, std::string> seen;
    auto join = [](const std::vector<std::string> &v) {
        std::string out;
        for (const std::string &s : v) out += s + "|";
        return out;
    };
    seen["LogFile"] = c.main.log_file;
    seen["ErrFile"] = c.main.err_file;
    seen["AccessLog"] = c.main.access_log;
    seen["Verbose"] = std::to_string(c.main.verbose);
    seen["AllowedHost"] = join(c.main.allowed_hosts);
    seen["HTTPEnabled"] = std::to_string(c.http.enabled);
    seen["HTTPPort"] = std::to_string(c.http.port);
    seen["HTTPListen"] = join(c.http.listen);
    seen["HTTPSecure"] = std::to_string(c.http.secure);
    seen["AdHostsEnabled"] = std::to_string(c.http.ad_hosts_enabled);
    seen["AdListFile"] = join(c.http.ad_list_files);
    const kel::server::Limits &l = c.http.limits;
    seen["Limits"] = std::to_string(l.header_timeout) + "," + std::to_string(l.idle_timeout) + "," +
                     std::to_string(l.connect_timeout) + "," + std::to_string(l.max_clients) + "," +
                     std::to_string(l.max_waiting);
    seen["SocksEnabled"] = std::to_string(c.socks.enabled);
    seen["Socks4Allowed"] = std::to_string(c.socks.socks4_allowed);
    seen["SocksPort"] = std::to_string(c.socks.port);
    seen["SocksListen"] = join(c.socks.listen);
    std::string accounts;
    for (const auto &a : c.socks.accounts) accounts += a.user + ":" + a.digest + "|";
    seen["SocksAccount"] = accounts;
    seen["DNSEnabled"] = std::to_string(c.dns.enabled);
    seen["DNSServers"] = c.dns.server1 + "," + c.dns.server2;
    seen["DNSPort"] = std::to_string(c.dns.port);
    seen["DNSListen"] = join(c.dns.listen);
    seen["DNSCounts"] = std::to_string(c.dns.cache_size) + "," + std::to_string(c.dns.client_rate);
    seen["DNSBlock"] = std::to_string(c.dns.block);
    seen["DNSHostsFile"] = c.dns.hosts_file;
    seen["RDREnabled"] = std::to_string(c.rdr.enabled);
    seen["RDRListen"] = join(c.rdr.listen);
    std::string bindings;
    for (const auto &b : c.rdr.bindings)
        bindings += std::to_string(b.port) + ">" + std::to_string(b.dest_port) + " " + b.host + "|";
    seen["RDRBinding"] = bindings;
    seen["problems"] = std::to_string(problems.size());
    return seen;
}

struct EveryKey : ::testing::Test {
    FakeStore store;
    ScriptedBoxes boxes;
    ScriptedPrompter prompts;
    Wizard wizard{store, boxes, prompts, {kFile, QStringLiteral("/conf/valdrin.conf.default"), QString()}};

    void set(const char *section, const char *key, const QString &value) {
        store.set(kFile, QLatin1String(section), QLatin1String(key), value);
    }
    QString get(const char *section, const char *key) {
        return store.get(kFile, QLatin1String(section), QLatin1String(key));
    }
};

// A file that sets every key away from its default, in spellings the
// wizard does not write itself, reads the same to the daemon after a load
// and a save that changed nothing.
TEST_F(EveryKey, LoadAndSaveLeaveWhatTheDaemonReadsUnchanged) {
    set("Main", "LogFile", QStringLiteral("/var/log/valdrin/log.txt"));
    set("Main", "ErrFile", QStringLiteral("err2.txt"));
    set("Main", "AccessLog", QString());
    set("Main", "Verbose", QStringLiteral("Yes"));
    set("Main", "AllowedHost0", QStringLiteral("192.168.0.*"));
    set("Main", "AllowedHost7", QStringLiteral("fd00::/8"));
    set("Main", "AllowedHost200", QStringLiteral("printer.lan"));
    set("HTTP", "HTTPEnabled", QStringLiteral("yes"));
    set("HTTP", "HTTPPort", QStringLiteral("8080"));
    set("HTTP", "HTTPListen", QStringLiteral("127.0.0.1, ::1"));
    set("HTTP", "HTTPSecure", QStringLiteral("T"));
    set("HTTP", "AdHostsEnabled", QStringLiteral("y"));
    set("HTTP", "AdListFile0", QStringLiteral("easylist.txt"));
    set("HTTP", "AdListFile99", QStringLiteral("/srv/lists/hosts"));
    set("HTTP", "HTTPHeaderTimeout", QStringLiteral("10"));
    set("HTTP", "HTTPIdleTimeout", QStringLiteral(" 600 "));
    set("HTTP", "HTTPConnectTimeout", QStringLiteral("0"));
    set("HTTP", "HTTPMaxClients", QStringLiteral("500"));
    set("HTTP", "HTTPMaxWaiting", QStringLiteral("1000"));
    set("Socks", "SocksEnabled", QStringLiteral("TRUE"));
    set("Socks", "Socks4Allowed", QStringLiteral("Y"));
    set("Socks", "SocksPort", QStringLiteral("1081"));
    set("Socks", "SocksListen", QStringLiteral("10.0.0.1"));
    set("Socks", "SocksAccount0", QStringLiteral("bob7E720BD054768A309CA76B612C004716410CC849"));
    set("Socks", "SocksAccount5", QStringLiteral("guest<none>"));
    set("DNS", "DNSEnabled", QStringLiteral("yes"));
    set("DNS", "DNSServer1", QStringLiteral("192.0.2.53:5353"));
    set("DNS", "DNSServer2", QStringLiteral("[2001:db8::53]"));
    set("DNS", "DNSPort", QStringLiteral("5300"));
    set("DNS", "DNSListen", QStringLiteral("127.0.0.2"));
    set("DNS", "DNSCacheSize", QStringLiteral("0"));
    set("DNS", "DNSBlock", QStringLiteral("no"));
    set("DNS", "DNSHostsFile", QString());
    set("DNS", "DNSClientRate", QStringLiteral("50"));
    set("RDR", "RDREnabled", QStringLiteral("yes"));
    set("RDR", "RDRListen", QStringLiteral("::1"));
    set("RDR", "RDRBinding0", QStringLiteral("8022 -> 22 build.lan"));
    set("RDR", "RDRBinding3", QStringLiteral("8443->443 10.0.0.5"));
    // Keys the daemon does not read stay too.
    set("Main", "Comment", QStringLiteral("kept"));
    set("Extra", "Anything", QStringLiteral("kept too"));
    const std::string before = ini_text(store, kFile);
    const auto read_before = as_the_daemon_reads(before);
    EXPECT_EQ(read_before.at("problems"), "0") << before;

    wizard.open();
    ASSERT_EQ(wizard.apply(), SaveResult::Saved);
    EXPECT_TRUE(boxes.calls.empty());
    const std::string after = ini_text(store, kFile);
    EXPECT_EQ(as_the_daemon_reads(after), read_before) << before << "\n----\n" << after;
    // The Advanced keys were not touched: their own spelling stays.
    EXPECT_EQ(get("DNS", "DNSBlock"), QStringLiteral("no"));
    EXPECT_EQ(get("HTTP", "HTTPIdleTimeout"), QStringLiteral(" 600 "));
    EXPECT_EQ(get("HTTP", "AdListFile99"), QStringLiteral("/srv/lists/hosts"));
    EXPECT_EQ(get("Main", "Comment"), QStringLiteral("kept"));
    EXPECT_EQ(get("Extra", "Anything"), QStringLiteral("kept too"));
}

TEST_F(EveryKey, AbsentAdvancedKeysShowTheDaemonsDefaultsAndStayAbsent) {
    wizard.open();
    const ConfigModel &m = wizard.model();
    for (const MoreSetting &setting : more_settings()) {
        if (setting.kind == SettingKind::List) continue;
        const valdrin::keys::Key *key =
            valdrin::keys::find_key(setting.section.toStdString(), setting.key.toStdString());
        ASSERT_NE(key, nullptr) << setting.key.toStdString();
        const QString fallback = QString::fromStdString(std::string(key->fallback));
        if (setting.kind == SettingKind::Check)
            EXPECT_EQ(m.more.value(setting.key), fallback == QLatin1String("true") ? QStringLiteral("true")
                                                                                   : QStringLiteral("false"));
        else
            EXPECT_EQ(m.more.value(setting.key), fallback) << setting.key.toStdString();
    }
    EXPECT_TRUE(m.list4.isEmpty());
    ASSERT_EQ(wizard.apply(), SaveResult::Saved);
    for (const MoreSetting &setting : more_settings())
        EXPECT_FALSE(store.has(kFile, setting.section, setting.key)) << setting.key.toStdString();
    EXPECT_FALSE(store.has(kFile, QStringLiteral("HTTP"), QStringLiteral("AdListFile0")));
}

TEST_F(EveryKey, TheKeyTableIsCoveredByTheFiveSectionsAndTheAdvancedOne) {
    // The five sections' keys, by their controls.
    const QStringList shown{"LogFile",     "ErrFile",    "AllowedHost", "Verbose",        "SocksEnabled",
                            "Socks4Allowed", "SocksPort", "SocksAccount", "HTTPEnabled",  "HTTPPort",
                            "HTTPSecure",  "AdHostsEnabled", "DNSEnabled", "DNSServer1",  "DNSServer2",
                            "RDREnabled",  "RDRBinding"};
    for (const valdrin::keys::Key &key : valdrin::keys::kKeys) {
        const QString name = QString::fromStdString(std::string(key.name));
        const MoreSetting *more = find_more_setting(name);
        EXPECT_TRUE(shown.contains(name) != (more != nullptr)) << key.name;
        if (more) {
            EXPECT_EQ(more->section.toStdString(), key.section);
        }
    }
}

TEST_F(EveryKey, ChangedAdvancedValuesAreWrittenAsTheControlsHoldThem) {
    set("DNS", "DNSBlock", QStringLiteral("yes"));
    wizard.open();
    ConfigModel &m = wizard.model();
    EXPECT_EQ(m.more.value(QStringLiteral("DNSBlock")), QStringLiteral("true"));
    m.more[QStringLiteral("DNSBlock")] = QStringLiteral("false");
    m.more[QStringLiteral("HTTPListen")] = QStringLiteral("192.168.0.1");
    m.more[QStringLiteral("AccessLog")] = QString();
    m.list4 = QStringList{QStringLiteral("a.txt"), QStringLiteral("b.txt")};
    ASSERT_EQ(wizard.apply(), SaveResult::Saved);
    EXPECT_EQ(get("DNS", "DNSBlock"), QStringLiteral("false"));
    EXPECT_EQ(get("HTTP", "HTTPListen"), QStringLiteral("192.168.0.1"));
    // Present and empty: no access log, which an absent key would not say.
    EXPECT_EQ(get("Main", "AccessLog"), QString());
    EXPECT_EQ(get("HTTP", "AdListFile0"), QStringLiteral("a.txt"));
    EXPECT_EQ(get("HTTP", "AdListFile1"), QStringLiteral("b.txt"));
    // A second Apply of the same values writes none of them again.
    store.writes.clear();
    ASSERT_EQ(wizard.apply(), SaveResult::Saved);
    EXPECT_FALSE(store.writes.contains(QStringLiteral("HTTP/HTTPListen")));
    m.list4.removeFirst();
    ASSERT_EQ(wizard.apply(), SaveResult::Saved);
    EXPECT_EQ(get("HTTP", "AdListFile0"), QStringLiteral("b.txt"));
    EXPECT_FALSE(store.has(kFile, QStringLiteral("HTTP"), QStringLiteral("AdListFile1")));
}

TEST_F(EveryKey, ARefusedFieldGetsTheDaemonsWordsAndStopsApplyBeforeAnyWrite) {
    wizard.open();
    wizard.model().more[QStringLiteral("HTTPMaxClients")] = QStringLiteral("lots");
    EXPECT_FALSE(wizard.check_setting(QStringLiteral("HTTPMaxClients")));
    EXPECT_EQ(wizard.visible_panel(), kAdvancedSection);
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].caption, QStringLiteral("HTTPMaxClients"));
    EXPECT_EQ(boxes.calls[0].icon, Icon::Exclamation);
    EXPECT_TRUE(boxes.calls[0].text.contains(QStringLiteral(
        "invalid HTTPMaxClients 'lots' in section HTTP: a whole number from 0 (no limit) to 2000000 is expected")))
        << boxes.calls[0].text.toStdString();

    QStringList saved;
    wizard.set_save_listener([&](const QString &file) { saved << file; });
    store.writes.clear();
    wizard.select_section(0);
    EXPECT_EQ(wizard.apply(), SaveResult::Refused);
    EXPECT_FALSE(wizard.ok());
    EXPECT_TRUE(store.writes.isEmpty());
    EXPECT_TRUE(saved.isEmpty());
    EXPECT_EQ(wizard.visible_panel(), kAdvancedSection);
    EXPECT_EQ(boxes.calls.size(), 3u);

    wizard.model().more[QStringLiteral("HTTPMaxClients")] = QStringLiteral("4000");
    EXPECT_TRUE(wizard.check_setting(QStringLiteral("HTTPMaxClients")));
    EXPECT_EQ(wizard.apply(), SaveResult::Saved);
    EXPECT_EQ(saved, QStringList{kFile});
    EXPECT_EQ(get("HTTP", "HTTPMaxClients"), QStringLiteral("4000"));
}

TEST_F(EveryKey, ListenAddressesPortsAndCountsAreCheckedAsTheDaemonReadsThem) {
    wizard.open();
    const std::pair<const char *, const char *> refused[] = {
        {"HTTPListen", "192.168.0.1, lan"}, {"SocksListen", "10.0.0.256"}, {"DNSPort", "65536"},
        {"DNSListen", "::g"},               {"DNSCacheSize", "1e4"},      {"DNSClientRate", "-5"},
        {"RDRListen", "localhost"},         {"HTTPHeaderTimeout", "30s"},
    };
    for (auto [key, value] : refused) {
        wizard.model().more[QLatin1String(key)] = QLatin1String(value);
        EXPECT_FALSE(wizard.check_setting(QLatin1String(key))) << key << "=" << value;
        wizard.model().more[QLatin1String(key)] = wizard.model().more_loaded.value(QLatin1String(key));
    }
    EXPECT_EQ(boxes.calls.size(), std::size(refused));
    const std::pair<const char *, const char *> taken[] = {
        {"HTTPListen", "192.168.0.1, [fe80::1%lo]"}, {"DNSPort", "0"}, {"DNSHostsFile", "/nowhere"},
        {"AccessLog", ""}, {"HTTPMaxWaiting", "0"},
    };
    for (auto [key, value] : taken) {
        wizard.model().more[QLatin1String(key)] = QLatin1String(value);
        EXPECT_TRUE(wizard.check_setting(QLatin1String(key))) << key << "=" << value;
    }
    EXPECT_EQ(boxes.calls.size(), std::size(refused));
}

TEST_F(EveryKey, KeysThatWaitForARestartAreTheChangedOnesOfThatKind) {
    wizard.open();
    EXPECT_TRUE(wizard.restart_keys_changed().isEmpty());
    ConfigModel &m = wizard.model();
    m.text5 = QStringLiteral("8080");
    m.more[QStringLiteral("DNSListen")] = QStringLiteral("127.0.0.1");
    m.more[QStringLiteral("HTTPIdleTimeout")] = QStringLiteral("60");  // taken at a reload
    m.check1 = true;
    EXPECT_EQ(wizard.restart_keys_changed(), (QStringList{"HTTPPort", "DNSListen"}));
    ASSERT_EQ(wizard.apply(), SaveResult::Saved);
    EXPECT_EQ(wizard.saved_restart_keys(), (QStringList{"HTTPPort", "DNSListen"}));
    // Saved: the next Apply starts from there.
    EXPECT_TRUE(wizard.restart_keys_changed().isEmpty());
}

// The list editors

struct CheckedLists : ::testing::Test {
    ConfigModel model;
    ScriptedPrompter prompts;
    ScriptedBoxes boxes;
    QTemporaryDir folder;
    ListEditors editors{model, prompts, boxes, SettingRules(folder.path())};
};

TEST_F(CheckedLists, ARefusedHostIsSaidWithTheDaemonsReasonAndAskedAgain) {
    prompts.then(QStringLiteral("192.168.1.300")).then(QStringLiteral("192.168.1.*"));
    editors.add_allowed_host();
    EXPECT_EQ(model.list1, QStringList{QStringLiteral("192.168.1.*")});
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].caption, QStringLiteral("AllowedHosts"));
    EXPECT_TRUE(boxes.calls[0].text.contains(QStringLiteral("allow-list entry '192.168.1.300' skipped: ")))
        << boxes.calls[0].text.toStdString();
    // The refused answer is offered again, to be mended.
    ASSERT_EQ(prompts.calls.size(), 2u);
    EXPECT_EQ(prompts.calls[1].default_text, QStringLiteral("192.168.1.300"));

    prompts.then(QStringLiteral("10.0.0.0/33")).then(QString());
    editors.add_allowed_host();
    EXPECT_EQ(model.list1.size(), 1);
    EXPECT_TRUE(boxes.calls.back().text.contains(QStringLiteral("the length of a prefix")));
    for (const char *entry : {"fd00::/8", "10.1.2.3", "printer.lan", "2001:db8::1"}) {
        prompts.then(QLatin1String(entry));
        editors.add_allowed_host();
    }
    EXPECT_EQ(model.list1.size(), 5);
    EXPECT_EQ(boxes.calls.size(), 2u);
}

TEST_F(CheckedLists, AFullListTakesNoMoreEntries) {
    for (int i = 0; i < 201; ++i) model.list1 << QStringLiteral("10.0.%1.%2").arg(i / 250).arg(i % 250);
    editors.add_allowed_host();  // no prompt: the script would throw
    EXPECT_EQ(model.list1.size(), 201);
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_TRUE(boxes.calls[0].text.contains(QStringLiteral("at most 201 entries")));
    for (int i = 0; i < kListFileKeys; ++i) model.list4 << QStringLiteral("l%1").arg(i);
    editors.add_list_file();
    EXPECT_TRUE(boxes.calls.back().text.contains(QStringLiteral("at most 100 entries")));
}

TEST_F(CheckedLists, ListFilesMustBeReadableFromTheConfigurationsFolder) {
    QFile list(QDir(folder.path()).filePath(QStringLiteral("easylist.txt")));
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.write("||ads.example^\n");
    list.close();
    prompts.then(QStringLiteral("missing.txt")).then(QStringLiteral("easylist.txt"));
    editors.add_list_file();
    EXPECT_EQ(model.list4, QStringList{QStringLiteral("easylist.txt")});
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].caption, QStringLiteral("AdListFiles"));
    EXPECT_TRUE(boxes.calls[0].text.contains(QStringLiteral("'missing.txt' in section HTTP cannot be read")))
        << boxes.calls[0].text.toStdString();

    // Edit offers the line, and takes an absolute name too.
    prompts.then(list.fileName());
    editors.edit_list_file({0});
    EXPECT_EQ(prompts.calls.back().default_text, QStringLiteral("easylist.txt"));
    EXPECT_EQ(model.list4, QStringList{list.fileName()});
    // Cancel keeps the line; an edit with nothing selected asks nothing.
    prompts.then(QString());
    editors.edit_list_file({0});
    editors.edit_list_file({});
    EXPECT_EQ(model.list4, QStringList{list.fileName()});
    model.list4 << QStringLiteral("b") << QStringLiteral("c");
    editors.delete_list_files({0, 2});
    EXPECT_EQ(model.list4, QStringList{QStringLiteral("b")});
}

}  // namespace
}  // namespace kel::wizard
