// Named events and mutexes between threads and processes.
#include "platform/named_objects.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/lasterror.h"
#include "platform/tests/test_support.h"

namespace {

using ml::test::ScopedEnv;

// Runs `child` in a forked process and returns its exit status (0 = passed).
template <typename F>
pid_t Fork(F child) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int rc = child();
        ::_exit(rc);
    }
    return pid;
}

int Join(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class NamedObjects : public ::testing::Test {
  protected:
    NamedObjects()
        : prefix_(ml::test::UniqueNamespace(
              ::testing::UnitTest::GetInstance()->current_test_info()->name())),
          env_("ML_OBJECT_NAMESPACE", prefix_) {}
    ~NamedObjects() override { ml::test::RemoveShmObjects(prefix_); }

    std::string prefix_;
    ScopedEnv env_;
};

TEST_F(NamedObjects, MutexExcludesAnotherProcess) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, u"Global\\MLSettingsINIMutex");
    ASSERT_NE(mutex, nullptr);
    // The lock file carries the mapped name.
    struct stat st;
    EXPECT_EQ(::stat(("/dev/shm/" + prefix_ + "Global.MLSettingsINIMutex.lock").c_str(), &st), 0);

    pid_t child = Fork([] {
        HANDLE own = CreateMutexW(nullptr, FALSE, u"Global\\MLSettingsINIMutex");
        if (own == nullptr)
            return 10;
        if (WaitForSingleObject(own, 0) != WAIT_TIMEOUT)
            return 11;
        if (WaitForSingleObject(own, 30) != WAIT_TIMEOUT)
            return 12;
        return 0;
    });
    EXPECT_EQ(Join(child), 0);

    // Released: a waiting process gets it.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    child = Fork([&] {
        HANDLE own = CreateMutexW(nullptr, FALSE, u"Global\\MLSettingsINIMutex");
        if (own == nullptr)
            return 10;
        char c = 1;
        if (::write(ready[1], &c, 1) != 1)
            return 13;
        if (WaitForSingleObject(own, INFINITE) != WAIT_OBJECT_0)
            return 11;
        if (!ReleaseMutex(own))
            return 12;
        return 0;
    });
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(Join(child), 0);
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(CloseHandle(mutex));
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST_F(NamedObjects, MutexOfADeadHolderIsAcquired) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = Fork([&] {
        HANDLE own = CreateMutexW(nullptr, TRUE, u"Global\\MLDebugINIMutex");
        if (own == nullptr)
            return 10;
        char c = 1;
        if (::write(ready[1], &c, 1) != 1)
            return 13;
        ::pause();  // holds it until killed
        return 0;
    });
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Global\\MLDebugINIMutex");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
    ::kill(child, SIGKILL);
    Join(child);
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST_F(NamedObjects, MutexBelongsToAThread) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Global\\m");
    HANDLE other = CreateMutexW(nullptr, FALSE, u"Global\\m");
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(other, nullptr);
    // Re-entrant for the owner: two waits, two releases.
    ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(other, 0), WAIT_OBJECT_0);
    std::atomic<int> step{0};
    DWORD seen[4] = {};
    BOOL releasedByStranger = TRUE;
    DWORD strangerError = 0;
    std::thread thread([&] {
        seen[0] = WaitForSingleObject(mutex, 0);
        seen[1] = WaitForSingleObject(other, 0);
        releasedByStranger = ReleaseMutex(mutex);
        strangerError = GetLastError();
        step = 1;
        while (step != 2)
            std::this_thread::yield();
        seen[2] = WaitForSingleObject(other, 0);  // still held once
        step = 3;
        seen[3] = WaitForSingleObject(other, INFINITE);
        ReleaseMutex(other);
    });
    while (step != 1)
        std::this_thread::yield();
    EXPECT_TRUE(ReleaseMutex(mutex));
    step = 2;
    while (step != 3)
        std::this_thread::yield();
    EXPECT_TRUE(ReleaseMutex(mutex));
    thread.join();
    EXPECT_EQ(seen[0], WAIT_TIMEOUT);
    EXPECT_EQ(seen[1], WAIT_TIMEOUT);
    EXPECT_FALSE(releasedByStranger);
    EXPECT_EQ(strangerError, ML_ERROR_NOT_OWNER);
    EXPECT_EQ(seen[2], WAIT_TIMEOUT);
    EXPECT_EQ(seen[3], WAIT_OBJECT_0);
    EXPECT_FALSE(ReleaseMutex(mutex));  // no longer held
    CloseHandle(mutex);
    CloseHandle(other);
}

TEST_F(NamedObjects, MutexOfAnEndedThreadIsAcquired) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Global\\abandoned");
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0); }).join();
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST_F(NamedObjects, ObjectsAreOpenToEveryUser) {
    mode_t old = ::umask(077);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Global\\mode");
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, u"Global\\mode");
    ::umask(old);
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(event, nullptr);
    struct stat st;
    ASSERT_EQ(::stat(("/dev/shm/" + prefix_ + "Global.mode.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    ASSERT_EQ(::stat(("/dev/shm/" + prefix_ + "Global.mode.event").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    CloseHandle(mutex);
    CloseHandle(event);
}

TEST_F(NamedObjects, RefusedNames) {
    for (const char16_t* name : {u"", u"a/b", u"Global\\a/b"}) {
        SetLastError(0);
        EXPECT_EQ(CreateMutexW(nullptr, FALSE, name), nullptr);
        EXPECT_EQ(GetLastError(), ML_ERROR_INVALID_PARAMETER);
        EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, name), nullptr);
    }
    // Too long for the system, also for the temporary name an event is made under.
    for (size_t length : {300u, 220u}) {
        SetLastError(0);
        EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, std::u16string(length, u'x').c_str()),
                  nullptr);
        EXPECT_EQ(GetLastError(), ML_ERROR_INVALID_PARAMETER);
    }
    HANDLE longest = CreateEventW(nullptr, TRUE, FALSE, std::u16string(150, u'x').c_str());
    EXPECT_NE(longest, nullptr);
    CloseHandle(longest);
    ScopedEnv bad("ML_OBJECT_NAMESPACE", "a/");
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"x"), nullptr);
}

TEST_F(NamedObjects, EventSetInOneProcessIsSeenInAnother) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, u"Global\\mlevent_logoninprocess");
    ASSERT_NE(event, nullptr);
    // A child waiting without time-out wakes when the parent sets it.
    pid_t child = Fork([] {
        HANDLE own = OpenEventW(SYNCHRONIZE, FALSE, u"Global\\mlevent_logoninprocess");
        if (own == nullptr)
            return 10;
        return WaitForSingleObject(own, INFINITE) == WAIT_OBJECT_0 ? 0 : 11;
    });
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(Join(child), 0);
    EXPECT_TRUE(ResetEvent(event));

    // And a set in the child is seen here at once.
    child = Fork([] {
        HANDLE own = CreateEventW(nullptr, TRUE, FALSE, u"Global\\mlevent_logoninprocess");
        return own != nullptr && SetEvent(own) ? 0 : 10;
    });
    EXPECT_EQ(Join(child), 0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
}

TEST_F(NamedObjects, EventResetAndTimeOut) {
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, u"Global\\e");
    ASSERT_NE(event, nullptr);
    // Opening an existing event keeps its state.
    HANDLE again = CreateEventW(nullptr, TRUE, FALSE, u"Global\\e");
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);  // manual: stays set
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(event, 20), WAIT_TIMEOUT);
    CloseHandle(again);
    CloseHandle(event);

    SetLastError(0);
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, u"Global\\missing"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_EQ(GetLastError(), ML_ERROR_INVALID_HANDLE);
}

TEST_F(NamedObjects, AutoResetEventWakesOneWaiter) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, u"Global\\auto");
    ASSERT_NE(event, nullptr);
    std::atomic<int> woken{0};
    std::thread a([&] {
        if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0)
            ++woken;
    });
    std::thread b([&] {
        if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0)
            ++woken;
    });
    EXPECT_TRUE(SetEvent(event));
    while (woken == 0)
        std::this_thread::yield();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // taken by the woken waiter
    EXPECT_TRUE(SetEvent(event));
    a.join();
    b.join();
    EXPECT_EQ(woken, 2);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);

    HANDLE local = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(local, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(local, 0), WAIT_TIMEOUT);
    CloseHandle(local);
}

}  // namespace
