// Named events and mutexes between threads and processes.
#include "platform/named_objects.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "platform/lasterror.h"
#include "platform/tests/test_support.h"

namespace {

using ml::test::Fork;
using ml::test::Join;
using ml::test::ScopedEnv;

class NamedObjects : public ::testing::Test {
  protected:
    NamedObjects()
        : prefix_(ml::test::UniqueNamespace(
              ::testing::UnitTest::GetInstance()->current_test_info()->name())),
          env_("ML_OBJECT_NAMESPACE", prefix_) {}
    ~NamedObjects() override { ml::test::RemoveShmObjects(prefix_); }
    mode_t Mode(const std::string& file) {
        struct stat st {};
        EXPECT_EQ(::stat(("/dev/shm/" + prefix_ + file).c_str(), &st), 0) << file;
        return st.st_mode & 0777;
    }

    std::string prefix_;
    ScopedEnv env_;
};

TEST_F(NamedObjects, MutexExcludesAnotherProcessUntilReleased) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, u"Global\\MLSettingsINIMutex");
    ASSERT_NE(mutex, nullptr);
    Mode("Global.MLSettingsINIMutex.lock");  // the lock file carries the mapped name
    EXPECT_EQ(Join(Fork([] {
                  HANDLE own = CreateMutexW(nullptr, FALSE, u"Global\\MLSettingsINIMutex");
                  return own == nullptr                                 ? 10
                         : WaitForSingleObject(own, 0) != WAIT_TIMEOUT  ? 11
                         : WaitForSingleObject(own, 30) != WAIT_TIMEOUT ? 12
                                                                        : 0;
              })),
              0);
    // Released: a waiting process gets it.
    ml::test::Signal ready;
    pid_t child = Fork([&] {
        HANDLE own = CreateMutexW(nullptr, FALSE, u"Global\\MLSettingsINIMutex");
        if (own == nullptr || !ready.Raise())
            return 10;
        return WaitForSingleObject(own, INFINITE) == WAIT_OBJECT_0 && ReleaseMutex(own) ? 0 : 11;
    });
    ASSERT_TRUE(ready.Await());
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(Join(child), 0);
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(CloseHandle(mutex));
}

TEST_F(NamedObjects, MutexOfADeadHolderIsAcquired) {
    ml::test::Signal ready;
    pid_t child = Fork([&] {
        if (CreateMutexW(nullptr, TRUE, u"Global\\MLDebugINIMutex") == nullptr || !ready.Raise())
            return 10;
        ::pause();  // holds it until killed
        return 0;
    });
    ASSERT_TRUE(ready.Await());
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Global\\MLDebugINIMutex");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
    ::kill(child, SIGKILL);
    Join(child);
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
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
    auto await = [&](int value) {
        while (step != value)
            std::this_thread::yield();
    };
    std::thread thread([&] {
        seen[0] = WaitForSingleObject(mutex, 0);
        seen[1] = WaitForSingleObject(other, 0);
        releasedByStranger = ReleaseMutex(mutex);
        strangerError = GetLastError();
        step = 1;
        await(2);
        seen[2] = WaitForSingleObject(other, 0);  // still held once
        step = 3;
        seen[3] = WaitForSingleObject(other, INFINITE);
        ReleaseMutex(other);
    });
    await(1);
    EXPECT_TRUE(ReleaseMutex(mutex));
    step = 2;
    await(3);
    EXPECT_TRUE(ReleaseMutex(mutex));
    thread.join();
    EXPECT_EQ(seen[0], WAIT_TIMEOUT);
    EXPECT_EQ(seen[1], WAIT_TIMEOUT);
    EXPECT_FALSE(releasedByStranger);
    EXPECT_EQ(strangerError, ML_ERROR_NOT_OWNER);
    EXPECT_EQ(seen[2], WAIT_TIMEOUT);
    EXPECT_EQ(seen[3], WAIT_OBJECT_0);
    EXPECT_FALSE(ReleaseMutex(mutex));  // no longer held

    // The mutex of an ended thread is acquired.
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0); }).join();
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
    CloseHandle(other);
}

// Objects are open to every user; bad names are refused. (The name of the test
// is part of every object name, so it stays short.)
TEST_F(NamedObjects, BadNames) {
    mode_t old = ::umask(077);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Global\\mode");
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, u"Global\\mode");
    ::umask(old);
    EXPECT_EQ(Mode("Global.mode.lock"), 0666u);
    EXPECT_EQ(Mode("Global.mode.event"), 0666u);
    CloseHandle(mutex);
    CloseHandle(event);

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
        return own != nullptr && WaitForSingleObject(own, INFINITE) == WAIT_OBJECT_0 ? 0 : 10;
    });
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(Join(child), 0);
    EXPECT_TRUE(ResetEvent(event));
    // And a set in the child is seen here at once.
    EXPECT_EQ(Join(Fork([] {
                  HANDLE own =
                      CreateEventW(nullptr, TRUE, FALSE, u"Global\\mlevent_logoninprocess");
                  return own != nullptr && SetEvent(own) ? 0 : 10;
              })),
              0);
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

}  // namespace
