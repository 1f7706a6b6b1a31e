// The machine-wide settings locks between two processes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "infrastructure/settings_lock.h"
#include "infrastructure/testing/test_environment.h"
#include "platform/tests/test_support.h"

namespace {

using ml::test::Fork;
using ml::test::Join;
using mltest::InfraEnvironment;

// The parent holds the lock, leaves a marker and releases once the child is
// about to take it: a child that got the lock early finds no marker.
template <typename Lock>
void ExpectSecondProcessWaits() {
    InfraEnvironment env;
    const std::string marker = env.Root() + "/released";
    ml::test::Signal ready;
    auto lock = std::make_unique<Lock>();
    ASSERT_TRUE(lock->IsHeld());
    pid_t pid = Fork([&] {
        if (!ready.Raise())
            return 3;
        Lock childLock;
        return !childLock.IsHeld() ? 2 : InfraEnvironment::Exists(marker) ? 0 : 1;
    });
    ASSERT_TRUE(ready.Await());
    // Give a child that wrongly passes the lock time to reach its check.
    usleep(200 * 1000);
    InfraEnvironment::WriteFile(marker, "1");
    lock.reset();
    EXPECT_EQ(Join(pid), 0) << "1: the child got the lock while the parent held it";
}

TEST(SettingsLocks, EachLockMakesASecondProcessWait) {
    ExpectSecondProcessWaits<CMLMutexSettingsINI>();
    ExpectSecondProcessWaits<CMLMutexDebugINI>();
}

TEST(SettingsLocks, IndependentLocksNamespacesAndDeadHolders) {
    InfraEnvironment env;
    {
        CMLMutexSettingsINI settings;
        ASSERT_TRUE(settings.IsHeld());
        EXPECT_EQ(Join(Fork([] { return CMLMutexDebugINI().IsHeld() ? 0 : 1; })), 0)
            << "the two locks are independent";
        EXPECT_EQ(Join(Fork([] {
                      // Below this test's namespace, so that it is removed with it.
                      const std::string other = std::string(getenv("ML_OBJECT_NAMESPACE")) + "o_";
                      setenv("ML_OBJECT_NAMESPACE", other.c_str(), 1);
                      return CMLMutexSettingsINI().IsHeld() ? 0 : 1;
                  })),
                  0)
            << "namespaces of parallel test runs do not meet";
    }
    // A child dies holding the lock; it is taken over.
    ASSERT_EQ(Join(Fork([] { return (new CMLMutexSettingsINI())->IsHeld() ? 0 : 1; })), 0);
    EXPECT_TRUE(CMLMutexSettingsINI().IsHeld());
    // A FIFO in the lock file's place: no lock, no hang, an error entry.
    const std::string ns = ml::test::UniqueNamespace("locks");
    ml::test::ScopedEnv own("ML_OBJECT_NAMESPACE", ns);
    ASSERT_EQ(::mkfifo(("/dev/shm/" + ns + "Global.MLDebugINIMutex.lock").c_str(), 0666), 0);
    env.StartLogs();
    EXPECT_FALSE(CMLMutexDebugINI().IsHeld());
    env.StopLogs();
    ml::test::RemoveShmObjects(ns);
    const std::string log = InfraEnvironment::ReadFile(env.ErrorLogPath());
    EXPECT_NE(log.find("[ERROR] szName = Global\\MLDebugINIMutex"), std::string::npos) << log;
}

}  // namespace
