#include "ini_file_store.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "config_file.h"
#include "fakes.h"

namespace kel::wizard {
namespace {

using testing::ScriptedBoxes;

QByteArray slurp(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void spill(const QString &path, const QByteArray &content) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

struct IniFiles : ::testing::Test {
    QTemporaryDir dir;
    QString conf = dir.filePath(QStringLiteral("valdrin.conf"));
    QString defaults = dir.filePath(QStringLiteral("valdrin.conf.default"));
    IniFileStore store;
    ScriptedBoxes boxes;
    ConfigFile file{store, boxes};
    ConfigModel model;

    void TearDown() override {
        QFile::setPermissions(conf, QFile::ReadOwner | QFile::WriteOwner);
    }
};

TEST_F(IniFiles, FirstSaveCreatesTheFileAndItReadsBackTheSame) {
    file.LoadConfig(conf, model);
    model.list1 = QStringList{QStringLiteral("192.168.0.*"), QStringLiteral("*")};
    model.list2 = QStringList{QStringLiteral("bob"), QStringLiteral("amy")};
    model.account_table = {{QStringLiteral("bob"), QStringLiteral("7E720BD054768A309CA76B612C004716410CC849")},
                           {QStringLiteral("amy"), kNoPassword}};
    model.list3 = QStringList{QStringLiteral("8080->80 10.0.0.2")};
    model.redirection_table[8080] = {80, QStringLiteral("10.0.0.2")};
    model.check4 = model.check8 = true;
    model.text5 = QStringLiteral("8000");
    model.text1 = QString::fromUtf8("journal-été.txt");
    ASSERT_EQ(file.SaveConfig(conf, model), SaveResult::Saved);

    const QByteArray text = slurp(conf);
    EXPECT_TRUE(text.contains("[HTTP]")) << text.constData();
    EXPECT_TRUE(text.contains("HTTPEnabled=true"));
    EXPECT_TRUE(text.contains("SocksAccount0=bob7E720BD054768A309CA76B612C004716410CC849"));
    EXPECT_TRUE(text.contains("SocksAccount1=amy<none>"));
    EXPECT_TRUE(text.contains("RDRBinding0=8080 -> 80 10.0.0.2"));
    EXPECT_FALSE(text.contains("AllowedHost2"));

    ConfigModel again;
    file.LoadConfig(conf, again);
    EXPECT_EQ(again.list1, model.list1);
    EXPECT_EQ(again.list2, model.list2);
    EXPECT_EQ(again.list3, QStringList{QStringLiteral("8080 -> 80 10.0.0.2")});
    EXPECT_EQ(again.text1, model.text1);
    EXPECT_EQ(again.text5, QStringLiteral("8000"));
    EXPECT_TRUE(again.check4 && again.check8 && !again.check5);
    EXPECT_TRUE(boxes.calls.empty());
}

TEST_F(IniFiles, NamesMatchWithoutCaseAndOtherLinesSurviveASave) {
    spill(conf, "; kept comment\n[main]\nlogfile=mine.log\nallowedhost3=10.*\n"
                "[Extra]\nOwnKey=keep me\n[http]\nhttpport=3129\n");
    file.LoadConfig(conf, model);
    EXPECT_EQ(model.text1, QStringLiteral("mine.log"));
    EXPECT_EQ(model.text5, QStringLiteral("3129"));
    EXPECT_EQ(model.list1, QStringList{QStringLiteral("10.*")});
    ASSERT_EQ(file.SaveConfig(conf, model), SaveResult::Saved);
    const QByteArray text = slurp(conf);
    EXPECT_TRUE(text.contains("; kept comment"));
    EXPECT_TRUE(text.contains("OwnKey=keep me"));
    EXPECT_FALSE(text.contains("allowedhost3"));
    EXPECT_EQ(text.count("[Main]") + text.count("[main]"), 1);
    ConfigModel again;
    file.LoadConfig(conf, again);
    EXPECT_EQ(again.list1, QStringList{QStringLiteral("10.*")});
}

TEST_F(IniFiles, ReadOnlyFileFailsOnceAndKeepsItsContent) {
    file.LoadConfig(conf, model);
    ASSERT_EQ(file.SaveConfig(conf, model), SaveResult::Saved);
    const QByteArray before = slurp(conf);
    ASSERT_TRUE(QFile::setPermissions(conf, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    model.text1 = QStringLiteral("changed.log");
    EXPECT_EQ(file.SaveConfig(conf, model), SaveResult::WriteFailed);
    EXPECT_TRUE(file.write_failed());
    EXPECT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(slurp(conf), before);
    ASSERT_TRUE(QFile::setPermissions(conf, QFile::ReadOwner | QFile::WriteOwner));
    EXPECT_EQ(file.SaveConfig(conf, model), SaveResult::Saved);
    EXPECT_TRUE(slurp(conf).contains("LogFile=changed.log"));
}

TEST_F(IniFiles, AFailedSaveNamesTheFileAndWhy) {
    file.LoadConfig(conf, model);
    ASSERT_EQ(file.SaveConfig(conf, model), SaveResult::Saved);
    ASSERT_TRUE(QFile::setPermissions(conf, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    model.text1 = QStringLiteral("changed.log");
    EXPECT_EQ(file.SaveConfig(conf, model), SaveResult::WriteFailed);
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].text, QStringLiteral("An error has occured while writing to the configuration file\n"
                                                  "Please make sure you have sufficient privileges to modify it.\n\n"
                                                  "%1: the file is read-only for this user.")
                                       .arg(conf));
    // A folder that is not there: the new file can't be made beside the old.
    const QString lost = dir.filePath(QStringLiteral("gone/valdrin.conf"));
    EXPECT_EQ(file.SaveConfig(lost, model), SaveResult::WriteFailed);
    ASSERT_EQ(boxes.calls.size(), 2u);
    EXPECT_TRUE(boxes.calls[1].text.endsWith(
        QStringLiteral("%1: replacing it failed (2: No such file or directory).").arg(lost)))
        << boxes.calls[1].text.toStdString();
}

TEST_F(IniFiles, KeysBeforeAFailedWriteStayWrittenAndLaterOnesDoNot) {
    spill(conf, "[Main]\nLogFile=old.log\n[HTTP]\nHTTPPort=3128\n");
    file.LoadConfig(conf, model);
    model.text1 = QStringLiteral("new.log");
    model.text2 = QStringLiteral("two\nlines");  // a value the file format can't hold
    model.text5 = QStringLiteral("8000");
    EXPECT_EQ(file.SaveConfig(conf, model), SaveResult::WriteFailed);
    EXPECT_EQ(boxes.calls.size(), 1u);
    const QByteArray text = slurp(conf);
    EXPECT_TRUE(text.contains("LogFile=new.log")) << text.constData();
    EXPECT_TRUE(text.contains("HTTPPort=3128"));
    EXPECT_FALSE(text.contains("ErrFile"));
}

TEST_F(IniFiles, RestoreCopiesTheDefaultFileByteForByte) {
    const QByteArray factory = "[HTTP]\r\nHTTPEnabled=true\r\nHTTPPort=3128\r\n; factory\r\n";
    spill(defaults, factory);
    spill(conf, "[HTTP]\nHTTPPort=1\n");
    file.LoadConfig(conf, model);
    ASSERT_TRUE(file.restore_defaults(defaults, conf, model));
    EXPECT_EQ(slurp(conf), factory);
    EXPECT_TRUE(model.check4);
    EXPECT_EQ(model.text5, QStringLiteral("3128"));
}

TEST_F(IniFiles, RestoreWithoutDefaultFileOrOverAReadOnlyFileChangesNothing) {
    spill(conf, "[HTTP]\nHTTPPort=1\n");
    file.LoadConfig(conf, model);
    model.text1 = QStringLiteral("unsaved");
    EXPECT_FALSE(file.restore_defaults(defaults, conf, model));
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_TRUE(boxes.calls[0].text.contains(QStringLiteral("the default file is missing")));

    spill(defaults, "[HTTP]\nHTTPPort=3128\n");
    ASSERT_TRUE(QFile::setPermissions(conf, QFile::ReadOwner));
    EXPECT_FALSE(file.restore_defaults(defaults, conf, model));
    ASSERT_EQ(boxes.calls.size(), 2u);
    EXPECT_TRUE(boxes.calls[1].text.contains(QStringLiteral("read-only")));
    EXPECT_EQ(slurp(conf), QByteArray("[HTTP]\nHTTPPort=1\n"));
    EXPECT_EQ(model.text1, QStringLiteral("unsaved"));
    EXPECT_EQ(model.text5, QStringLiteral("1"));
}

TEST_F(IniFiles, FullSaveOfLongListsStaysQuick) {
    file.LoadConfig(conf, model);
    for (int i = 0; i < 201; ++i) model.list1 << QStringLiteral("10.0.%1.*").arg(i);
    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(file.SaveConfig(conf, model), SaveResult::Saved);
    ASSERT_EQ(file.SaveConfig(conf, model), SaveResult::Saved);
    const qint64 two_saves_ms = clock.elapsed();
    RecordProperty("two_saves_ms", static_cast<int>(two_saves_ms));
    // One atomic rewrite per save, not one per key (about 600 here).
    EXPECT_LT(two_saves_ms, 3000);
    file.LoadConfig(conf, model);
    EXPECT_EQ(model.list1.size(), 201);
}

}  // namespace
}  // namespace kel::wizard
