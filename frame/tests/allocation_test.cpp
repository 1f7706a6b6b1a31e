// Allocation, watched by replacing the allocation functions of this program
// (under AddressSanitizer, which owns malloc, only operator new and delete):
// a card read allocates its three buffers and nothing else, no block freed
// by the exports holds the password, and a failed allocation still ends in
// an error text. The stand-ins for card service and driver mark their own
// work (MlTestStandInWork), which is left out.
#include <malloc.h>
#include <string.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "frame/tests/frame_fixture.h"
#include "include/mlcardmanx.h"
#include "mlsmartcardx/tests/test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define ML_COUNT_MALLOC 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ML_COUNT_MALLOC 0
#endif
#endif
#ifndef ML_COUNT_MALLOC
#define ML_COUNT_MALLOC 1
#endif

namespace {

std::atomic<bool> g_counting{false}, g_scanning{false}, g_failed{false};
std::atomic<int> g_mallocs{0}, g_frees{0}, g_standIn{0}, g_secretFrees{0};
std::atomic<size_t> g_sizes[8], g_failCallocOf{0};  // calloc of that size fails while counting
// While > 0, operator new on a t_failHere thread counts down and throws at 0.
std::atomic<long> g_failIn{0};
thread_local bool t_failHere = false;
// The password watched for in freed blocks, as UTF-16LE and as ANSI bytes.
unsigned char g_utf16[64], g_ansi[32];
size_t g_secretChars = 0;

[[maybe_unused]] bool Count(size_t size) {
    if (g_counting.load()) {
        if (int n = g_mallocs++; n < 8)
            g_sizes[n] = size;
    }
    return g_counting.load() && g_failCallocOf.load() == size;
}

// Any eight characters of the password in a row (a grown buffer holds the
// beginning of a text) count.
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

// Of operator new and delete only the plain forms (and the sized delete):
// the library's other forms call them.
void* operator new(size_t size) {
    if (!ML_COUNT_MALLOC)
        Count(size);
    if (t_failHere && g_failIn.load() > 0 && g_standIn.load() == 0 && --g_failIn == 0) {
        g_failed = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    if (!ML_COUNT_MALLOC)
        LookAtFreed(p);
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    operator delete(p);
}

#if ML_COUNT_MALLOC
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

void* malloc(size_t size) {
    Count(size);
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    return Count(n * size) ? nullptr : __libc_calloc(n, size);
}
void free(void* p) {
    g_frees += p != nullptr && g_counting.load();
    LookAtFreed(p);
    __libc_free(p);
}
void* realloc(void* p, size_t size) {
    Count(size);
    if (p == nullptr || size == 0 || !g_scanning.load())
        return __libc_realloc(p, size);
    // The block may move: its old place counts as freed.
    void* moved = __libc_malloc(size);
    if (moved != nullptr) {
        memcpy(moved, p, std::min(size, malloc_usable_size(p)));
        free(p);
    }
    return moved;
}
}
#endif

namespace mltest {
namespace {

struct Counting {
    Counting() { g_mallocs = g_frees = 0, g_counting = true; }
    ~Counting() { g_counting = false; }
};

// Write, create, delete and store in place use stack buffers; a read takes
// its three buffers of 46, 36 and 104 bytes and, when one cannot be had,
// releases the others.
TEST_F(FakeReaderTest, CardOperationsAllocateNothingButTheReadBuffers) {
    const LPCWSTR reader = u"Fake Reader 00";
    {
        Counting counting;
        delete new int(1);  // the counter sees an allocation made here
    }
    ASSERT_EQ(g_mallocs.load(), 1);
    ml::GetSCardService();        // made on first use, once per process
    for (int i = 0; i < 12; ++i)  // write 3 commands, create 2, delete 5, store 4
        fake.ReplySw(0x9000);
    fake.ReplyData(std::vector<BYTE>(240, 0x41), 0x9000);
    fake.ReplySw(0x9000);
    {
        Counting counting;
        EXPECT_EQ(SmartCardWriteFiles(reader, u"user", u"domain", u"secret", 6), 0);
        EXPECT_EQ(SmartCardCreateFiles(reader), 0);
        EXPECT_EQ(SmartCardDeleteFiles(reader), 0);
        EXPECT_EQ(SmartCardStoreFiles(reader, u"user", u"domain", u"secret", 6), 0);
    }
    EXPECT_EQ(g_mallocs.load(), 0);
#if ML_COUNT_MALLOC  // malloc belongs to the sanitizer otherwise
    for (size_t fail : {0, 46, 36, 104}) {
        SCOPED_TRACE(fail);
        fake.ReplySw(0x9000);
        fake.ReplySw(0x9000);
        fake.ReplyData(std::vector<BYTE>(240, 0x41), 0x9000);
        LPWSTR out[3] = {};
        DWORD capacity = 0;
        g_failCallocOf = fail;
        {
            Counting counting;
            EXPECT_EQ(SmartCardReadFiles(reader, &out[0], &out[1], &out[2], &capacity),
                      fail == 0 ? SCARD_S_SUCCESS : kSmartCardAllocationFailed);
        }
        g_failCallocOf = 0;
        ASSERT_EQ(g_mallocs.load(), 3);
        EXPECT_EQ(std::vector<size_t>(g_sizes, g_sizes + 3), (std::vector<size_t>{46, 36, 104}));
        EXPECT_EQ(g_frees.load(), fail == 0 ? 0 : 2);
        EXPECT_EQ(out[0] != nullptr && out[1] != nullptr && out[2] != nullptr && capacity == 50,
                  fail == 0);
        for (LPWSTR p : out)
            free(p);
    }
#endif
    ExpectNothingOpen();
}

// ---- the exports ----

// An ASCII password, so that its ANSI bytes are its characters.
constexpr char16_t kSecret[] = u"Qz7#Lk2!Wp9$Xv4&Rt6*";

// SetLoginData, then GetLoginData, each watched: on the PC/SC path, then on
// the terminal.
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

// Each allocation of a read and of a write that fail for want of the card
// service fails in turn: every call still ends in the text of its failure,
// wherever the exception comes.
TEST_F(FrameTest, AFailedAllocationStillEndsInTheErrorTextOfTheFailure) {
    UseReader(kReader);
    Start();
    fake_.establishResult = SCARD_E_NO_SERVICE;
    t_failHere = true;
    for (bool write : {false, true}) {
        long failures = 0;
        for (long n = 1; n < 100000; ++n) {
            LoginBuffers out{};
            g_failed = false;
            g_failIn = n;
            if (write)
                SetLoginData(u"alice", u"PLANT", kSecret, out.error);
            else
                GetLoginData(out.user, out.domain, out.password, out.error);
            g_failIn = 0;
            if (!g_failed)
                break;
            ++failures;
            EXPECT_EQ(std::u16string(out.error).substr(0, 3), write ? u"14 " : u"57 ") << n;
        }
        EXPECT_GT(failures, 10) << write;
    }
    t_failHere = false;
}

}  // namespace
}  // namespace mltest
