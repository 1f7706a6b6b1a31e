// Allocation, watched through this program's own allocation functions (only
// operator new and delete under AddressSanitizer, which owns malloc); the
// work of the card service and driver stand-ins (MlTestStandInWork) is left out.
#include <malloc.h>
#include <string.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "frame/tests/frame_fixture.h"
#include "include/mlcardmanx.h"
#include "mlsmartcardx/mlsmartcard.h"

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
std::atomic<int> g_frees{0}, g_standIn{0}, g_secretFrees{0};
std::atomic<size_t> g_failCallocOf{0};  // calloc of that size fails, frees are counted
// While > 0, operator new on a t_failHere thread counts down and throws at 0.
std::atomic<long> g_failIn{0};
thread_local bool t_failHere = false;
// The password looked for in freed blocks: any 8 characters, UTF-16LE or ANSI.
unsigned char g_utf16[64], g_ansi[32];
size_t g_secretChars = 0;

void LookAtFreed(void* p) {
    if (p == nullptr || !g_scanning.load() || g_standIn.load() != 0)
        return;
    const size_t size = malloc_usable_size(p);
    for (size_t at = 0; at + 8 <= g_secretChars; ++at) {
        if (memmem(p, size, g_utf16 + 2 * at, 16) != nullptr ||
            memmem(p, size, g_ansi + at, 8) != nullptr) {
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

#if ML_WATCH_MALLOC
extern "C" {
void* __libc_calloc(size_t, size_t);
void __libc_free(void*);

void* calloc(size_t n, size_t size) {
    return g_failCallocOf.load() == n * size ? nullptr : __libc_calloc(n, size);
}
void free(void* p) {
    g_frees += p != nullptr && g_failCallocOf.load() != 0 && g_standIn.load() == 0;
    LookAtFreed(p);
    __libc_free(p);
}
}

#endif

namespace mltest {
namespace {

// A read that cannot have one of its 46-, 36- or 104-byte buffers frees the others.
TEST_F(FrameTest, AReadReleasesItsBuffersWhenOneCannotBeHad) {
    if (!ML_WATCH_MALLOC)
        GTEST_SKIP() << "calloc belongs to the sanitizer";
    WriteCard(u"ivan", u"PLANT", kPassword);
    for (size_t fail : {46, 36, 104}) {
        LPWSTR out[3] = {};
        DWORD capacity = 0;
        g_frees = 0, g_failCallocOf = fail;
        EXPECT_EQ(SmartCardReadFiles(u"Fake Reader 00", &out[0], &out[1], &out[2], &capacity),
                  kSmartCardAllocationFailed)
            << fail;
        g_failCallocOf = 0;
        EXPECT_TRUE(g_frees == 2 && !out[0] && !out[1] && !out[2] && capacity == 0) << fail;
    }
}

// An ASCII password, so that its ANSI bytes are its characters.
constexpr char16_t kSecret[] = u"Qz7#Lk2!Wp9$Xv4&Rt6*";

// SetLoginData, then GetLoginData, each watched, on the PC/SC path and the terminal.
TEST_F(FrameTest, NoFreedBlockHoldsThePassword) {
    for (size_t i = 0; kSecret[i] != 0; ++i, ++g_secretChars) {
        g_utf16[2 * i] = static_cast<unsigned char>(kSecret[i]);
        g_ansi[i] = static_cast<unsigned char>(kSecret[i]);
    }
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
