// Feeds arbitrary card answers to every command and to the four login-file
// operations through the fake reader. Whatever the card says, nothing may be
// read or written outside a buffer and the result must be a PC/SC code.
//
// Input: a selector byte (target, variant, protocol), a fault byte (failures
// of the non-transmit calls), an ATR choice with up to 32 ATR bytes, then
// answers: a control byte (bit 0: the transmit fails), a 2-byte length taken
// modulo 301, and that many bytes.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "mlsmartcardx/mlsmartcard.h"
#include "mlsmartcardx/testing/fake_scard.h"

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    uint8_t Byte() { return pos < size ? data[pos++] : 0; }
};

// Formats every text, as a hook that logs would.
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

// A terminated string that fits its buffer of `units` code units.
bool Terminated(const WCHAR* text, size_t units) {
    return std::char_traits<char16_t>::find(text, units, u'\0') != nullptr;
}

const DWORD kProtocols[] = {SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1, SCARD_PROTOCOL_RAW};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool hooked = (SmartCardSetDiagnosticHook(&FormattingHook), true);
    (void)hooked;

    Input in{data, size};
    const uint8_t selector = in.Byte(), faults = in.Byte(), atrChoice = in.Byte();
    mltest::FakeSCard fake;
    mltest::ScopedSCardService installed(&fake);
    const DWORD protocol = kProtocols[(selector >> 4) % 3];
    // A card of each family, or one with an arbitrary ATR.
    const cardsim::Family families[] = {cardsim::Family::generic, cardsim::Family::tcos12,
                                        cardsim::Family::class80};
    fake.InsertCard(families[atrChoice % 4 % 3], {}, protocol);
    if (atrChoice % 4 == 3) {
        std::vector<BYTE> atr(in.Byte() % 33);
        for (BYTE& b : atr) {
            b = in.Byte();
        }
        fake.SetAtr(atr);
    }
    fake.statusResult = (faults & 0x01) ? SCARD_E_INSUFFICIENT_BUFFER : 0;
    fake.disconnectResult = (faults & 0x02) ? SCARD_E_INVALID_HANDLE : 0;
    fake.connectResult = (faults & 0x0C) == 0x0C ? SCARD_E_SHARING_VIOLATION : 0;
    fake.establishResult = (faults & 0x30) == 0x30 ? SCARD_E_NO_SERVICE : 0;
    fake.releaseResult = (faults & 0xC0) == 0xC0 ? SCARD_E_INVALID_HANDLE : 0;

    while (in.pos < in.size && fake.PendingReplies() < 32) {
        const uint8_t control = in.Byte();
        size_t length = ((size_t{in.Byte()} << 8) | in.Byte()) % 301;
        if (control & 1) {
            fake.FailTransmit(static_cast<LONG>(0x80100001u + in.Byte() % 0x6F));
            continue;
        }
        std::vector<BYTE> answer(length);
        for (BYTE& b : answer) {
            b = in.Byte();
        }
        fake.Reply(answer);
    }

    const LPCWSTR reader = u"Fake Reader 00";
    const unsigned target = selector % 16;
    LONG rv = 0;
    if (target < 7) {
        // One command on an open card of any variant, the unknown one included.
        SCARDCONTEXT context = 0;
        SCARDHANDLE card = 0;
        DWORD active = 0;
        fake.establishResult = fake.connectResult = SCARD_S_SUCCESS;
        Check(fake.EstablishContext(SCARD_SCOPE_USER, &context) == SCARD_S_SUCCESS &&
                  fake.Connect(context, reader, SCARD_SHARE_SHARED,
                               SCARD_PROTOCOL_Tx | SCARD_PROTOCOL_RAW, &card,
                               &active) == SCARD_S_SUCCESS,
              "the fake refused a card");
        CardInfo info{};
        info.variant = (selector >> 6) % 4;
        info.protocol = protocol;
        const BYTE length = faults;
        std::vector<BYTE> bytes(length, 0x5A);  // exact size: ASan sees any overrun
        DWORD received = 0;
        const std::function<LONG()> commands[] = {
            [&] { return selectMF(card, info); },
            [&] { return selectEF(card, info, 0x5544); },
            [&] { return createFile(card, info, 0x5544, length); },
            [&] { return deleteFile(card, info, 0x5544); },
            [&] { return readBinary(card, info, length, bytes.data(), length, &received); },
            [&] { return updateBinary(card, info, bytes.data(), length); },
            [&] { return verifyPIN(card, info, bytes.data(), length); },
        };
        rv = commands[target]();
        Check(received <= length, "read beyond Le");
        Check(IsPcscCode(rv), "not a PC/SC code");
        // Every APDU stays within the send buffer and offers 300 bytes.
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
        LPWSTR user = nullptr, domain = nullptr, password = nullptr;
        DWORD capacity = 0;
        rv = SmartCardReadFiles(reader, &user, &domain, &password, &capacity, pin);
        if (rv == SCARD_S_SUCCESS) {
            Check(Terminated(user, 23) && Terminated(domain, 18) && Terminated(password, 52) &&
                      capacity == 50,
                  "bad outs");
            Check(user[0] != 0, "a record without user name handed out");
        } else {
            Check(user == nullptr && domain == nullptr && password == nullptr, "outs on failure");
        }
        free(user);
        free(domain);
        free(password);
    } else {
        // Values of every length around the fields' capacities.
        std::u16string user(faults % 30, u'u'), domain(faults % 20, u'd');
        std::u16string password(faults % 60, u'p');
        const auto write = (selector >> 6) & 1 ? SmartCardStoreFiles : SmartCardWriteFiles;
        rv = write(reader, user.c_str(), domain.c_str(), password.data(),
                   static_cast<DWORD>(password.size()), nullptr);
    }
    Check(IsPcscCode(rv) || rv == kSmartCardAllocationFailed, "not a PC/SC code");
    Check(fake.OpenCards() == 0, "card left open");
    Check(fake.releaseResult != SCARD_S_SUCCESS || fake.OpenContexts() == 0, "context left open");
    return 0;
}
