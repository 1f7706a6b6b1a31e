// The commands allocate nothing; the operations allocate only the three
// buffers a read hands out. Counted by replacing the allocation functions of
// this test binary. malloc and friends are replaced only outside
// AddressSanitizer builds, which own them.
#include <atomic>
#include <cstdlib>
#include <new>

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
std::atomic<int> g_news{0};
std::atomic<int> g_mallocs{0};
std::atomic<int> g_frees{0};
std::atomic<size_t> g_sizes[8];
// calloc of this size fails while counting (0 = none).
std::atomic<size_t> g_failCallocOf{0};

[[maybe_unused]] void CountMalloc(size_t size) {
    if (g_counting.load()) {
        int n = g_mallocs.fetch_add(1);
        if (n < 8) {
            g_sizes[n] = size;
        }
    }
}

}  // namespace

void* operator new(size_t size) {
    if (g_counting.load()) {
        g_news.fetch_add(1);
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}

#if ML_COUNT_MALLOC
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

void* malloc(size_t size) {
    CountMalloc(size);
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    CountMalloc(n * size);
    if (g_counting.load() && g_failCallocOf.load() == n * size) {
        return nullptr;
    }
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    CountMalloc(size);
    return __libc_realloc(p, size);
}
void free(void* p) {
    if (p != nullptr && g_counting.load()) {
        g_frees.fetch_add(1);
    }
    __libc_free(p);
}
}
#endif

namespace mltest {
namespace {

class Counting {
  public:
    Counting() {
        g_news = 0;
        g_mallocs = 0;
        g_frees = 0;
        g_counting = true;
    }
    ~Counting() { Stop(); }
    void Stop() { g_counting = false; }
};

class AllocationTest : public FakeReaderTest {};

TEST_F(AllocationTest, CommandsAllocateNothing) {
    const BYTE data[] = {1, 2, 3, 4};
    for (DWORD variant : {kCardVariantGeneric, kCardVariantTcos12, kCardVariantClass80}) {
        SCARDHANDLE card = OpenCard(variant, SCARD_PROTOCOL_T1);
        for (int i = 0; i < 7; ++i) {
            fake.ReplyData(std::vector<BYTE>(20, 0x11), 0x9000);
        }
        BYTE buffer[32];
        DWORD received = 0;
        LONG results[7];
        {
            Counting counting;
            results[0] = selectMF(card, info);
            results[1] = selectEF(card, info, 0x5544);
            results[2] = createFile(card, info, 0x5544, 0xF0);
            results[3] = deleteFile(card, info, 0x5544);
            results[4] = readBinary(card, info, 20, buffer, sizeof(buffer), &received);
            results[5] = updateBinary(card, info, data, sizeof(data));
            results[6] = verifyPIN(card, info, data, sizeof(data));
            counting.Stop();
        }
        for (LONG rv : results) {
            EXPECT_EQ(rv, SCARD_S_SUCCESS);
        }
        EXPECT_EQ(received, 20u);
        EXPECT_EQ(fake.Sent().size() % 7, 0u);
        EXPECT_EQ(g_news.load(), 0) << "variant " << variant;
        EXPECT_EQ(g_mallocs.load(), 0) << "variant " << variant;
    }
}

TEST_F(AllocationTest, OperationsAllocateOnlyTheReadBuffers) {
    const LPCWSTR reader = u"Fake Reader 00";
    // Write, create, delete: nothing at all.
    for (int i = 0; i < 4; ++i) {
        fake.ReplySw(0x9000);
    }
    fake.ReplySw(0x9000);
    fake.ReplySw(0x9000);
    for (int i = 0; i < 5; ++i) {
        fake.ReplySw(0x9000);
    }
    LONG write, create, remove;
    {
        Counting counting;
        write = SmartCardWriteFiles(reader, u"user", u"domain", u"secret", 6);
        create = SmartCardCreateFiles(reader);
        remove = SmartCardDeleteFiles(reader);
        counting.Stop();
    }
    EXPECT_EQ(write, SCARD_S_SUCCESS);
    EXPECT_EQ(create, SCARD_S_SUCCESS);
    EXPECT_EQ(remove, SCARD_S_SUCCESS);
    EXPECT_EQ(g_news.load(), 0);
    EXPECT_EQ(g_mallocs.load(), 0);

#if ML_COUNT_MALLOC
    // Read: exactly the three buffers of 46, 36 and 104 bytes.
    fake.ReplySw(0x9000);
    fake.ReplySw(0x9000);
    fake.ReplyData(std::vector<BYTE>(240, 0x41), 0x9000);
    LPWSTR user = nullptr, domain = nullptr, password = nullptr;
    DWORD capacity = 0;
    LONG read;
    {
        Counting counting;
        read = SmartCardReadFiles(reader, &user, &domain, &password, &capacity);
        counting.Stop();
    }
    EXPECT_EQ(read, SCARD_S_SUCCESS);
    EXPECT_EQ(g_news.load(), 0);
    ASSERT_EQ(g_mallocs.load(), 3);
    EXPECT_EQ(g_sizes[0].load(), 46u);
    EXPECT_EQ(g_sizes[1].load(), 36u);
    EXPECT_EQ(g_sizes[2].load(), 104u);
    free(user);
    free(domain);
    free(password);
#endif
}

TEST_F(AllocationTest, FailedAllocationReturnsEightAndReleasesTheRest) {
#if !ML_COUNT_MALLOC
    GTEST_SKIP() << "malloc belongs to the sanitizer in this build";
#else
    const LPCWSTR reader = u"Fake Reader 00";
    fake.ReplySw(0x9000);
    fake.ReplySw(0x9000);
    fake.ReplyData(std::vector<BYTE>(240, 0x41), 0x9000);
    LPWSTR user = nullptr, domain = nullptr, password = nullptr;
    DWORD capacity = 0;
    LONG read;
    g_failCallocOf = 36;
    {
        Counting counting;
        read = SmartCardReadFiles(reader, &user, &domain, &password, &capacity);
        counting.Stop();
    }
    g_failCallocOf = 0;
    EXPECT_EQ(read, kSmartCardAllocationFailed);
    EXPECT_EQ(g_mallocs.load(), 3);  // all three were attempted
    EXPECT_EQ(g_frees.load(), 2);    // and the two that succeeded released
    EXPECT_EQ(user, nullptr);
    EXPECT_EQ(domain, nullptr);
    EXPECT_EQ(password, nullptr);
    EXPECT_EQ(capacity, 0u);
    EXPECT_EQ(fake.OpenContexts(), 0);
#endif
}

}  // namespace
}  // namespace mltest
