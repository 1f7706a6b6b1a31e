// Allocation, watched by replacing the allocation functions of this program:
//  - the card library's operations allocate only the three buffers a read
//    hands out;
//  - no block freed while the exports write and read the login data holds
//    the password, as UTF-16 or ANSI bytes (the stand-ins for the card
//    service and the driver mark their own work, which is left out);
//  - an allocation that fails anywhere in a failing read or write still ends
//    in an error text, never in the empty text of success.
// malloc and friends are replaced only outside AddressSanitizer builds, which
// own them; there only what operator delete frees is looked at. Of operator
// new and delete only the plain forms (and the sized delete) are replaced:
// the library's other forms call them.
#include <malloc.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

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

std::atomic<bool> g_counting{false};
std::atomic<int> g_mallocs{0}, g_frees{0};
std::atomic<size_t> g_sizes[8];
std::atomic<size_t> g_failCallocOf{0};  // calloc of this size fails while counting
std::atomic<int> g_standIn{0};          // depth of the stand-ins' work (MlTestStandInWork)

// Freed blocks are looked at for these byte strings while g_scanning.
struct Secret {
    unsigned char bytes[16];
    size_t length;
};
Secret g_secrets[64];
std::atomic<int> g_secretCount{0}, g_secretFrees{0};
std::atomic<bool> g_scanning{false};

// While armed, operator new on the armed thread (outside the stand-ins)
// counts down and throws when it reaches 0; g_failed tells that it did.
std::atomic<long> g_failIn{0};
std::atomic<bool> g_failed{false};
thread_local bool t_failHere = false;

[[maybe_unused]] bool Count(size_t size) {
    if (g_counting.load()) {
        if (int n = g_mallocs++; n < 8)
            g_sizes[n] = size;
    }
    return g_counting.load() && g_failCallocOf.load() == size;
}

void LookAtFreed(void* p) {
    if (p == nullptr || !g_scanning.load() || g_standIn.load() != 0)
        return;
    for (int i = 0; i < g_secretCount.load(); ++i) {
        if (memmem(p, malloc_usable_size(p), g_secrets[i].bytes, g_secrets[i].length) != nullptr) {
            ++g_secretFrees;
            return;
        }
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void MlTestStandInWork(int p_nChange) {
    g_standIn += p_nChange;
}

// Replaced in every build; counted here where malloc does not count.
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

class AllocationTest : public FakeReaderTest {
  public:
    // SmartCardReadFiles of a card answering a 240-byte record, counted.
    LONG CountedRead(LPWSTR* user, LPWSTR* domain, LPWSTR* password, DWORD* capacity) {
        fake.ReplySw(0x9000);
        fake.ReplySw(0x9000);
        fake.ReplyData(std::vector<BYTE>(240, 0x41), 0x9000);
        Counting counting;
        return SmartCardReadFiles(reader, user, domain, password, capacity);
    }

    const LPCWSTR reader = u"Fake Reader 00";
};

TEST_F(AllocationTest, OperationsAllocateNothingButTheReadBuffers) {
    {
        Counting counting;
        delete new int(1);  // the counter sees an allocation made here
    }
    ASSERT_EQ(g_mallocs.load(), 1);
    ml::GetSCardService();  // made on first use, once per process

    // Write (3 APDUs), create (2), delete (5), store in place (4): their
    // commands use stack buffers.
    for (int i = 0; i < 12; ++i)
        fake.ReplySw(0x9000);
    fake.ReplyData(std::vector<BYTE>(240, 0x41), 0x9000);
    fake.ReplySw(0x9000);
    LONG results = 0;
    {
        Counting counting;
        results |= SmartCardWriteFiles(reader, u"user", u"domain", u"secret", 6);
        results |= SmartCardCreateFiles(reader);
        results |= SmartCardDeleteFiles(reader);
        results |= SmartCardStoreFiles(reader, u"user", u"domain", u"secret", 6);
    }
    EXPECT_EQ(results, SCARD_S_SUCCESS);
    EXPECT_EQ(g_mallocs.load(), 0);

#if ML_COUNT_MALLOC  // malloc belongs to the sanitizer otherwise
    // Read: exactly the three buffers of 46, 36 and 104 bytes.
    LPWSTR user = nullptr, domain = nullptr, password = nullptr;
    DWORD capacity = 0;
    EXPECT_EQ(CountedRead(&user, &domain, &password, &capacity), SCARD_S_SUCCESS);
    ASSERT_EQ(g_mallocs.load(), 3);
    EXPECT_EQ(std::vector<size_t>(g_sizes, g_sizes + 3), (std::vector<size_t>{46, 36, 104}));
    for (LPWSTR* buffer : {&user, &domain, &password})
        free(std::exchange(*buffer, nullptr));
    capacity = 0;

    // A failed allocation: kSmartCardAllocationFailed, and the two buffers
    // that were had are released.
    g_failCallocOf = 36;
    EXPECT_EQ(CountedRead(&user, &domain, &password, &capacity), kSmartCardAllocationFailed);
    g_failCallocOf = 0;
    EXPECT_EQ(g_mallocs.load(), 3);  // all three were attempted
    EXPECT_EQ(g_frees.load(), 2);
    EXPECT_TRUE(user == nullptr && domain == nullptr && password == nullptr);
    EXPECT_EQ(capacity, 0u);
#endif
    ExpectNothingOpen();
}

// ---- the exports ----

// An ASCII password, so that its ANSI bytes are its characters.
constexpr char16_t kSecret[] = u"Qz7#Lk2!Wp9$Xv4&Rt6*";

// While it lives, every freed block is looked at for any eight characters of
// the password in a row, as UTF-16LE and as ANSI bytes (a buffer that grew
// holds the beginning of a text).
class SecretWatch {
  public:
    explicit SecretWatch(std::u16string_view password) {
        int n = 0;
        for (size_t at = 0; at + 8 <= password.size(); ++at) {
            Secret& utf16 = g_secrets[n++];
            Secret& ansi = g_secrets[n++];
            utf16.length = 16;
            ansi.length = 8;
            for (size_t i = 0; i < 8; ++i) {
                char16_t c = password[at + i];
                utf16.bytes[2 * i] = static_cast<unsigned char>(c & 0xFF);
                utf16.bytes[2 * i + 1] = static_cast<unsigned char>(c >> 8);
                ansi.bytes[i] = static_cast<unsigned char>(c);
            }
        }
        g_secretCount = n;
        g_secretFrees = 0;
        g_scanning = true;
    }
    ~SecretWatch() { g_scanning = false; }
    int Found() const { return g_secretFrees.load(); }
};

// SetLoginData, then GetLoginData, watched each: on the PC/SC path, then on
// the terminal.
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
        int inWrite = 0, inRead = 0;
        {
            SecretWatch watch(kSecret);
            { std::u16string control(kSecret); }
            ASSERT_EQ(watch.Found(), 1) << "the watch sees a copy freed here";
            SetLoginData(u"alice", u"PLANT", kSecret, written.error);
            inWrite = watch.Found() - 1;
            GetLoginData(read.user, read.domain, read.password, read.error);
            inRead = watch.Found() - 1 - inWrite;
        }
        EXPECT_EQ(std::u16string(written.error) + read.error, u"");
        EXPECT_EQ(std::u16string(read.password), kSecret);
        EXPECT_EQ(inWrite, 0) << "freed blocks holding the password in the write";
        EXPECT_EQ(inRead, 0) << "freed blocks holding the password in the read";
        Stop();
    }
}

// Each allocation of a read and of a write that fail for want of the card
// service fails in turn: every call still ends in the text of its failure
// (57 for a read, 14 for a write), whether the exception comes in the card
// operation, in the question to the user or in the export itself.
TEST_F(FrameTest, AFailedAllocationStillEndsInTheErrorTextOfTheFailure) {
    UseReader(kReader);
    Start();
    fake_.establishResult = SCARD_E_NO_SERVICE;
    t_failHere = true;
    for (bool write : {false, true}) {
        const std::u16string expected = write ? u"14 " : u"57 ";
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
            EXPECT_EQ(std::u16string(out.error).substr(0, 3), expected) << "allocation " << n;
        }
        EXPECT_GT(failures, 10) << (write ? "write" : "read");
    }
    t_failHere = false;
}

}  // namespace
}  // namespace mltest
