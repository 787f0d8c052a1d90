// The component adapter beyond its five entries: the reload it may offer,
// and the daemon's files it reads for the agent.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "core/library_activity.h"
#include "fakes.h"

namespace valdrin::tray::testing {
namespace {

QString fake_path(const char *name) { return QDir(QStringLiteral(FAKE_ACTIVITY_DIR)).filePath(QLatin1String(name)); }

void write_file(const QString &path, const QByteArray &content) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(content);
}

QString explained(LibraryActivity &activity) {
    QString reason;
    int calls = 0;
    activity.explain_stop([&](const QString &r) {
        reason = r;
        ++calls;
    });
    EXPECT_EQ(calls, 1);
    return reason;
}

TEST(LibraryReload, CallsTheEntryAndGivesItsVerdict) {
    FakeLibraryControl control(fake_path(FAKE_ACTIVITY_NAME));
    ASSERT_TRUE(control.ok());
    LibraryActivity activity(QStringLiteral(FAKE_ACTIVITY_DIR), QStringLiteral(FAKE_ACTIVITY_NAME));
    control.set_reload_verdict(1);
    EXPECT_EQ(activity.reload(), ReloadResult::Reloaded);
    EXPECT_EQ(control.log(), QStringLiteral("reload(1)"));
    control.set_reload_verdict(2);
    EXPECT_EQ(activity.reload(), ReloadResult::RestartNeeded);
    control.set_reload_verdict(3);
    EXPECT_EQ(activity.reload(), ReloadResult::Refused);
    control.set_reload_verdict(0);
    EXPECT_EQ(activity.reload(), ReloadResult::Failed);
    // A number the agent does not know is no success.
    control.set_reload_verdict(7);
    EXPECT_EQ(activity.reload(), ReloadResult::Failed);
    control.set_reload_verdict(-1);
    EXPECT_EQ(activity.reload(), ReloadResult::Failed);
}

TEST(LibraryReload, AnOlderComponentWithoutTheEntryStillServesTheFive) {
    LibraryActivity activity(QStringLiteral(FAKE_ACTIVITY_DIR), QStringLiteral(OLD_ACTIVITY_NAME));
    EXPECT_EQ(activity.poll(), quint16{0});
    EXPECT_TRUE(activity.failure().isEmpty()) << activity.failure().toStdString();
    EXPECT_EQ(activity.reload(), ReloadResult::Unsupported);
    EXPECT_EQ(activity.poll(), quint16{0});
}

TEST(LibraryReload, NoComponentNoReload) {
    QTemporaryDir empty;
    LibraryActivity activity(empty.path());
    EXPECT_EQ(activity.reload(), ReloadResult::Unsupported);
    EXPECT_FALSE(activity.failure().isEmpty());
}

class LibraryFiles : public ::testing::Test {
protected:
    QString file(const char *name) const { return QDir(run.path()).filePath(QLatin1String(name)); }
    QTemporaryDir run;
    QTemporaryDir empty;  // no component needed for the files
    LibraryActivity activity{empty.path(), QString::fromLatin1(kActivityLibrary), run.path()};
};

TEST_F(LibraryFiles, TheStatusAddressIsTheFirstHttpLineOfThePortsFile) {
    StatusAddress where = activity.status_address();
    EXPECT_TRUE(where.address.isEmpty());
    EXPECT_TRUE(where.why_unknown.startsWith(file("valdrin_proxy.ports") + QStringLiteral(" cannot be read")))
        << where.why_unknown.toStdString();

    write_file(file("valdrin_proxy.ports"), "socks [::]:1080\nhttp [::]:3128\nhttp 127.0.0.1:3129\ndns 127.0.0.1:53\n");
    where = activity.status_address();
    EXPECT_EQ(where.address, QStringLiteral("[::1]:3128"));
    EXPECT_TRUE(where.why_unknown.isEmpty());

    write_file(file("valdrin_proxy.ports"), "http 0.0.0.0:8000\n");
    EXPECT_EQ(activity.status_address().address, QStringLiteral("127.0.0.1:8000"));

    write_file(file("valdrin_proxy.ports"), "socks [::]:1080\n");
    where = activity.status_address();
    EXPECT_TRUE(where.address.isEmpty());
    EXPECT_EQ(where.why_unknown, file("valdrin_proxy.ports") + QStringLiteral(" names no HTTP proxy address"));
}

TEST_F(LibraryFiles, TheStopReasonIsTheLogsLastThreeLines) {
    EXPECT_TRUE(explained(activity).contains(QLatin1String("cannot be read")));
    write_file(file("valdrin_proxy.log"), "");
    EXPECT_EQ(explained(activity), QStringLiteral("Its log %1 is empty.").arg(file("valdrin_proxy.log")));

    write_file(file("valdrin_proxy.log"),
               "valdrin_proxy: HTTP proxy listening on [::]:3128, configuration /x\n"
               "first\nsecond\n\nthird\nvaldrin_proxy: the HTTP proxy stopped listening on port 3128 (-1)\n\n");
    EXPECT_EQ(explained(activity), QStringLiteral("The last lines of its log %1:\nsecond\nthird\n"
                                                  "valdrin_proxy: the HTTP proxy stopped listening on port 3128 (-1)")
                                       .arg(file("valdrin_proxy.log")));
}

TEST_F(LibraryFiles, ALongLogIsReadFromItsEndOnly) {
    // A line longer than the tail that is read: what remains of it is no line.
    QByteArray log = "start\n" + QByteArray(40000, 'x') + "\n";
    write_file(file("valdrin_proxy.log"), log + "the end\n");
    EXPECT_EQ(explained(activity), QStringLiteral("The last lines of its log %1:\nthe end").arg(file("valdrin_proxy.log")));
    // And a very long last line is cut to a sane length.
    write_file(file("valdrin_proxy.log"), "a\n" + QByteArray(1000, 'y') + "\n");
    const QString reason = explained(activity);
    EXPECT_LT(reason.size(), 400) << reason.size();
    EXPECT_TRUE(reason.endsWith(QChar(0x2026)));
}

}  // namespace
}  // namespace valdrin::tray::testing
