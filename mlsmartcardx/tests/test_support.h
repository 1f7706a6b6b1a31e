// Helpers shared by the card library's tests.
#ifndef ML_MLSMARTCARDX_TESTS_TEST_SUPPORT_H_
#define ML_MLSMARTCARDX_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "mlsmartcardx/mlsmartcard.h"
#include "mlsmartcardx/testing/fake_scard.h"

namespace mltest {

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

// Collects the library's diagnostic texts, formatted, while it lives.
class DiagnosticCollector {
  public:
    struct Entry {
        int level;
        std::string source;
        int line;
        std::string library;
        std::string text;
    };

    DiagnosticCollector() : previous_(SmartCardSetDiagnosticHook(&Hook)) { entries().clear(); }
    ~DiagnosticCollector() { SmartCardSetDiagnosticHook(previous_); }

    static std::vector<Entry>& entries() {
        static std::vector<Entry> list;
        return list;
    }
    bool Contains(const std::string& text) const {
        for (const Entry& e : entries()) {
            if (e.text == text) {
                return true;
            }
        }
        return false;
    }
    bool AnyContains(const std::string& fragment) const {
        for (const Entry& e : entries()) {
            if (e.text.find(fragment) != std::string::npos) {
                return true;
            }
        }
        return false;
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
        fake.InsertCard(GenericAtr(), protocol);
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

    FakeSCard fake;
    CardInfo info{};

  private:
    ScopedSCardService installed_;
};

}  // namespace mltest

#endif  // ML_MLSMARTCARDX_TESTS_TEST_SUPPORT_H_
