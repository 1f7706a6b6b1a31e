// Named events and mutexes between threads, processes and accounts.
#include "platform/named_objects.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "platform/lasterror.h"
#include "platform/tests/test_support.h"

namespace {

using namespace std::string_literals;
using ml::test::Fork;
using ml::test::Join;
using ml::test::ScopedEnv;

class NamedObjects : public ::testing::Test {
  protected:
    ~NamedObjects() override { ml::test::RemoveShmObjects(prefix_); }
    std::string Path(const std::string& file) { return "/dev/shm/" + prefix_ + file; }
    mode_t Mode(const std::string& file) {
        struct stat st {};
        EXPECT_EQ(::stat(Path(file).c_str(), &st), 0) << file;
        return st.st_mode & 0777;
    }

    std::string prefix_ =
        ml::test::UniqueNamespace(::testing::UnitTest::GetInstance()->current_test_info()->name());
    ScopedEnv env_{"ML_OBJECT_NAMESPACE", prefix_};
};

DWORD WaitInAnotherThread(HANDLE object) {
    DWORD result = 0;
    std::thread([&] { result = WaitForSingleObject(object, 0); }).join();
    return result;
}

TEST_F(NamedObjects, MutexExcludesAnotherProcess) {
    // Open to every user, whatever the umask.
    mode_t old = ::umask(077);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Global\\MLSettingsINIMutex");
    ::umask(old);
    EXPECT_EQ(Mode("Global.MLSettingsINIMutex.lock"), 0666u);
    // Taken without waiting: the other process must not share it either.
    ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_EQ(Join(Fork([] {
                  HANDLE own = CreateMutexW(nullptr, FALSE, u"Global\\MLSettingsINIMutex");
                  return own != nullptr && WaitForSingleObject(own, 30) == WAIT_TIMEOUT ? 0 : 10;
              })),
              0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(CloseHandle(mutex));
}

TEST_F(NamedObjects, MutexBelongsToAThreadAndCountsItsWaits) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Global\\m");
    HANDLE other = CreateMutexW(nullptr, FALSE, u"Global\\m");
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(other, 0), WAIT_OBJECT_0);  // re-entrant for the owner
    std::thread([&] {
        EXPECT_FALSE(ReleaseMutex(mutex));
        EXPECT_EQ(GetLastError(), ML_ERROR_NOT_OWNER);
    }).join();
    EXPECT_EQ(WaitInAnotherThread(other), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitInAnotherThread(other), WAIT_TIMEOUT);  // still held once
    EXPECT_TRUE(ReleaseMutex(other));
    EXPECT_FALSE(ReleaseMutex(mutex));  // no longer held
    // A thread that ends holding it leaves it to the next waiter.
    EXPECT_EQ(WaitInAnotherThread(mutex), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
    CloseHandle(other);
}

// (The name of the test is part of every object name, so it stays short.)
TEST_F(NamedObjects, BadNames) {
    for (const std::u16string& name :
         {u""s, u"a/b"s, u"Global\\a/b"s, std::u16string(300, u'x'),
          std::u16string(220, u'x')}) {  // too long for the temporary name of an event
        SetLastError(0);
        EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, name.c_str()), nullptr) << name.size();
        EXPECT_EQ(GetLastError(), ML_ERROR_INVALID_PARAMETER);
        EXPECT_TRUE(name.size() >= 220 || CreateMutexW(nullptr, FALSE, name.c_str()) == nullptr);
    }
    HANDLE longest = CreateEventW(nullptr, TRUE, FALSE, std::u16string(150, u'x').c_str());
    EXPECT_NE(longest, nullptr);
    CloseHandle(longest);
}

TEST_F(NamedObjects, EventAcrossProcesses) {
    mode_t old = ::umask(077);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, u"Global\\mlevent_logoninprocess");
    ::umask(old);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(Mode("Global.mlevent_logoninprocess.event"), 0666u);
    // A child waiting without time-out wakes when the parent sets it.
    pid_t child = Fork([] {
        HANDLE own = OpenEventW(SYNCHRONIZE, FALSE, u"Global\\mlevent_logoninprocess");
        return own != nullptr && WaitForSingleObject(own, INFINITE) == WAIT_OBJECT_0 ? 0 : 10;
    });
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(Join(child), 0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);  // manual: stays set
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 20), WAIT_TIMEOUT);
    // And a set in the child is seen here at once; opening keeps the state.
    EXPECT_EQ(Join(Fork([] {
                  HANDLE own =
                      CreateEventW(nullptr, TRUE, FALSE, u"Global\\mlevent_logoninprocess");
                  return own != nullptr && SetEvent(own) ? 0 : 10;
              })),
              0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, u"Global\\missing"), nullptr);
}

// Files planted under the objects' names, before and after the objects are
// open: the objects work, or the calls fail with an error; nothing crashes,
// hangs, or follows a link.
TEST_F(NamedObjects, PlantedAndDamagedFiles) {
    ml::test::TempDir dir;
    const std::string target = dir / "target";
    const std::function<int(const char*)> plants[] = {
        [](const char* p) { return ml::test::WriteFile(p, "MLEV\x07\x01\0\0"s), 0; },
        [&](const char* p) { return ::symlink(target.c_str(), p); },
        [](const char* p) { return ::mkfifo(p, 0666); },
        [](const char* p) { return ::mkdir(p, 0777); },
    };
    for (size_t i = 0; i < std::size(plants); ++i) {
        SCOPED_TRACE(i);
        const bool regular = i == 0;
        ml::test::WriteFile(target, "keep");
        ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
        ASSERT_EQ(plants[i](Path("Global.p.event").c_str()), 0);
        ASSERT_EQ(plants[i](Path("Global.p.lock").c_str()), 0);
        // A regular file nobody holds is a left-over: the event starts afresh.
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, u"Global\\p");
        EXPECT_EQ(event != nullptr, regular);
        if (event != nullptr) {
            EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
            EXPECT_TRUE(SetEvent(event));
            EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
        } else {
            EXPECT_NE(GetLastError(), 0u);
            EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, u"Global\\p"), nullptr);
        }
        // The lock file's contents do not matter; its kind does.
        HANDLE mutex = CreateMutexW(nullptr, TRUE, u"Global\\p");
        EXPECT_EQ(mutex != nullptr, regular);
        EXPECT_TRUE(mutex == nullptr || ReleaseMutex(mutex));
        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(ml::test::ReadFile(target), "keep");
        CloseHandle(event);
        CloseHandle(mutex);
        std::filesystem::remove(Path("Global.p.event"));
        std::filesystem::remove(Path("Global.p.lock"));
    }

    // Damaged while open (short, long, foreign, bad state): every call fails,
    // no SIGBUS; a creator meets the damage while the event is held and
    // starts afresh once it is not.
    HANDLE event = CreateEventW(nullptr, FALSE, TRUE, u"Global\\d");
    ASSERT_NE(event, nullptr);
    for (const std::string& content :
         {""s, "MLEV\x01\x00\0\0 and more"s, "garbage!"s, "MLEV\x02\x00\0\0"s}) {
        SCOPED_TRACE(content);
        ASSERT_EQ(::truncate(Path("Global.d.event").c_str(), 0), 0);
        ml::test::WriteFile(Path("Global.d.event"), content);
        EXPECT_FALSE(SetEvent(event));
        EXPECT_FALSE(ResetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
        EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_FAILED);
        SetLastError(0);
        EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, u"Global\\d"), nullptr);
        EXPECT_NE(GetLastError(), 0u);
    }
    CloseHandle(event);
    event = CreateEventW(nullptr, FALSE, TRUE, u"Global\\d");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);  // auto reset: taken once
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    // Someone holds the file's record lock for good: the calls give up.
    ml::test::Signal locked;
    pid_t holder = Fork([&] {
        int fd = ::open(Path("Global.d.event").c_str(), O_RDWR);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        if (fd < 0 || ::fcntl(fd, F_OFD_SETLK, &lock) != 0 || !locked.Raise())
            return 10;
        ::pause();
        return 0;
    });
    ASSERT_TRUE(locked.Await());
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBUSY));
    ::kill(holder, SIGKILL);
    Join(holder);
    EXPECT_TRUE(SetEvent(event));
    CloseHandle(event);
}

// An event that no process holds starts afresh, as on Windows, where it
// ends with its last handle: a host killed while the logon event was set
// does not hold back every later host.
TEST_F(NamedObjects, EventNobodyHoldsStartsAfresh) {
    ml::test::Signal ready;
    pid_t child = Fork([&] {
        HANDLE own = CreateEventW(nullptr, TRUE, FALSE, u"Global\\l");
        if (own == nullptr || !SetEvent(own) || !ready.Raise())
            return 10;
        ::pause();
        return 0;
    });
    ASSERT_TRUE(ready.Await());
    // While the killed holder lived, the state was shared...
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, u"Global\\l");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
    ::kill(child, SIGKILL);
    Join(child);
    // ...now the event is made anew in the state asked for.
    event = CreateEventW(nullptr, TRUE, FALSE, u"Global\\l");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

// Two accounts share the objects, also with protected_regular=2, and a file
// planted by the other account is refused, not followed. Needs root, to take
// the other account and to set the switch; CI runs it as root.
TEST_F(NamedObjects, TwoAccounts) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "two-account test needs root";
    const std::string sysctl = "/proc/sys/fs/protected_regular";
    const std::string before = ml::test::ReadFile(sysctl);
    auto setSysctl = [&](const std::string& value) {
        std::ofstream out(sysctl);
        return static_cast<bool>(out << value << std::flush);
    };
    const bool set = setSysctl("2\n");
    constexpr uid_t kOther = 65534;  // nobody
    ml::test::TempDir dir;
    ml::test::WriteFile(dir / "root-only", "secret");
    ASSERT_EQ(::chmod((dir / "root-only").c_str(), 0600), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);

    // The other account makes the objects first, holds them, and plants a
    // link for root's objects.
    ml::test::Signal made, done;
    pid_t other = Fork([&] {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kOther, kOther, kOther) != 0 ||
            ::setresuid(kOther, kOther, kOther) != 0)
            return 20;
        HANDLE mutex = CreateMutexW(nullptr, TRUE, u"Global\\two");
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, u"Global\\two");
        bool planted =
            ::symlink((dir / "root-only").c_str(), Path("Global.link.lock").c_str()) == 0;
        if (mutex == nullptr || event == nullptr || !planted || !made.Raise())
            return 10;
        if (WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0 || !ReleaseMutex(mutex))
            return 11;
        return done.Await() ? 0 : 12;
    });
    ASSERT_TRUE(made.Await());
    struct stat st {};
    ASSERT_EQ(::stat(Path("Global.two.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kOther);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Global\\two");
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, u"Global\\two");
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);  // the other holds it
    EXPECT_TRUE(SetEvent(event));                            // it releases when it sees this
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"Global\\link"), nullptr);
    ASSERT_EQ(::stat((dir / "root-only").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    done.Raise();
    EXPECT_EQ(Join(other), 0);
    CloseHandle(mutex);
    CloseHandle(event);

    EXPECT_TRUE(!set || setSysctl(before));
}

}  // namespace
