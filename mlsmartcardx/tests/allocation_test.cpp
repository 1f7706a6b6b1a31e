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
std::atomic<int> g_mallocs{0};
std::atomic<int> g_frees{0};
std::atomic<size_t> g_sizes[8];
// calloc of this size fails while counting (0 = none).
std::atomic<size_t> g_failCallocOf{0};

[[maybe_unused]] bool Count(size_t size) {
    if (g_counting.load()) {
        int n = g_mallocs.fetch_add(1);
        if (n < 8) {
            g_sizes[n] = size;
        }
    }
    return g_counting.load() && g_failCallocOf.load() == size;
}

}  // namespace

// Replaced in every build, with the matching deletes; counted here where
// malloc does not count.
void* operator new(size_t size) {
    if (!ML_COUNT_MALLOC) {
        Count(size);
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
    Count(size);
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    return Count(n * size) ? nullptr : __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    Count(size);
    return __libc_realloc(p, size);
}
void free(void* p) {
    g_frees += p != nullptr && g_counting.load();
    __libc_free(p);
}
}
#endif

namespace mltest {
namespace {

class Counting {
  public:
    Counting() {
        g_mallocs = 0;
        g_frees = 0;
        g_counting = true;
    }
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

TEST_F(AllocationTest, CommandsAllocateNothing) {
    {
        Counting counting;
        delete new int(1);  // the counter sees an allocation made here
    }
    ASSERT_EQ(g_mallocs.load(), 1);
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
        }
        EXPECT_EQ(std::vector<LONG>(results, results + 7), std::vector<LONG>(7, SCARD_S_SUCCESS));
        EXPECT_EQ(received, 20u);
        EXPECT_EQ(g_mallocs.load(), 0) << "variant " << variant;
    }
}

TEST_F(AllocationTest, OperationsAllocateOnlyTheReadBuffers) {
    // Write (3 APDUs), create (2), delete (5), store in place (4): nothing at
    // all.
    for (int i = 0; i < 12; ++i) {
        fake.ReplySw(0x9000);
    }
    fake.ReplyData(std::vector<BYTE>(240, 0x41), 0x9000);
    fake.ReplySw(0x9000);
    LONG write, create, remove, store;
    {
        Counting counting;
        write = SmartCardWriteFiles(reader, u"user", u"domain", u"secret", 6);
        create = SmartCardCreateFiles(reader);
        remove = SmartCardDeleteFiles(reader);
        store = SmartCardStoreFiles(reader, u"user", u"domain", u"secret", 6);
    }
    EXPECT_EQ(write, SCARD_S_SUCCESS);
    EXPECT_EQ(create, SCARD_S_SUCCESS);
    EXPECT_EQ(remove, SCARD_S_SUCCESS);
    EXPECT_EQ(store, SCARD_S_SUCCESS);
    EXPECT_EQ(fake.Sent().size(), 14u);
    EXPECT_EQ(g_mallocs.load(), 0);

#if ML_COUNT_MALLOC  // malloc belongs to the sanitizer otherwise
    // Read: exactly the three buffers of 46, 36 and 104 bytes.
    LPWSTR user = nullptr, domain = nullptr, password = nullptr;
    DWORD capacity = 0;
    EXPECT_EQ(CountedRead(&user, &domain, &password, &capacity), SCARD_S_SUCCESS);
    ASSERT_EQ(g_mallocs.load(), 3);
    EXPECT_EQ(g_sizes[0].load(), 46u);
    EXPECT_EQ(g_sizes[1].load(), 36u);
    EXPECT_EQ(g_sizes[2].load(), 104u);
    free(user);
    free(domain);
    free(password);
    user = domain = password = nullptr;
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
    ExpectNothingOpen();
#endif
}

}  // namespace
}  // namespace mltest
