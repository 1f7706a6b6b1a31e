// Reader sessions: connect, card variant recognition from the ATR, the
// identification read, and disconnect.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "mlsmartcardx/card_tables_internal.h"
#include "mlsmartcardx/diagnostic.h"

namespace mlsmartcard {
namespace {
std::atomic<SmartCardDiagnosticHook> g_hook{nullptr};
}  // namespace

SmartCardDiagnosticHook CurrentDiagnosticHook() {
    return g_hook.load(std::memory_order_acquire);
}

}  // namespace mlsmartcard

SmartCardDiagnosticHook SmartCardSetDiagnosticHook(SmartCardDiagnosticHook hook) {
    return mlsmartcard::g_hook.exchange(hook, std::memory_order_acq_rel);
}

void CardInfo::SetAtr(const BYTE* bytes, size_t length) {
    std::memset(atr, 0, sizeof(atr));
    atrLength = bytes != nullptr ? static_cast<DWORD>(std::min<size_t>(length, kMaxAtr)) : 0;
    if (atrLength != 0) {
        std::memcpy(atr, bytes, atrLength);
    }
}

void CardInfo::SetId(const BYTE* bytes, size_t length) {
    std::memset(id, 0, sizeof(id));
    idLength = bytes != nullptr ? static_cast<DWORD>(std::min<size_t>(length, kMaxId)) : 0;
    if (idLength != 0) {
        std::memcpy(id, bytes, idLength);
    }
}

AtrPattern MakeAtrPattern(DWORD variant, const BYTE* pattern, size_t length, const BYTE* mask) {
    AtrPattern row{};
    row.variant = variant;
    row.length = static_cast<DWORD>(std::min<size_t>(length, AtrPattern::kMaxBytes));
    std::memcpy(row.pattern, pattern, row.length);
    if (mask != nullptr) {
        std::memcpy(row.mask, mask, row.length);
    } else {
        std::memset(row.mask, 0xFF, sizeof(row.mask));
    }
    return row;
}

namespace {

struct AtrTable {
    AtrPattern rows[7];
    size_t count;
};

AtrTable BuildAtrTable() {
    // clang-format off
    static constexpr BYTE kTcos1[] = {0x3B, 0xA8, 0x00, 0x81, 0x71, 0x46, 0x5D, 0x00, 0x54,
                                      0x43, 0x4F, 0x53, 0x31, 0x2E, 0x32, 0x00, 0x65};
    static constexpr BYTE kTcos2[] = {0x3B, 0xA8, 0x00, 0x81, 0x71, 0x46, 0x5D, 0x00, 0x54,
                                      0x43, 0x4F, 0x53, 0x31, 0x2E, 0x32, 0x4B, 0x2E};
    static constexpr BYTE kClass80a[] = {0x3B, 0xBA, 0x13, 0x00, 0x81, 0x31, 0x86, 0x5D, 0x00, 0x64,
                                         0x05, 0x0A, 0x02, 0x01, 0x31, 0x80, 0x90, 0x00, 0x8B};
    static constexpr BYTE kClass80b[] = {0x3B, 0xBA, 0x14, 0x00, 0x81, 0x31, 0x86, 0x5D, 0x00, 0x64,
                                         0x05, 0x14, 0x02, 0x02, 0x31, 0x80, 0x90, 0x00, 0x91};
    static constexpr BYTE kClass80c[] = {0x3B, 0xBA, 0x96, 0x00, 0x81, 0x31, 0x86, 0x5D, 0x00, 0x64,
                                         0x05, 0x60, 0x02, 0x03, 0x31, 0x80, 0x90, 0x00, 0x66};
    static constexpr BYTE kClass80d[] = {0x3B, 0x8A, 0x80, 0x01, 0x00, 0x64, 0x05, 0x76,
                                         0x02, 0x03, 0x31, 0x80, 0x90, 0x00, 0x3C};
    static constexpr BYTE kClass80e[] = {0x3B, 0xBA, 0x96, 0x00, 0x81, 0x31, 0x86, 0x5D, 0x00, 0x64,
                                         0x05, 0x7B, 0x02, 0x03, 0x31, 0x80, 0x90, 0x00, 0x7D};
    // clang-format on
    AtrTable table{};
    table.rows[0] = MakeAtrPattern(kCardVariantTcos12, kTcos1, sizeof(kTcos1));
    table.rows[1] = MakeAtrPattern(kCardVariantTcos12, kTcos2, sizeof(kTcos2));
    table.rows[2] = MakeAtrPattern(kCardVariantClass80, kClass80a, sizeof(kClass80a));
    table.rows[3] = MakeAtrPattern(kCardVariantClass80, kClass80b, sizeof(kClass80b));
    table.rows[4] = MakeAtrPattern(kCardVariantClass80, kClass80c, sizeof(kClass80c));
    table.rows[5] = MakeAtrPattern(kCardVariantClass80, kClass80d, sizeof(kClass80d));
    table.rows[6] = MakeAtrPattern(kCardVariantClass80, kClass80e, sizeof(kClass80e));
    table.count = 7;
    return table;
}

bool Matches(const AtrPattern& row, const BYTE* atr, size_t length) {
    for (DWORD i = 0; i < row.length; ++i) {
        BYTE b = i < length ? atr[i] : 0;
        if ((b & row.mask[i]) != (row.pattern[i] & row.mask[i])) {
            return false;
        }
    }
    return true;
}

// The identification read of TCOS and class-80 cards; its outcome only
// decides whether an identifier is stored.
void ReadCardId(SCARDHANDLE card, CardInfo* info) {
    constexpr BYTE kIdLe = 0x2C;
    BYTE data[kIdLe] = {};
    DWORD received = 0;
    if (info->variant == kCardVariantTcos12) {
        if (selectEF(card, *info, 0x5A49) == SCARD_S_SUCCESS &&
            readBinary(card, *info, kIdLe, data, sizeof(data), &received) == SCARD_S_SUCCESS &&
            received == 10) {
            info->SetId(data, received);
        }
    } else if (info->variant == kCardVariantClass80) {
        if (selectEF(card, *info, 0x2F02) == SCARD_S_SUCCESS &&
            readBinary(card, *info, kIdLe, data, sizeof(data), &received) == SCARD_S_SUCCESS &&
            received >= 2 && data[0] == 0x5A && data[1] == received - 2) {
            info->SetId(data + 2, data[1]);
        }
    }
}

}  // namespace

const AtrPattern* AtrPatternTable(size_t* count) {
    static const AtrTable table = BuildAtrTable();
    if (count != nullptr) {
        *count = table.count;
    }
    return table.rows;
}

DWORD RecognizeCardVariant(const BYTE* atr, size_t length) {
    if (atr == nullptr) {
        length = 0;
    }
    size_t count = 0;
    const AtrPattern* rows = AtrPatternTable(&count);
    for (size_t i = 0; i < count; ++i) {
        if (Matches(rows[i], atr, length)) {
            return rows[i].variant;
        }
    }
    return kCardVariantGeneric;
}

LONG SmartCardConnect(LPCWSTR reader, SCARDCONTEXT* context, SCARDHANDLE* card, CardInfo* info) {
    if (context == nullptr || card == nullptr || info == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    info->protocol = 0;
    info->variant = kCardVariantGeneric;
    *context = 0;
    *card = 0;
    ml::SCardService& service = ml::GetSCardService();

    LONG rv = service.EstablishContext(SCARD_SCOPE_USER, context);
    if (rv != SCARD_S_SUCCESS) {
        *context = 0;
        SC_DIAG("SCardEstablishContext() failed 0x%08.8x \n", static_cast<unsigned>(rv));
        return rv;
    }
    SC_DIAG("Context established\n");

    DWORD protocol = 0;
    rv = service.Connect(*context, reader, SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, card, &protocol);
    if (rv != SCARD_S_SUCCESS) {
        *card = 0;
        LONG release = service.ReleaseContext(*context);
        if (release == SCARD_S_SUCCESS) {
            *context = 0;
        } else {
            SC_DIAG("SCardReleaseContext() failed 0x%08.8x\n", static_cast<unsigned>(release));
        }
        SC_DIAG("SCardConnect() failed 0x%08.8x Context=0x%08.8x Reader=0x%08.8x \n",
                static_cast<unsigned>(rv), static_cast<unsigned>(*context),
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(reader)));
        return rv;
    }
    info->protocol = protocol;

    WCHAR readerName[512] = {};
    DWORD readerLength = 512;
    DWORD state = 0;
    DWORD statusProtocol = 0;
    BYTE atr[40] = {};
    DWORD atrLength = CardInfo::kMaxAtr;
    LONG status =
        service.Status(*card, readerName, &readerLength, &state, &statusProtocol, atr, &atrLength);
    SC_DIAG("ATR String (Status): lTmp=0x%08.8x, ATRLength=%d\n", static_cast<unsigned>(status),
            static_cast<int>(atrLength));
    if (status != SCARD_S_SUCCESS) {
        return SCARD_S_SUCCESS;
    }

    // Every byte of the 40-byte buffer takes part: beyond the ATR it is zero.
    info->variant = RecognizeCardVariant(atr, sizeof(atr));
    info->readerState = state;
    info->SetAtr(atr, std::min<DWORD>(atrLength, CardInfo::kMaxAtr));

    ReadCardId(*card, info);
    return SCARD_S_SUCCESS;
}

LONG SmartCardDisconnect(SCARDCONTEXT context, SCARDHANDLE card) {
    ml::SCardService& service = ml::GetSCardService();
    LONG disconnect = service.Disconnect(card, SCARD_LEAVE_CARD);
    if (disconnect != SCARD_S_SUCCESS) {
        SC_DIAG("SCardDisconnect() failed 0x%08.8x\n", static_cast<unsigned>(disconnect));
    }
    LONG release = service.ReleaseContext(context);
    if (release != SCARD_S_SUCCESS) {
        SC_DIAG("SCardReleaseContext() failed 0x%08.8x\n", static_cast<unsigned>(release));
    }
    return disconnect != SCARD_S_SUCCESS ? disconnect : release;
}
