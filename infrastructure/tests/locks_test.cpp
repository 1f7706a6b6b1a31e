// The machine-wide settings locks between two processes, and the scoped
// critical section.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "infrastructure/settings_lock.h"
#include "infrastructure/testing/test_environment.h"

namespace {

using mltest::InfraEnvironment;

// Runs `child` in a forked process; its result is the exit status.
template <typename Child>
pid_t Fork(Child child) {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(child());
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

bool ReadByte(int fd) {
    char c = 0;
    return read(fd, &c, 1) == 1;
}

// The parent holds the lock; the child announces that it is about to take
// it. Only after that does the parent leave a marker and release. A child
// that got the lock while the parent held it finds no marker.
template <typename Lock>
void ExpectSecondProcessWaits() {
    InfraEnvironment env;
    const std::string marker = env.Root() + "/released";
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    auto lock = std::make_unique<Lock>();
    ASSERT_TRUE(lock->IsHeld());
    pid_t pid = Fork([&] {
        close(pipeFds[0]);
        char c = 'x';
        if (write(pipeFds[1], &c, 1) != 1) {
            return 3;
        }
        Lock childLock;
        if (!childLock.IsHeld()) {
            return 2;
        }
        return InfraEnvironment::Exists(marker) ? 0 : 1;
    });
    ASSERT_GT(pid, 0);
    close(pipeFds[1]);
    ASSERT_TRUE(ReadByte(pipeFds[0]));
    close(pipeFds[0]);
    // Give a child that wrongly passes the lock time to reach its check.
    usleep(200 * 1000);
    InfraEnvironment::WriteFile(marker, "1");
    lock.reset();
    EXPECT_EQ(Wait(pid), 0) << "1: the child got the lock while the parent held it";
}

TEST(SettingsLocks, SettingsMutexMakesASecondProcessWait) {
    ExpectSecondProcessWaits<CMLMutexSettingsINI>();
}

TEST(SettingsLocks, DebugMutexMakesASecondProcessWait) {
    ExpectSecondProcessWaits<CMLMutexDebugINI>();
}

TEST(SettingsLocks, TheTwoLocksAreIndependent) {
    InfraEnvironment env;
    CMLMutexSettingsINI settings;
    ASSERT_TRUE(settings.IsHeld());
    pid_t pid = Fork([] {
        CMLMutexDebugINI debug;
        return debug.IsHeld() ? 0 : 1;
    });
    EXPECT_EQ(Wait(pid), 0);
}

TEST(SettingsLocks, LockOfADeadHolderIsTakenOver) {
    InfraEnvironment env;
    pid_t pid = Fork([] {
        // Dies holding the lock.
        static CMLMutexSettingsINI* leaked = new CMLMutexSettingsINI();
        return leaked->IsHeld() ? 0 : 1;
    });
    ASSERT_EQ(Wait(pid), 0);
    CMLMutexSettingsINI lock;
    EXPECT_TRUE(lock.IsHeld());
}

TEST(SettingsLocks, NamespacesOfParallelTestRunsDoNotMeet) {
    InfraEnvironment first;
    CMLMutexSettingsINI held;
    ASSERT_TRUE(held.IsHeld());
    pid_t pid = Fork([] {
        setenv("ML_OBJECT_NAMESPACE", "mltest_other_namespace_", 1);
        CMLMutexSettingsINI lock;
        return lock.IsHeld() ? 0 : 1;
    });
    EXPECT_EQ(Wait(pid), 0);
}

TEST(SettingsLocks, UnusableNameLeavesTheReadUnlocked) {
    InfraEnvironment env;
    // A namespace with "/" makes every name invalid: creation fails, the
    // object holds nothing and its destructor does nothing.
    setenv("ML_OBJECT_NAMESPACE", "bad/namespace", 1);
    CMLMutexSettingsINI lock;
    EXPECT_FALSE(lock.IsHeld());
}

TEST(CriticalSectionGuard, EntersAndLeavesAndAcceptsNull) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    {
        CMLCriticalSection guard(&cs);
        bool taken = true;
        std::thread other([&] {
            taken = cs.mutex.try_lock();
            if (taken) {
                cs.mutex.unlock();
            }
        });
        other.join();
        EXPECT_FALSE(taken) << "held by the guard";
    }
    std::thread other([&] {
        EXPECT_TRUE(cs.mutex.try_lock());
        cs.mutex.unlock();
    });
    other.join();
    CMLCriticalSection none(nullptr);
    DeleteCriticalSection(&cs);
}

}  // namespace
