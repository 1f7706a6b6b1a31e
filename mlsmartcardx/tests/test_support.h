// Helpers shared by the card library's tests.
#ifndef ML_MLSMARTCARDX_TESTS_TEST_SUPPORT_H_
#define ML_MLSMARTCARDX_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "mlsmartcardx/mlsmartcard.h"
#include "mlsmartcardx/testing/fake_scard.h"
#include "mlsmartcardx/testing/forwarding_service.h"

namespace mltest {

using Apdus = std::vector<std::vector<BYTE>>;

// "00 A4 0C" -> {0x00, 0xA4, 0x0C}
inline std::vector<BYTE> Hex(const std::string& text) {
    std::vector<BYTE> out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte) {
        out.push_back(static_cast<BYTE>(std::stoul(byte, nullptr, 16)));
    }
    return out;
}

inline std::vector<BYTE> Concat(std::vector<BYTE> a, const std::vector<BYTE>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// {0x0A, 0xFF} -> "0AFF", as the emulator's image files hold it.
inline std::string HexOf(const std::vector<BYTE>& bytes) {
    std::string out;
    char b[3];
    for (BYTE x : bytes) {
        std::snprintf(b, sizeof b, "%02X", x);
        out += b;
    }
    return out;
}

inline std::u16string Widen(const std::string& ascii) {
    return {ascii.begin(), ascii.end()};
}

// The 240-byte login record with the three fields, UTF-16LE, cut to their zones.
inline std::vector<BYTE> Record(std::u16string_view user, std::u16string_view domain,
                                std::u16string_view password) {
    std::vector<BYTE> record(kLoginRecordSize, 0);
    auto put = [&record](DWORD offset, DWORD bytes, std::u16string_view value) {
        for (size_t i = 0; i < value.size() && 2 * i + 1 < bytes; ++i) {
            record[offset + 2 * i] = static_cast<BYTE>(value[i] & 0xFF);
            record[offset + 2 * i + 1] = static_cast<BYTE>(value[i] >> 8);
        }
    };
    put(kUserNameOffset, kUserNameBytes, user);
    put(kDomainOffset, kDomainBytes, domain);
    put(kPasswordOffset, kPasswordBytes, password);
    return record;
}

// The zone of `file` (a legacy file) within a login record.
inline std::vector<BYTE> Zone(const std::vector<BYTE>& record, WORD file) {
    const auto [offset, bytes] = file == kFileUserName ? std::pair{kUserNameOffset, kUserNameBytes}
                                 : file == kFileDomain ? std::pair{kDomainOffset, kDomainBytes}
                                                       : std::pair{kPasswordOffset, kPasswordBytes};
    return {record.begin() + offset, record.begin() + offset + bytes};
}

// What SmartCardReadFiles handed out; the buffers are freed.
struct ReadResult {
    LONG rv = 0;
    std::u16string user, domain, password;
    DWORD capacity = 0;
    bool handedOut = false;
    // Whether each buffer ended with its guaranteed zeros (index 21, 16, 50).
    bool terminated = false;
};

inline ReadResult ReadCard(LPCWSTR reader, LPCSTR pin = nullptr) {
    ReadResult r;
    LPWSTR user = nullptr, domain = nullptr, password = nullptr;
    r.rv = SmartCardReadFiles(reader, &user, &domain, &password, &r.capacity, pin);
    if (user != nullptr && domain != nullptr && password != nullptr) {
        r.handedOut = true;
        r.user = user;
        r.domain = domain;
        r.password = password;
        r.terminated = user[21] == 0 && user[22] == 0 && domain[16] == 0 && domain[17] == 0 &&
                       password[50] == 0 && password[51] == 0;
    }
    EXPECT_EQ(r.handedOut, r.rv == SCARD_S_SUCCESS);
    std::free(user);
    std::free(domain);
    std::free(password);
    return r;
}

// Collects the library's diagnostic texts, formatted, while it lives.
class DiagnosticCollector {
  public:
    struct Entry {
        int level;
        std::string source;
        int line;
        std::string library, text;
    };

    DiagnosticCollector() : previous_(SmartCardSetDiagnosticHook(&Hook)) { entries().clear(); }
    ~DiagnosticCollector() { SmartCardSetDiagnosticHook(previous_); }

    static std::vector<Entry>& entries() {
        static std::vector<Entry> list;
        return list;
    }
    bool AnyContains(const std::string& fragment) const {
        return std::any_of(entries().begin(), entries().end(), [&](const Entry& e) {
            return e.text.find(fragment) != std::string::npos;
        });
    }

  private:
    static void Hook(int level, const char* source, int line, const char* library,
                     const char* format, ...) {
        char text[1024];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof(text), format, args);
        va_end(args);
        entries().push_back({level, source, line, library, text});
    }

    SmartCardDiagnosticHook previous_;
};

// A fake reader installed as the service, with a helper to open a card
// handle for the command tests.
class FakeReaderTest : public ::testing::Test {
  public:
    FakeReaderTest() : installed_(&fake) {}

    // A handle on the fake card and a session record for `variant`.
    SCARDHANDLE OpenCard(DWORD variant, DWORD protocol) {
        fake.InsertCard(cardsim::Family::generic, {}, protocol);
        SCARDCONTEXT context = 0;
        EXPECT_EQ(fake.EstablishContext(SCARD_SCOPE_USER, &context), SCARD_S_SUCCESS);
        SCARDHANDLE card = 0;
        DWORD active = 0;
        EXPECT_EQ(fake.Connect(context, fake.ReaderName().c_str(), SCARD_SHARE_SHARED,
                               SCARD_PROTOCOL_Tx | SCARD_PROTOCOL_RAW, &card, &active),
                  SCARD_S_SUCCESS);
        info = CardInfo{};
        info.variant = variant;
        info.protocol = protocol;
        return card;
    }
    void ExpectNothingOpen() {
        EXPECT_EQ(fake.OpenContexts(), 0);
        EXPECT_EQ(fake.OpenCards(), 0);
    }

    FakeSCard fake;
    CardInfo info{};

  private:
    ScopedSCardService installed_;
};

}  // namespace mltest

#endif  // ML_MLSMARTCARDX_TESTS_TEST_SUPPORT_H_
