// Feeds arbitrary card answers to the login-file operations through the fake
// reader: nothing may be read or written outside a buffer, and the result must
// be a PC/SC code. Input: a selector byte (operation, protocol), a fault byte
// (failures of the other calls, lengths of the values), an ATR choice (3: up
// to 32 ATR bytes follow), then answers: a control byte (bit 0: the transmit
// fails), a 2-byte length taken modulo 301, and that many bytes.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "mlsmartcardx/mlsmartcard.h"
#include "mlsmartcardx/testing/fake_scard.h"

namespace {

void FormattingHook(int, const char*, int, const char*, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
}

void Check(bool ok, const char* what) {
    if (!ok && fprintf(stderr, "%s\n", what) >= 0)
        abort();
}

bool IsPcscCode(LONG rv) {
    return rv == 0 || (static_cast<uint32_t>(rv) - 0x80100001u) < 0x6Fu;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static bool hooked = (SmartCardSetDiagnosticHook(&FormattingHook), true);
    size_t pos = 0;
    auto next = [&] { return pos < size ? data[pos++] : uint8_t{0}; };
    auto bytes = [&](size_t n) {
        std::vector<BYTE> out(n);
        for (BYTE& b : out)
            b = next();
        return out;
    };
    const uint8_t selector = next(), faults = next(), atrChoice = next();
    mltest::FakeSCard fake;
    mltest::ScopedSCardService installed(&fake);
    const DWORD protocol = (selector >> 4) & 1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    fake.InsertCard(static_cast<cardsim::Family>(atrChoice % 4 % 3), {}, protocol);
    if (atrChoice % 4 == 3)
        fake.SetAtr(bytes(next() % 33));
    fake.statusResult = (faults & 0x01) ? SCARD_E_INSUFFICIENT_BUFFER : 0;
    fake.disconnectResult = (faults & 0x02) ? SCARD_E_INVALID_HANDLE : 0;
    fake.connectResult = (faults & 0x0C) == 0x0C ? SCARD_E_SHARING_VIOLATION : 0;
    fake.establishResult = (faults & 0x30) == 0x30 ? SCARD_E_NO_SERVICE : 0;
    fake.releaseResult = (faults & 0xC0) == 0xC0 ? SCARD_E_INVALID_HANDLE : 0;
    while (pos < size && fake.PendingReplies() < 32) {
        const bool fail = next() & 1;
        const size_t length = ((size_t{next()} << 8) | next()) % 301;
        fail ? fake.FailTransmit(static_cast<LONG>(0x80100001u + next() % 0x6F))
             : fake.Reply(bytes(length));
    }

    const LPCWSTR reader = fake.ReaderName().c_str();
    const LPCSTR pin = (faults & 0x04) ? "1234" : nullptr;
    DWORD capacity = 0;
    LPWSTR out[3] = {};
    // Values of every length around the fields' capacities.
    std::u16string user(faults % 30, u'u'), domain(faults % 20, u'd'), pw(faults % 60, u'p');
    const auto write = (selector >> 6) & 1 ? SmartCardStoreFiles : SmartCardWriteFiles;
    const std::function<LONG()> targets[] = {
        [&] { return SmartCardCreateFiles(reader, pin); },
        [&] { return SmartCardDeleteFiles(reader); },
        [&] { return SmartCardReadFiles(reader, &out[0], &out[1], &out[2], &capacity, pin); },
        [&] {
            return write(reader, user.c_str(), domain.c_str(), pw.data(),
                         static_cast<DWORD>(pw.size()), nullptr);
        },
    };
    const bool read = selector % 4 == 2;
    const LONG rv = targets[selector % 4]();
    Check(IsPcscCode(rv) || rv == kSmartCardAllocationFailed, "not a PC/SC code");
    for (const mltest::SentApdu& apdu : fake.Sent())
        Check(apdu.length <= 260 && apdu.receiveCapacity == kReceiveLength, "bad APDU");
    Check(rv != SCARD_S_SUCCESS || !read || (capacity == 50 && out[0][0] != 0), "bad outs");
    const size_t units[3] = {23, 18, 52};
    for (int i = 0; i < 3; ++i) {
        Check((rv == SCARD_S_SUCCESS) == (out[i] != nullptr) || !read, "outs, result differ");
        Check(!out[i] || std::char_traits<char16_t>::find(out[i], units[i], 0), "no terminator");
        free(out[i]);
    }
    Check(fake.OpenCards() == 0, "card left open");
    Check(fake.releaseResult != 0 || fake.OpenContexts() == 0, "context left open");
    return 0;
}
