// Writing the configuration of an installed system: the offer of the
// wizard with administrator rights, and every way that offer can end.
#include "access.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <optional>

#include <gtest/gtest.h>

#include "fakes.h"
#include "pkexec_privileges.h"

namespace kel::wizard {
namespace {

using testing::ScriptedBoxes;

const QString kEtcConf = QStringLiteral("/etc/valdrin/valdrin.conf");

// Privileges the test sets; the elevated run ends when the test says.
class FakePrivileges : public Privileges {
public:
    QString why_not_writable(const QString &file) override {
        asked << file;
        return why;
    }
    bool is_elevated() override { return elevated; }
    bool can_elevate() override { return pkexec; }
    void run_elevated(const QString &file, std::function<void(ElevatedEnd, const QString &)> d) override {
        runs << file;
        done = std::move(d);
    }
    QString why;
    bool elevated = false;
    bool pkexec = true;
    QStringList asked, runs;
    std::function<void(ElevatedEnd, const QString &)> done;
};

struct Gate : ::testing::Test {
    FakePrivileges privileges;
    ScriptedBoxes boxes;
    AccessGate gate{privileges, boxes};
    std::optional<bool> ended;
    void check() {
        gate.check(kEtcConf, [this](bool end) {
            EXPECT_FALSE(ended) << "proceed ran twice";
            ended = end;
        });
    }
};

TEST_F(Gate, AWritableFileOpensTheWindowWithoutAQuestion) {
    check();
    EXPECT_EQ(ended, false);
    EXPECT_EQ(privileges.asked, QStringList{kEtcConf});
    EXPECT_TRUE(boxes.calls.empty());
    EXPECT_TRUE(privileges.runs.isEmpty());
}

TEST_F(Gate, WithoutPkexecItSaysThatSavingNeedsAdministratorRights) {
    privileges.why = QStringLiteral("the folder /etc/valdrin is not writable for this user");
    privileges.pkexec = false;
    check();
    EXPECT_EQ(ended, false);
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].icon, Icon::Exclamation);
    EXPECT_EQ(boxes.calls[0].text,
              QStringLiteral("Changes cannot be saved to /etc/valdrin/valdrin.conf: the folder /etc/valdrin is not "
                             "writable for this user.\nWriting the configuration of the installed proxy needs "
                             "administrator rights: start the wizard as root, for instance with 'sudo valdrin_config'."));
    EXPECT_TRUE(privileges.runs.isEmpty());
}

TEST_F(Gate, AlreadyElevatedItSaysWhyButNeverAsksAgain) {
    privileges.why = QStringLiteral("the file is read-only for this user");
    privileges.elevated = true;
    check();
    EXPECT_EQ(ended, false);
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].buttons, Buttons::Ok);
    EXPECT_TRUE(boxes.calls[0].text.contains(QStringLiteral("read-only")));
    EXPECT_TRUE(privileges.runs.isEmpty());
}

TEST_F(Gate, NoToTheOfferOpensThisWindow) {
    privileges.why = QStringLiteral("the file is read-only for this user");
    boxes.then(Answer::No);
    check();
    EXPECT_EQ(ended, false);
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].buttons, Buttons::YesNo);
    EXPECT_TRUE(boxes.calls[0].text.startsWith(
        QStringLiteral("You may not change /etc/valdrin/valdrin.conf: the file is read-only for this user.")));
    EXPECT_TRUE(privileges.runs.isEmpty());
}

TEST_F(Gate, YesRunsTheElevatedWizardAndEndsThisOneOnlyWhenThatRan) {
    privileges.why = QStringLiteral("the file is read-only for this user");
    boxes.then(Answer::Yes);
    check();
    EXPECT_EQ(privileges.runs, QStringList{kEtcConf});
    EXPECT_FALSE(ended);  // waits for the elevated copy
    privileges.done(ElevatedEnd::Ran, QString());
    EXPECT_EQ(ended, true);
    EXPECT_EQ(boxes.calls.size(), 1u);
}

struct EndCase {
    const char *name;
    ElevatedEnd end;
    const char *starts;
    Icon icon;
};

class ElevatedEnds : public Gate, public ::testing::WithParamInterface<EndCase> {};

TEST_P(ElevatedEnds, EveryOtherEndIsSaidAndThisWindowOpens) {
    privileges.why = QStringLiteral("the file is read-only for this user");
    boxes.then(Answer::Yes);
    check();
    ASSERT_TRUE(privileges.done);
    privileges.done(GetParam().end, QStringLiteral("detail"));
    EXPECT_EQ(ended, false);
    ASSERT_EQ(boxes.calls.size(), 2u);
    EXPECT_TRUE(boxes.calls[1].text.startsWith(QLatin1String(GetParam().starts))) << boxes.calls[1].text.toStdString();
    EXPECT_TRUE(boxes.calls[1].text.endsWith(
        QStringLiteral("this wizard goes on without them, and changes cannot be saved to /etc/valdrin/valdrin.conf.")));
    EXPECT_EQ(boxes.calls[1].icon, GetParam().icon);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, ElevatedEnds,
    ::testing::Values(EndCase{"Dismissed", ElevatedEnd::Dismissed, "The password prompt was closed: ", Icon::Exclamation},
                      EndCase{"Refused", ElevatedEnd::Refused, "Administrator rights were not granted (detail): ", Icon::Exclamation},
                      EndCase{"Failed", ElevatedEnd::Failed, "The wizard with administrator rights ended abnormally (detail): ",
                              Icon::Critical},
                      EndCase{"NotStarted", ElevatedEnd::NotStarted, "pkexec could not be started (detail): ",
                              Icon::Critical}),
    [](const ::testing::TestParamInfo<EndCase> &info) { return std::string(info.param.name); });

// The real privileges, with shell scripts standing in for pkexec.
struct Pkexec : ::testing::Test {
    QTemporaryDir dir;
    QString script(const char *name, const QByteArray &body) {
        const QString path = dir.filePath(QLatin1String(name));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\n" + body);
        f.close();
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }
    // Runs the elevated wizard and waits, bounded, for its end.
    std::optional<std::pair<ElevatedEnd, QString>> run(PkexecPrivileges &p, const QString &file) {
        std::optional<std::pair<ElevatedEnd, QString>> result;
        p.run_elevated(file, [&](ElevatedEnd end, const QString &detail) { result.emplace(end, detail); });
        QDeadlineTimer deadline(10000);
        QTimer tick;
        tick.start(10);
        while (!result && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return result;
    }
};

TEST_F(Pkexec, PassesTheWizardAndTheFileAndReadsTheExitStatus) {
    const QString args = dir.filePath(QStringLiteral("args"));
    PkexecPrivileges ran(script("ok", "printf '%s|' \"$@\" > " + args.toUtf8() + "\nexit 0\n"),
                         QStringLiteral("/usr/bin/valdrin_config"));
    EXPECT_TRUE(ran.can_elevate());
    const auto end = run(ran, kEtcConf);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->first, ElevatedEnd::Ran);
    QFile written(args);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), QByteArray("/usr/bin/valdrin_config|--config|/etc/valdrin/valdrin.conf|"));

    PkexecPrivileges dismissed(script("dismissed", "exit 126\n"), QStringLiteral("/usr/bin/valdrin_config"));
    EXPECT_EQ(run(dismissed, kEtcConf)->first, ElevatedEnd::Dismissed);
    PkexecPrivileges refused(script("refused", "exit 127\n"), QStringLiteral("/usr/bin/valdrin_config"));
    EXPECT_EQ(run(refused, kEtcConf)->first, ElevatedEnd::Refused);
    PkexecPrivileges failed(script("failed", "exit 3\n"), QStringLiteral("/usr/bin/valdrin_config"));
    const auto failure = run(failed, kEtcConf);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->first, ElevatedEnd::Failed);
    EXPECT_EQ(failure->second, QStringLiteral("exit status 3"));
}

TEST_F(Pkexec, AMissingPkexecCannotElevateAndDoesNotStart) {
    PkexecPrivileges none(dir.filePath(QStringLiteral("no-pkexec")), QStringLiteral("/usr/bin/valdrin_config"));
    EXPECT_FALSE(none.can_elevate());
    const auto end = run(none, kEtcConf);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->first, ElevatedEnd::NotStarted);
    EXPECT_FALSE(end->second.isEmpty());
}

TEST_F(Pkexec, ElevatedMeansStartedThroughPkexec) {
    PkexecPrivileges p(QStringLiteral("pkexec"), QStringLiteral("/usr/bin/valdrin_config"));
    const QByteArray saved = qgetenv("PKEXEC_UID");
    qunsetenv("PKEXEC_UID");
    EXPECT_FALSE(p.is_elevated());
    qputenv("PKEXEC_UID", "1000");
    EXPECT_TRUE(p.is_elevated());
    if (saved.isNull())
        qunsetenv("PKEXEC_UID");
    else
        qputenv("PKEXEC_UID", saved);
}

TEST_F(Pkexec, WritabilityNamesTheFileOrFolderThatStandsInTheWay) {
    PkexecPrivileges p(QStringLiteral("pkexec"), QStringLiteral("/usr/bin/valdrin_config"));
    const QString conf = dir.filePath(QStringLiteral("valdrin.conf"));
    EXPECT_EQ(p.why_not_writable(conf), QString());  // a new file in a writable folder
    QFile f(conf);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    EXPECT_EQ(p.why_not_writable(conf), QString());
    ASSERT_TRUE(QFile::setPermissions(conf, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    EXPECT_EQ(p.why_not_writable(conf), QStringLiteral("the file is read-only for this user"));
    QFile::setPermissions(conf, QFile::ReadOwner | QFile::WriteOwner);
    const QString nowhere = dir.filePath(QStringLiteral("missing/valdrin.conf"));
    EXPECT_EQ(p.why_not_writable(nowhere),
              QStringLiteral("the folder %1 does not exist").arg(dir.filePath(QStringLiteral("missing"))));
}

TEST_F(Pkexec, AFolderThatIsNotWritableIsNamed) {
    PkexecPrivileges p(QStringLiteral("pkexec"), QStringLiteral("/usr/bin/valdrin_config"));
    const QString locked = dir.filePath(QStringLiteral("locked"));
    ASSERT_TRUE(QDir().mkdir(locked));
    ASSERT_TRUE(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
    const bool root_writes_anyway = QFileInfo(locked).isWritable();
    const QString why = p.why_not_writable(locked + QStringLiteral("/valdrin.conf"));
    QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (root_writes_anyway) GTEST_SKIP() << "this user (root) may write any folder";
    EXPECT_EQ(why, QStringLiteral("the folder %1 is not writable for this user").arg(locked));
}

}  // namespace
}  // namespace kel::wizard
