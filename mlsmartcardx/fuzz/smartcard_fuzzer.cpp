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
#include <cstring>

#include "mlsmartcardx/mlsmartcard.h"
#include "mlsmartcardx/testing/fake_scard.h"

namespace {

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    bool Empty() const { return pos_ >= size_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Formats every text, as a hook that logs would.
void FormattingHook(int, const char*, int, const char*, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
}

void CheckResult(LONG rv, bool allocationFailurePossible) {
    uint32_t code = static_cast<uint32_t>(rv);
    bool pcsc = code == 0 || (code >= 0x80100001u && code <= 0x8010006Fu);
    if (!pcsc && !(allocationFailurePossible && rv == kSmartCardAllocationFailed)) {
        fprintf(stderr, "result 0x%08X is not a PC/SC code\n", code);
        abort();
    }
}

// A terminated string that fits its buffer of `units` code units.
void CheckTerminated(const WCHAR* text, size_t units) {
    for (size_t i = 0; i < units; ++i) {
        if (text[i] == 0) {
            return;
        }
    }
    abort();
}

constexpr DWORD kProtocols[] = {SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1, SCARD_PROTOCOL_RAW};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool hooked = (SmartCardSetDiagnosticHook(&FormattingHook), true);
    (void)hooked;

    Input in(data, size);
    const uint8_t selector = in.Byte();
    const uint8_t faults = in.Byte();
    const uint8_t atrChoice = in.Byte();

    mltest::FakeSCard fake;
    mltest::ScopedSCardService installed(&fake);
    const DWORD protocol = kProtocols[(selector >> 4) % 3];
    std::vector<BYTE> atr;
    switch (atrChoice % 4) {
        case 0:
            atr = mltest::GenericAtr();
            break;
        case 1:
            atr = mltest::Tcos12Atr();
            break;
        case 2:
            atr = mltest::Class80Atr();
            break;
        default:
            for (int n = in.Byte() % 33; n > 0; --n) {
                atr.push_back(in.Byte());
            }
    }
    fake.InsertCard(atr, protocol);
    if (faults & 0x01)
        fake.statusResult = SCARD_E_INSUFFICIENT_BUFFER;
    if (faults & 0x02)
        fake.disconnectResult = SCARD_E_INVALID_HANDLE;
    if ((faults & 0x0C) == 0x0C)
        fake.connectResult = SCARD_E_SHARING_VIOLATION;
    if ((faults & 0x30) == 0x30)
        fake.establishResult = SCARD_E_NO_SERVICE;
    if ((faults & 0xC0) == 0xC0)
        fake.releaseResult = SCARD_E_INVALID_HANDLE;

    while (!in.Empty() && fake.PendingReplies() < 32) {
        const uint8_t control = in.Byte();
        size_t length = ((size_t{in.Byte()} << 8) | in.Byte()) % 301;
        if (control & 1) {
            fake.FailTransmit(static_cast<LONG>(0x80100001u + in.Byte() % 0x6F));
            continue;
        }
        std::vector<BYTE> answer;
        for (size_t i = 0; i < length; ++i) {
            answer.push_back(in.Byte());
        }
        fake.Reply(answer);
    }

    const LPCWSTR reader = u"Fake Reader 00";
    const unsigned target = selector % 16;
    if (target < 7) {
        // One command on an open card of any variant, the unknown one included.
        SCARDCONTEXT context = 0;
        SCARDHANDLE card = 0;
        DWORD active = 0;
        fake.establishResult = fake.connectResult = SCARD_S_SUCCESS;
        if (fake.EstablishContext(SCARD_SCOPE_USER, &context) != SCARD_S_SUCCESS ||
            fake.Connect(context, reader, SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_Tx | SCARD_PROTOCOL_RAW, &card,
                         &active) != SCARD_S_SUCCESS) {
            abort();
        }
        CardInfo info{};
        info.variant = (selector >> 6) % 4;
        info.protocol = protocol;
        const BYTE length = static_cast<BYTE>(faults);
        std::vector<BYTE> bytes(length, 0x5A);  // exact size: ASan sees any overrun
        DWORD received = 0;
        LONG rv = 0;
        switch (target) {
            case 0:
                rv = selectMF(card, info);
                break;
            case 1:
                rv = selectEF(card, info, 0x5544);
                break;
            case 2:
                rv = createFile(card, info, 0x5544, length);
                break;
            case 3:
                rv = deleteFile(card, info, 0x5544);
                break;
            case 4: {
                BYTE* buffer = static_cast<BYTE*>(malloc(length == 0 ? 1 : length));
                rv = readBinary(card, info, length, buffer, length, &received);
                free(buffer);
                if (received > length)
                    abort();
                break;
            }
            case 5:
                rv = updateBinary(card, info, bytes.data(), length);
                break;
            case 6:
                rv = verifyPIN(card, info, bytes.data(), length);
                break;
        }
        CheckResult(rv, false);
        // Every APDU stays within the send buffer and offers 300 bytes.
        for (const mltest::SentApdu& apdu : fake.Sent()) {
            if (apdu.length > 260 || apdu.receiveCapacity != kReceiveLength)
                abort();
        }
        return 0;
    }

    LONG rv = 0;
    switch (target % 4) {
        case 0:
            rv = SmartCardCreateFiles(reader, (faults & 0x04) ? "1234" : nullptr);
            break;
        case 1:
            rv = SmartCardDeleteFiles(reader);
            break;
        case 2: {
            LPWSTR user = nullptr, domain = nullptr, password = nullptr;
            DWORD capacity = 0;
            rv = SmartCardReadFiles(reader, &user, &domain, &password, &capacity,
                                    (faults & 0x04) ? "1234" : nullptr);
            if (rv == SCARD_S_SUCCESS) {
                CheckTerminated(user, 23);
                CheckTerminated(domain, 18);
                CheckTerminated(password, 52);
                if (capacity != 50)
                    abort();
            } else if (user != nullptr || domain != nullptr || password != nullptr) {
                abort();
            }
            free(user);
            free(domain);
            free(password);
            break;
        }
        case 3: {
            // Values of every length around the fields' capacities.
            std::u16string user(faults % 30, u'u'), domain(faults % 20, u'd');
            std::u16string password(faults % 60, u'p');
            rv = SmartCardWriteFiles(reader, user.c_str(), domain.c_str(), password.data(),
                                     static_cast<DWORD>(password.size()));
            break;
        }
    }
    CheckResult(rv, true);
    if (fake.OpenCards() != 0)
        abort();
    if (fake.releaseResult == SCARD_S_SUCCESS && fake.OpenContexts() != 0)
        abort();
    return 0;
}
