// Feeds arbitrary card answers to every command and to the login-file
// operations through the fake reader. Whatever the card says, nothing may be
// read or written outside a buffer and the result must be a PC/SC code.
//
// Input: a selector byte (target, variant, protocol), a fault byte (failures
// of the non-transmit calls, also the length of a command's data), an ATR
// choice (3: up to 32 ATR bytes follow), then answers: a control byte (bit 0:
// the transmit fails), a 2-byte length taken modulo 301, and that many bytes.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

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
    if (!ok) {
        fprintf(stderr, "%s\n", what);
        abort();
    }
}

bool IsPcscCode(LONG rv) {
    const uint32_t code = static_cast<uint32_t>(rv);
    return code == 0 || (code >= 0x80100001u && code <= 0x8010006Fu);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool hooked = (SmartCardSetDiagnosticHook(&FormattingHook), true);
    (void)hooked;
    size_t pos = 0;
    auto next = [&] { return pos < size ? data[pos++] : uint8_t{0}; };
    const uint8_t selector = next(), faults = next(), atrChoice = next();
    mltest::FakeSCard fake;
    mltest::ScopedSCardService installed(&fake);
    const DWORD protocols[] = {SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1, SCARD_PROTOCOL_RAW};
    const DWORD protocol = protocols[(selector >> 4) % 3];
    fake.InsertCard(static_cast<cardsim::Family>(atrChoice % 4 % 3), {}, protocol);
    if (atrChoice % 4 == 3) {
        std::vector<BYTE> atr(next() % 33);
        for (BYTE& b : atr)
            b = next();
        fake.SetAtr(atr);
    }
    fake.statusResult = (faults & 0x01) ? SCARD_E_INSUFFICIENT_BUFFER : 0;
    fake.disconnectResult = (faults & 0x02) ? SCARD_E_INVALID_HANDLE : 0;
    fake.connectResult = (faults & 0x0C) == 0x0C ? SCARD_E_SHARING_VIOLATION : 0;
    fake.establishResult = (faults & 0x30) == 0x30 ? SCARD_E_NO_SERVICE : 0;
    fake.releaseResult = (faults & 0xC0) == 0xC0 ? SCARD_E_INVALID_HANDLE : 0;
    while (pos < size && fake.PendingReplies() < 32) {
        const uint8_t control = next();
        std::vector<BYTE> answer(((size_t{next()} << 8) | next()) % 301);
        if (control & 1) {
            fake.FailTransmit(static_cast<LONG>(0x80100001u + next() % 0x6F));
            continue;
        }
        for (BYTE& b : answer)
            b = next();
        fake.Reply(answer);
    }

    const LPCWSTR reader = fake.ReaderName().c_str();
    const unsigned target = selector % 16;
    LONG rv = 0;
    if (target < 7) {  // one command on an open card of any variant, the unknown one included
        SCARDCONTEXT context = 0;
        SCARDHANDLE card = 0;
        DWORD active = 0;
        fake.establishResult = fake.connectResult = SCARD_S_SUCCESS;
        Check(fake.EstablishContext(SCARD_SCOPE_USER, &context) == 0 &&
                  fake.Connect(context, reader, SCARD_SHARE_SHARED,
                               SCARD_PROTOCOL_Tx | SCARD_PROTOCOL_RAW, &card, &active) == 0,
              "the fake refused a card");
        CardInfo info{};
        info.variant = (selector >> 6) % 4;
        info.protocol = protocol;
        std::vector<BYTE> bytes(faults, 0x5A);  // exact size: ASan sees any overrun
        DWORD received = 0;
        switch (target) {
            case 0:
                rv = selectMF(card, info);
                break;
            case 1:
                rv = selectEF(card, info, 0x5544);
                break;
            case 2:
                rv = createFile(card, info, 0x5544, faults);
                break;
            case 3:
                rv = deleteFile(card, info, 0x5544);
                break;
            case 4:
                rv = readBinary(card, info, faults, bytes.data(), faults, &received);
                break;
            case 5:
                rv = updateBinary(card, info, bytes.data(), faults);
                break;
            default:
                rv = verifyPIN(card, info, bytes.data(), faults);
        }
        Check(received <= faults && IsPcscCode(rv), "read beyond Le, or not a PC/SC code");
        for (const mltest::SentApdu& apdu : fake.Sent()) {
            Check(apdu.length <= 260 && apdu.receiveCapacity == kReceiveLength, "bad APDU");
        }
        return 0;
    }
    const LPCSTR pin = (faults & 0x04) ? "1234" : nullptr;
    if (target % 4 == 0) {
        rv = SmartCardCreateFiles(reader, pin);
    } else if (target % 4 == 1) {
        rv = SmartCardDeleteFiles(reader);
    } else if (target % 4 == 2) {
        LPWSTR out[3] = {};
        DWORD capacity = 0;
        rv = SmartCardReadFiles(reader, &out[0], &out[1], &out[2], &capacity, pin);
        Check(rv != SCARD_S_SUCCESS || (capacity == 50 && out[0][0] != 0), "bad outs");
        const size_t units[3] = {23, 18, 52};
        for (int i = 0; i < 3; ++i) {
            Check((rv == SCARD_S_SUCCESS) == (out[i] != nullptr), "outs and result disagree");
            Check(out[i] == nullptr ||
                      std::char_traits<char16_t>::find(out[i], units[i], 0) != nullptr,
                  "an out without its terminator");
            free(out[i]);
        }
    } else {  // values of every length around the fields' capacities
        std::u16string user(faults % 30, u'u'), domain(faults % 20, u'd'), pw(faults % 60, u'p');
        rv = ((selector >> 6) & 1 ? SmartCardStoreFiles : SmartCardWriteFiles)(
            reader, user.c_str(), domain.c_str(), pw.data(), static_cast<DWORD>(pw.size()),
            nullptr);
    }
    Check(IsPcscCode(rv) || rv == kSmartCardAllocationFailed, "not a PC/SC code");
    Check(fake.OpenCards() == 0, "card left open");
    Check(fake.releaseResult != SCARD_S_SUCCESS || fake.OpenContexts() == 0, "context left open");
    return 0;
}
