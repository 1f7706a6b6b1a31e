// Helpers shared by the card library's tests.
#ifndef ML_MLSMARTCARDX_TESTS_TEST_SUPPORT_H_
#define ML_MLSMARTCARDX_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>

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
    for (std::string byte; in >> byte;)
        out.push_back(static_cast<BYTE>(std::stoul(byte, 0, 16)));
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
    const int i = file == kFileUserName ? 0 : file == kFileDomain ? 1 : 2;
    const DWORD offset[] = {kUserNameOffset, kDomainOffset, kPasswordOffset},
                bytes[] = {kUserNameBytes, kDomainBytes, kPasswordBytes};
    return {record.begin() + offset[i], record.begin() + offset[i] + bytes[i]};
}

// What SmartCardReadFiles handed out; the buffers are freed. Checks that
// the outs come exactly with success, each ending with its two zero units
// (index 21, 16, 50), and the capacity 50.
struct ReadResult {
    LONG rv = 0;
    std::u16string user, domain, password;
};

inline ReadResult ReadCard(LPCWSTR reader, LPCSTR pin = nullptr) {
    ReadResult r;
    LPWSTR out[3] = {};
    DWORD capacity = 0;
    r.rv = SmartCardReadFiles(reader, &out[0], &out[1], &out[2], &capacity, pin);
    const size_t ends[3] = {21, 16, 50};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(out[i] != nullptr, r.rv == SCARD_S_SUCCESS);
        if (out[i] != nullptr) {
            EXPECT_TRUE(out[i][ends[i]] == 0 && out[i][ends[i] + 1] == 0);
        }
    }
    if (r.rv == SCARD_S_SUCCESS) {
        EXPECT_EQ(capacity, 50u);
        r.user = out[0], r.domain = out[1], r.password = out[2];
    }
    for (LPWSTR p : out)
        std::free(p);
    return r;
}

// Collects the library's diagnostic texts, formatted, while it lives.
class DiagnosticCollector {
  public:
    DiagnosticCollector() : previous_(SmartCardSetDiagnosticHook(&Hook)) { all().clear(); }
    ~DiagnosticCollector() { SmartCardSetDiagnosticHook(previous_); }
    static std::string& all() {
        static std::string texts;
        return texts;
    }

  private:
    static void Hook(int, const char*, int, const char*, const char* format, ...) {
        char text[1024];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof(text), format, args);
        va_end(args);
        all() += text;
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
        SCARDHANDLE card = 0;
        DWORD active = 0;
        EXPECT_EQ(fake.EstablishContext(SCARD_SCOPE_USER, &context), SCARD_S_SUCCESS);
        EXPECT_EQ(fake.Connect(context, fake.ReaderName().c_str(), SCARD_SHARE_SHARED,
                               SCARD_PROTOCOL_Tx | SCARD_PROTOCOL_RAW, &card, &active),
                  SCARD_S_SUCCESS);
        info = CardInfo{};
        info.variant = variant;
        info.protocol = protocol;
        return card;
    }
    void ExpectNothingOpen() { EXPECT_EQ(fake.OpenContexts() + fake.OpenCards(), 0); }

    FakeSCard fake;
    CardInfo info{};

  private:
    ScopedSCardService installed_;
};

}  // namespace mltest

#endif  // ML_MLSMARTCARDX_TESTS_TEST_SUPPORT_H_
