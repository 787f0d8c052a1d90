// One agent per user: the lock, and the real program started twice.
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include "core/single_instance.h"

namespace valdrin::tray {
namespace {

TEST(SingleInstanceLock, SecondHolderIsRefusedUntilTheFirstEnds) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("valdrin_tray.lock"));
    {
        SingleInstance first(path);
        ASSERT_TRUE(first.acquire());
        SingleInstance second(path);
        EXPECT_FALSE(second.acquire());
    }
    SingleInstance third(path);
    EXPECT_TRUE(third.acquire());
}

// Waits, bounded, until `done()` holds.
template <class Pred>
bool wait_for(Pred done, int limit_ms = 10000) {
    QDeadlineTimer deadline(limit_ms);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QThread::msleep(20);
    }
    return true;
}

QByteArray lock_owner(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readLine().trimmed();
}

class TwoAgents : public ::testing::Test {
protected:
    void SetUp() override {
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env_.insert(QStringLiteral("XDG_RUNTIME_DIR"), run_.path());
        env_.insert(QStringLiteral("XDG_CONFIG_HOME"), run_.filePath(QStringLiteral("config")));
        lock_ = run_.filePath(QStringLiteral("valdrin_tray.lock"));
    }
    void start(QProcess &p) {
        p.setProcessEnvironment(env_);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(QStringLiteral(TRAY_PROGRAM), {});
        ASSERT_TRUE(p.waitForStarted(10000));
    }
    void end(QProcess &p) {
        if (p.state() == QProcess::NotRunning) return;
        p.kill();
        p.waitForFinished(10000);
    }

    QTemporaryDir run_;
    QProcessEnvironment env_;
    QString lock_;
};

TEST_F(TwoAgents, SecondCopyEndsAtOnceAndTheFirstKeepsRunning) {
    QProcess first, second, third;
    start(first);
    const QByteArray first_pid = QByteArray::number(first.processId());
    ASSERT_TRUE(wait_for([&] { return lock_owner(lock_) == first_pid; })) << "the first agent took no lock";

    start(second);
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_EQ(lock_owner(lock_), first_pid);

    // A lock left by an agent that died is taken over.
    end(first);
    start(third);
    const QByteArray third_pid = QByteArray::number(third.processId());
    EXPECT_TRUE(wait_for([&] { return lock_owner(lock_) == third_pid; }));
    EXPECT_EQ(third.state(), QProcess::Running);
    end(third);
}

}  // namespace
}  // namespace valdrin::tray
