// Allocation, watched through this program's own allocation functions (only
// operator new and delete under AddressSanitizer, which owns malloc); the
// work of the card service and driver stand-ins (MlTestStandInWork) is left out.
#include <malloc.h>
#include <string.h>

#include <atomic>
#include <cstdlib>
#include <iterator>
#include <new>
#include <string>

#include "frame/tests/frame_fixture.h"
#include "include/mlcardmanx.h"

#if defined(__SANITIZE_ADDRESS__)
#define ML_WATCH_MALLOC 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ML_WATCH_MALLOC 0
#endif
#endif
#ifndef ML_WATCH_MALLOC
#define ML_WATCH_MALLOC 1
#endif

namespace {

std::atomic<bool> g_scanning{false}, g_failed{false};
std::atomic<int> g_standIn{0}, g_secretFrees{0};
// While > 0, operator new on a t_failHere thread counts down and throws at 0.
std::atomic<long> g_failIn{0};
thread_local bool t_failHere = false;
// The password looked for in freed blocks (any 8 characters in a row), as
// UTF-16LE and as ANSI: it is ASCII.
constexpr char16_t kSecret[] = u"Qz7#Lk2!Wp9$Xv4&Rt6*";
constexpr char kSecretAnsi[] = "Qz7#Lk2!Wp9$Xv4&Rt6*";

void LookAtFreed(void* p) {
    if (p == nullptr || !g_scanning.load() || g_standIn.load() != 0)
        return;
    const size_t size = malloc_usable_size(p);
    for (size_t at = 0; at + 8 < std::size(kSecretAnsi); ++at) {
        if (memmem(p, size, kSecret + at, 16) != nullptr ||
            memmem(p, size, kSecretAnsi + at, 8) != nullptr) {
            ++g_secretFrees;
            return;
        }
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void MlTestStandInWork(int p_nChange) {
    g_standIn += p_nChange;
}

// Only the plain forms (and the sized delete): the library's others call them.
void* operator new(size_t size) {
    if (t_failHere && g_failIn.load() > 0 && g_standIn.load() == 0 && --g_failIn == 0) {
        g_failed = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    if (!ML_WATCH_MALLOC)
        LookAtFreed(p);
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    operator delete(p);
}

#if ML_WATCH_MALLOC  // the sanitizer's own otherwise
extern "C" void __libc_free(void*);
extern "C" void free(void* p) {
    LookAtFreed(p);
    __libc_free(p);
}
#endif

namespace mltest {
namespace {

// SetLoginData, then GetLoginData, each watched, on the PC/SC path and the terminal.
TEST_F(FrameTest, NoFreedBlockHoldsThePassword) {
    for (bool terminal : {false, true}) {
        SCOPED_TRACE(terminal ? "terminal" : "PC/SC");
        UseReader(terminal ? "" : kReader);
        Start();
        Pump(1);  // the driver is loaded
        Driver().SetCardPresent(true);
        Pump(1);
        LoginBuffers written{}, read{};
        written.error[0] = read.error[0] = u'#';
        g_secretFrees = 0;
        g_scanning = true;
        { std::u16string control(kSecret); }
        const int control = g_secretFrees.exchange(0);
        SetLoginData(u"alice", u"PLANT", kSecret, written.error);
        const int inWrite = g_secretFrees.exchange(0);
        GetLoginData(read.user, read.domain, read.password, read.error);
        g_scanning = false;
        ASSERT_EQ(control, 1) << "the watch sees a copy freed here";
        EXPECT_EQ(std::u16string(written.error) + read.error, u"");
        EXPECT_EQ(std::u16string(read.password), kSecret);
        EXPECT_EQ(inWrite, 0) << "freed blocks holding the password in the write";
        EXPECT_EQ(g_secretFrees.load(), 0) << "freed blocks holding the password in the read";
        Stop();
    }
}

// Each allocation of a failing read and write fails in turn: every call still
// ends in the text of its failure, wherever the exception comes.
TEST_F(FrameTest, AFailedAllocationStillEndsInTheErrorTextOfTheFailure) {
    UseReader(kReader);
    Start();
    fake_.establishResult = SCARD_E_NO_SERVICE;
    t_failHere = true;
    for (bool write : {false, true}) {
        long n = 0;
        for (g_failed = true; g_failed;) {  // until an allocation more than the call makes
            LoginBuffers out{};
            g_failed = false, g_failIn = ++n;
            if (write)
                SetLoginData(u"alice", u"PLANT", kSecret, out.error);
            else
                GetLoginData(out.user, out.domain, out.password, out.error);
            g_failIn = 0;
            EXPECT_EQ(std::u16string(out.error).substr(0, 3), write ? u"14 " : u"57 ") << n;
        }
        EXPECT_GT(n, 10) << write;
    }
    t_failHere = false;
}

}  // namespace
}  // namespace mltest
