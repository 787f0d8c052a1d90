#include "config_file.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace kel::wizard {
namespace {

using testing::FakeStore;
using testing::ScriptedBoxes;

const QString kFile = QStringLiteral("/conf/valdrin.conf");

struct FileModel : ::testing::Test {
    FakeStore store;
    ScriptedBoxes boxes;
    ConfigFile file{store, boxes};
    ConfigModel model;

    void load() { file.LoadConfig(kFile, model); }
    QString get(const char *section, const QString &key) { return store.get(kFile, QLatin1String(section), key); }
    QString get(const char *section, const char *key) { return get(section, QLatin1String(key)); }
};

TEST_F(FileModel, AbsentFileLoadsTheWizardDefaults) {
    model.check1 = model.check4 = true;
    model.list1 << QStringLiteral("stale");
    model.account_table.push_back({QStringLiteral("x"), kNoPassword});
    load();
    EXPECT_EQ(model.text1, QStringLiteral("log.txt"));
    EXPECT_EQ(model.text2, QStringLiteral("err.txt"));
    EXPECT_EQ(model.text3, QStringLiteral("1080"));
    EXPECT_EQ(model.text5, QStringLiteral("3128"));
    EXPECT_EQ(model.text6, QStringLiteral("0.0.0.0"));
    EXPECT_EQ(model.text8, QStringLiteral("0.0.0.0"));
    EXPECT_FALSE(model.check1 || model.check3 || model.check4 || model.check5 || model.check6 || model.check7 ||
                 model.check8 || model.check9);
    EXPECT_TRUE(model.list1.isEmpty() && model.list2.isEmpty() && model.list3.isEmpty());
    EXPECT_TRUE(model.account_table.empty());
}

TEST_F(FileModel, PresentEmptyValueIsNotReplacedByTheDefault) {
    store.set(kFile, QStringLiteral("main"), QStringLiteral("logfile"), QString());
    load();
    EXPECT_EQ(model.text1, QString());
    EXPECT_EQ(model.text2, QStringLiteral("err.txt"));
}

// A value is cut where the daemon cuts it, not shorter: a value cut on
// reading would be written back cut.
TEST_F(FileModel, LongValuesAreCutWhereTheDaemonCutsThem) {
    store.set(kFile, QStringLiteral("Main"), QStringLiteral("LogFile"), QString(200, QLatin1Char('L')));
    store.set(kFile, QStringLiteral("Main"), QStringLiteral("ErrFile"), QString(1100, QLatin1Char('E')));
    load();
    EXPECT_EQ(model.text1, QString(200, QLatin1Char('L')));
    EXPECT_EQ(model.text2, QString(1023, QLatin1Char('E')));
    ASSERT_EQ(file.SaveConfig(kFile, model), SaveResult::Saved);
    EXPECT_EQ(get("Main", "LogFile"), QString(200, QLatin1Char('L')));
}

// Every spelling the daemon takes as true (a value beginning with T or Y,
// blanks trimmed) loads checked, so that Apply writes back what the daemon
// read; Apply writes "true" or "false".
TEST_F(FileModel, BooleansLoadAsTheDaemonReadsThem) {
    const std::pair<const char *, bool> cases[] = {
        {"True", true}, {"TRUE", true}, {"tRuE", true}, {"yes", true},  {"Y", true},      {"T", true},
        {"y", true},    {" true", true}, {"1", false},  {"no", false},  {"false", false}, {"", false},
        {"on", false},  {" ", false}};
    for (auto [value, checked] : cases) {
        store.set(kFile, QStringLiteral("Main"), QStringLiteral("Verbose"), QLatin1String(value));
        load();
        EXPECT_EQ(model.check1, checked) << value;
    }
    // The README's own spelling survives an Apply, for each boolean.
    const std::pair<const char *, const char *> keys[] = {{"HTTP", "HTTPEnabled"}, {"HTTP", "AdHostsEnabled"},
                                                          {"Socks", "SocksEnabled"}, {"DNS", "DNSEnabled"},
                                                          {"RDR", "RDREnabled"}, {"HTTP", "HTTPSecure"}};
    for (auto [section, key] : keys)
        store.set(kFile, QLatin1String(section), QLatin1String(key), QStringLiteral("yes"));
    load();
    ASSERT_EQ(file.SaveConfig(kFile, model), SaveResult::Saved);
    for (auto [section, key] : keys) EXPECT_EQ(get(section, key), QStringLiteral("true")) << key;
}

TEST_F(FileModel, GapsCloseUpOnSave) {
    store.set(kFile, QStringLiteral("Main"), QStringLiteral("AllowedHost3"), QStringLiteral("192.168.1.*"));
    store.set(kFile, QStringLiteral("Main"), QStringLiteral("AllowedHost7"), QStringLiteral("*"));
    store.set(kFile, QStringLiteral("Main"), QStringLiteral("AllowedHost5"), QString());
    load();
    EXPECT_EQ(model.list1, (QStringList{QStringLiteral("192.168.1.*"), QStringLiteral("*")}));
    ASSERT_EQ(file.SaveConfig(kFile, model), SaveResult::Saved);
    EXPECT_EQ(get("Main", "AllowedHost0"), QStringLiteral("192.168.1.*"));
    EXPECT_EQ(get("Main", "AllowedHost1"), QStringLiteral("*"));
    EXPECT_FALSE(store.has(kFile, QStringLiteral("Main"), QStringLiteral("AllowedHost3")));
    EXPECT_FALSE(store.has(kFile, QStringLiteral("Main"), QStringLiteral("AllowedHost7")));
    EXPECT_FALSE(store.has(kFile, QStringLiteral("Main"), QStringLiteral("AllowedHost5")));
}

TEST_F(FileModel, ListsBeyond201LinesAreWrittenWholeButReadOnlyTo200) {
    for (int i = 0; i < 205; ++i) model.list1 << QStringLiteral("10.0.%1.*").arg(i);
    model.text1 = QStringLiteral("l");
    ASSERT_EQ(file.SaveConfig(kFile, model), SaveResult::Saved);
    EXPECT_EQ(get("Main", "AllowedHost204"), QStringLiteral("10.0.204.*"));
    load();
    ASSERT_EQ(model.list1.size(), 201);
    EXPECT_EQ(model.list1.last(), QStringLiteral("10.0.200.*"));
    // Saving the shorter list leaves the keys past 200 in place.
    model.list1 = QStringList{QStringLiteral("a")};
    ASSERT_EQ(file.SaveConfig(kFile, model), SaveResult::Saved);
    EXPECT_FALSE(store.has(kFile, QStringLiteral("Main"), QStringLiteral("AllowedHost1")));
    EXPECT_TRUE(store.has(kFile, QStringLiteral("Main"), QStringLiteral("AllowedHost203")));
}

TEST_F(FileModel, AccountValuesSplitIntoNameAndHash) {
    const QString hash = QStringLiteral("A9993E364706816ABA3E25717850C26C9CD0D89D");
    store.set(kFile, QStringLiteral("Socks"), QStringLiteral("SocksAccount0"), QStringLiteral("bob<none>"));
    store.set(kFile, QStringLiteral("Socks"), QStringLiteral("SocksAccount1"), QStringLiteral("x") + hash);
    store.set(kFile, QStringLiteral("Socks"), QStringLiteral("SocksAccount2"), QStringLiteral("alice ") + hash);
    load();
    EXPECT_EQ(model.list2, (QStringList{QStringLiteral("bob"), QStringLiteral("x"), QStringLiteral("alice ")}));
    ASSERT_EQ(model.account_table.size(), 3u);
    EXPECT_EQ(model.account_table[0].hash, kNoPassword);
    EXPECT_EQ(model.account_table[1].hash, hash);
    EXPECT_EQ(model.account_table[2].name, QStringLiteral("alice "));
    ASSERT_EQ(file.SaveConfig(kFile, model), SaveResult::Saved);
    EXPECT_EQ(get("Socks", "SocksAccount1"), QStringLiteral("x") + hash);
    EXPECT_EQ(get("Socks", "SocksAccount0"), QStringLiteral("bob<none>"));
}

TEST_F(FileModel, AccountValueShorterThanSixCharactersIsSkipped) {
    store.set(kFile, QStringLiteral("Socks"), QStringLiteral("SocksAccount0"), QStringLiteral("ab"));
    store.set(kFile, QStringLiteral("Socks"), QStringLiteral("SocksAccount1"), QStringLiteral("<none"));
    store.set(kFile, QStringLiteral("Socks"), QStringLiteral("SocksAccount2"), QStringLiteral("eve<none>"));
    load();
    EXPECT_EQ(model.list2, QStringList{QStringLiteral("eve")});
    EXPECT_EQ(model.account_table.size(), 1u);
    EXPECT_FALSE(split_account(QStringLiteral("12345")).has_value());
    ASSERT_TRUE(split_account(QStringLiteral("<none>")).has_value());
    EXPECT_EQ(split_account(QStringLiteral("<none>"))->name, QString());
}

TEST_F(FileModel, RedirectionsAreReadLenientlyAndWrittenCanonically) {
    store.set(kFile, QStringLiteral("RDR"), QStringLiteral("RDRBinding0"), QStringLiteral("8080->80 10.0.0.2"));
    store.set(kFile, QStringLiteral("RDR"), QStringLiteral("RDRBinding1"), QStringLiteral(" 2121 21  ftp.lan  "));
    store.set(kFile, QStringLiteral("RDR"), QStringLiteral("RDRBinding2"), QStringLiteral("00080 -> 80 x"));
    store.set(kFile, QStringLiteral("RDR"), QStringLiteral("RDRBinding3"), QStringLiteral("0 -> 80 x"));
    store.set(kFile, QStringLiteral("RDR"), QStringLiteral("RDRBinding4"), QStringLiteral("8081 -> 70000 x"));
    store.set(kFile, QStringLiteral("RDR"), QStringLiteral("RDRBinding5"), QStringLiteral("99 -> 53"));
    store.set(kFile, QStringLiteral("RDR"), QStringLiteral("RDRBinding6"), QStringLiteral("x 99 -> 53"));
    load();
    EXPECT_EQ(model.list3, (QStringList{QStringLiteral("8080->80 10.0.0.2"), QStringLiteral("2121 21  ftp.lan"),
                                        QStringLiteral("00080 -> 80 x"), QStringLiteral("99 -> 53")}));
    EXPECT_EQ(model.redirection(8080).dest_port, 80);
    EXPECT_EQ(model.redirection(8080).host, QStringLiteral("10.0.0.2"));
    EXPECT_EQ(model.redirection(2121).host, QStringLiteral("ftp.lan"));
    EXPECT_EQ(model.redirection(80).host, QStringLiteral("x"));
    EXPECT_EQ(model.redirection(99).host, QString());
    ASSERT_EQ(file.SaveConfig(kFile, model), SaveResult::Saved);
    EXPECT_EQ(get("RDR", "RDRBinding0"), QStringLiteral("8080 -> 80 10.0.0.2"));
    EXPECT_EQ(get("RDR", "RDRBinding1"), QStringLiteral("2121 -> 21 ftp.lan"));
    EXPECT_EQ(get("RDR", "RDRBinding2"), QStringLiteral("80 -> 80 x"));
    EXPECT_EQ(get("RDR", "RDRBinding3"), QStringLiteral("99 -> 53 "));
    // The values the list cannot show are kept, after the shown ones: they
    // were the administrator's, and the daemon skips them with a word.
    EXPECT_EQ(get("RDR", "RDRBinding4"), QStringLiteral("0 -> 80 x"));
    EXPECT_EQ(get("RDR", "RDRBinding5"), QStringLiteral("8081 -> 70000 x"));
    EXPECT_EQ(get("RDR", "RDRBinding6"), QStringLiteral("x 99 -> 53"));
    EXPECT_FALSE(store.has(kFile, QStringLiteral("RDR"), QStringLiteral("RDRBinding7")));
}

TEST_F(FileModel, RedirectionPortsMustLieWithin1To65535) {
    EXPECT_TRUE(parse_redirection(QStringLiteral("65535 -> 1 h")).has_value());
    EXPECT_FALSE(parse_redirection(QStringLiteral("65536 -> 1 h")).has_value());
    EXPECT_FALSE(parse_redirection(QStringLiteral("1 -> 65536 h")).has_value());
    EXPECT_FALSE(parse_redirection(QStringLiteral("1 -> h")).has_value());
    EXPECT_FALSE(parse_redirection(QStringLiteral("99999999999999999999 -> 1 h")).has_value());
    auto digits_host = parse_redirection(QStringLiteral("5 - 6 7host"));
    ASSERT_TRUE(digits_host.has_value());
    EXPECT_EQ(digits_host->record.dest_port, 6);
    EXPECT_EQ(digits_host->record.host, QStringLiteral("7host"));
}

TEST_F(FileModel, SaveWritesEveryKeyInOrder) {
    load();
    model.list1 << QStringLiteral("h");
    model.list2 << QStringLiteral("u");
    model.account_table.push_back({QStringLiteral("u"), kNoPassword});
    model.list3 << QStringLiteral("1 -> 2 h");
    model.redirection_table[1] = {2, QStringLiteral("h")};
    model.check4 = true;
    ASSERT_EQ(file.SaveConfig(kFile, model), SaveResult::Saved);
    EXPECT_EQ(store.writes,
              (QStringList{"Main/LogFile", "Main/ErrFile", "Main/AllowedHost0", "Main/Verbose", "Socks/SocksEnabled",
                           "Socks/Socks4Allowed", "Socks/SocksPort", "Socks/SocksAccount0", "HTTP/HTTPEnabled",
                           "HTTP/HTTPPort", "HTTP/HTTPSecure", "HTTP/AdHostsEnabled", "DNS/DNSEnabled",
                           "DNS/DNSServer1", "DNS/DNSServer2", "RDR/RDREnabled", "RDR/RDRBinding0"}));
    EXPECT_EQ(get("HTTP", "HTTPEnabled"), QStringLiteral("true"));
    EXPECT_EQ(get("HTTP", "HTTPSecure"), QStringLiteral("false"));
    EXPECT_TRUE(boxes.calls.empty());
}

TEST_F(FileModel, WriteFailureStopsTheSaveAndRaisesTheFlag) {
    load();
    model.text1 = QStringLiteral("mine.log");
    model.text5 = QStringLiteral("8000");
    store.fail_key = QStringLiteral("ErrFile");
    EXPECT_EQ(file.SaveConfig(kFile, model), SaveResult::WriteFailed);
    EXPECT_TRUE(file.write_failed());
    EXPECT_EQ(get("Main", "LogFile"), QStringLiteral("mine.log"));
    EXPECT_EQ(store.writes, QStringList{QStringLiteral("Main/LogFile")});
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].text, QStringLiteral("An error has occured while writing to the configuration file\n"
                                                  "Please make sure you have sufficient privileges to modify it."));
    EXPECT_EQ(boxes.calls[0].icon, Icon::Critical);
    EXPECT_EQ(boxes.calls[0].caption, QString());
    // The flag is lowered at the start of the next save.
    store.fail_key.clear();
    EXPECT_EQ(file.SaveConfig(kFile, model), SaveResult::Saved);
    EXPECT_FALSE(file.write_failed());
    EXPECT_EQ(get("HTTP", "HTTPPort"), QStringLiteral("8000"));
}

TEST_F(FileModel, FailedFinalRewriteIsReportedOnce) {
    load();
    store.fail_commit = true;
    EXPECT_EQ(file.SaveConfig(kFile, model), SaveResult::WriteFailed);
    EXPECT_TRUE(file.write_failed());
    EXPECT_EQ(boxes.calls.size(), 1u);
    // A key that failed already said so; the rewrite adds no second message.
    store.fail_key = QStringLiteral("Verbose");
    EXPECT_EQ(file.SaveConfig(kFile, model), SaveResult::WriteFailed);
    EXPECT_EQ(boxes.calls.size(), 2u);
    EXPECT_EQ(store.batches, 2);
}

TEST_F(FileModel, FailedRemovalOfAFamilyKeyStopsTheSave) {
    load();
    store.fail_key = QStringLiteral("SocksAccount17");
    EXPECT_EQ(file.SaveConfig(kFile, model), SaveResult::WriteFailed);
    EXPECT_EQ(store.writes.last(), QStringLiteral("Socks/SocksPort"));
    EXPECT_EQ(file.IniDelete(QStringLiteral("Socks"), QStringLiteral("SocksAccount17"), kFile), 1);
    EXPECT_EQ(file.IniDelete(QStringLiteral("Socks"), QStringLiteral("SocksAccount16"), kFile), 0);
}

TEST_F(FileModel, ListedNameWithoutRecordEndsTheSaveWithInternalError) {
    load();
    model.list2 << QStringLiteral("ghost");
    EXPECT_EQ(file.SaveConfig(kFile, model), SaveResult::InternalError);
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].text, QStringLiteral("Internal error 'SAVECFG'."));
    EXPECT_FALSE(store.has(kFile, QStringLiteral("HTTP"), QStringLiteral("HTTPPort")));
}

TEST_F(FileModel, RestoreDefaultsCopiesAndReloads) {
    const QString defaults = QStringLiteral("/prog/valdrin.conf.default");
    store.set(defaults, QStringLiteral("HTTP"), QStringLiteral("HTTPPort"), QStringLiteral("8888"));
    store.set(kFile, QStringLiteral("HTTP"), QStringLiteral("HTTPPort"), QStringLiteral("1234"));
    load();
    model.text1 = QStringLiteral("unsaved edit");
    ASSERT_TRUE(file.restore_defaults(defaults, kFile, model));
    EXPECT_EQ(model.text5, QStringLiteral("8888"));
    EXPECT_EQ(model.text1, QStringLiteral("log.txt"));
    EXPECT_EQ(get("HTTP", "HTTPPort"), QStringLiteral("8888"));
}

TEST_F(FileModel, FailedRestoreKeepsTheWindowStateAndSaysWhy) {
    store.set(kFile, QStringLiteral("HTTP"), QStringLiteral("HTTPPort"), QStringLiteral("1234"));
    load();
    model.text1 = QStringLiteral("unsaved edit");
    model.list1 << QStringLiteral("10.*");
    EXPECT_FALSE(file.restore_defaults(QStringLiteral("/prog/missing.default"), kFile, model));
    EXPECT_EQ(model.text1, QStringLiteral("unsaved edit"));
    EXPECT_EQ(model.list1, QStringList{QStringLiteral("10.*")});
    EXPECT_EQ(get("HTTP", "HTTPPort"), QStringLiteral("1234"));
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_TRUE(boxes.calls[0].text.contains(QStringLiteral("/prog/missing.default")));
    EXPECT_EQ(boxes.calls[0].icon, Icon::Critical);
}

}  // namespace
}  // namespace kel::wizard
