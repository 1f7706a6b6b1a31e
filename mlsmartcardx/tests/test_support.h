// Helpers shared by the card library's tests.
#ifndef ML_MLSMARTCARDX_TESTS_TEST_SUPPORT_H_
#define ML_MLSMARTCARDX_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "include/mlcardmanx.h"
#include "mlsmartcardx/mlsmartcard.h"
#include "mlsmartcardx/testing/fake_scard.h"
#include "mlsmartcardx/testing/forwarding_service.h"

namespace mltest {

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

// The three legacy files, each holding its zone of `record`.
inline FakeSCard::Files Legacy(const std::vector<BYTE>& record) {
    auto zone = [&record](DWORD offset, DWORD bytes) {
        return std::vector<BYTE>(record.begin() + offset, record.begin() + offset + bytes);
    };
    return {{kFileUserName, zone(kUserNameOffset, kUserNameBytes)},
            {kFileDomain, zone(kDomainOffset, kDomainBytes)},
            {kFilePassword, zone(kPasswordOffset, kPasswordBytes)}};
}

// SmartCardReadFiles's result and "user|domain|password" (empty on failure),
// checking that the outs, each with two zero units at its end, and the
// capacity 50 come exactly with success.
struct ReadResult {
    LONG rv;
    std::u16string text;
};

inline ReadResult ReadCard(LPCWSTR reader, LPCSTR pin = nullptr) {
    LPWSTR out[3] = {};
    DWORD capacity = 77;
    ReadResult r{SmartCardReadFiles(reader, &out[0], &out[1], &out[2], &capacity, pin), u""};
    EXPECT_EQ(capacity, r.rv == SCARD_S_SUCCESS ? 50u : 77u);
    const size_t ends[3] = {21, 16, 50};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(out[i] != nullptr, r.rv == SCARD_S_SUCCESS);
        if (out[i] != nullptr) {
            EXPECT_TRUE(out[i][ends[i]] == 0 && out[i][ends[i] + 1] == 0);
            r.text.append(i == 0 ? u"" : u"|").append(out[i]);
        }
        std::free(out[i]);
    }
    return r;
}

// A host's handling of one message: a notice gives its code (CARD_INSERTED's
// data copied at once: later passes rewrite it); others are dispatched, 0.
inline int HandleNotice(const MSG& msg, LoginDataBlock* copy) {
    if (msg.message != WM_COMMAND) {
        DispatchMessageW(&msg);
        return 0;
    }
    if (msg.wParam == CARD_INSERTED)
        *copy = *reinterpret_cast<const LoginDataBlock*>(msg.lParam);
    return static_cast<int>(msg.wParam);
}

// Whether the logon (else logoff) event is set; with `reset`, whether a host could reset it.
inline bool InProcess(bool logon, bool reset = false) {
    HANDLE event = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE,
                              logon ? ML_EVENT_LOGON_IN_PROCESS : ML_EVENT_LOGOFF_IN_PROCESS);
    const bool result =
        event != nullptr &&
        (reset ? ResetEvent(event) != FALSE : WaitForSingleObject(event, 0) == WAIT_OBJECT_0);
    CloseHandle(event);
    return result;
}

// A fake reader installed as the service.
class FakeReaderTest : public ::testing::Test {
  public:
    FakeReaderTest() : installed_(&fake) {}

    // A handle on a fresh card, and the session record of `variant`.
    SCARDHANDLE OpenCard(DWORD variant, DWORD protocol) {
        fake.InsertCard(cardsim::Family::generic, {}, protocol);
        SCARDCONTEXT context = 0;
        SCARDHANDLE card = 0;
        EXPECT_EQ(SmartCardConnect(fake.ReaderName().c_str(), &context, &card, &info), 0);
        info.variant = variant;
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
