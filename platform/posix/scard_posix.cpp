// The smart-card service on pcsc-lite: reader names between UTF-16 and
// UTF-8, and the choice of the service in use.
#include <atomic>
#include <cstring>

#include "platform/posix/pcsclite_calls.h"
#include "platform/scard.h"

namespace ml {

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

namespace {

// pcsc-lite's names are at most 128 bytes (MAX_READERNAME); anything longer
// cannot name a reader.
constexpr size_t kNameBytes = 512;

// UTF-16 to terminated UTF-8 in `out`. False when the text is not valid
// UTF-16 (a lone surrogate) or does not fit.
bool ToUtf8(LPCWSTR text, char (&out)[kNameBytes]) {
    size_t n = 0;
    auto put = [&](uint32_t byte) {
        if (n + 1 >= kNameBytes) {
            return false;
        }
        out[n++] = static_cast<char>(byte);
        return true;
    };
    for (size_t i = 0; text[i] != 0; ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            uint32_t low = text[i + 1];
            if (low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        bool ok;
        if (c < 0x80) {
            ok = put(c);
        } else if (c < 0x800) {
            ok = put(0xC0 | (c >> 6)) && put(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            ok = put(0xE0 | (c >> 12)) && put(0x80 | ((c >> 6) & 0x3F)) && put(0x80 | (c & 0x3F));
        } else {
            ok = put(0xF0 | (c >> 18)) && put(0x80 | ((c >> 12) & 0x3F)) &&
                 put(0x80 | ((c >> 6) & 0x3F)) && put(0x80 | (c & 0x3F));
        }
        if (!ok) {
            return false;
        }
    }
    out[n] = 0;
    return true;
}

// One code point from the UTF-8 text at `s[*i]`, advancing `*i`; a bad or
// cut sequence yields U+FFFD and skips one byte.
uint32_t NextCodePoint(const unsigned char* s, size_t length, size_t* i) {
    uint32_t c = s[*i];
    size_t extra = 0;
    uint32_t min = 0;
    if (c < 0x80) {
        ++*i;
        return c;
    } else if ((c & 0xE0) == 0xC0) {
        extra = 1, min = 0x80, c &= 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2, min = 0x800, c &= 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3, min = 0x10000, c &= 0x07;
    } else {
        ++*i;
        return 0xFFFD;
    }
    if (*i + extra >= length) {
        ++*i;
        return 0xFFFD;
    }
    for (size_t k = 1; k <= extra; ++k) {
        uint32_t b = s[*i + k];
        if ((b & 0xC0) != 0x80) {
            ++*i;
            return 0xFFFD;
        }
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++*i;
        return 0xFFFD;
    }
    *i += extra + 1;
    return c;
}

// UTF-8 (`length` bytes) to UTF-16 in `out` (capacity `capacity`; null to
// count only). Returns the number of code units the whole text needs.
size_t FromUtf8(const char* text, size_t length, WCHAR* out, size_t capacity) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t n = 0;
    auto put = [&](uint32_t unit) {
        if (out != nullptr && n < capacity) {
            out[n] = static_cast<WCHAR>(unit);
        }
        ++n;
    };
    size_t i = 0;
    while (i < length) {
        uint32_t c = NextCodePoint(s, length, &i);
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    return n;
}

class PcscLiteService final : public SCardService {
  public:
    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override {
        return pcsclite::EstablishContext(scope, context);
    }

    LONG ReleaseContext(SCARDCONTEXT context) override { return pcsclite::ReleaseContext(context); }

    LONG Connect(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode, DWORD preferredProtocols,
                 SCARDHANDLE* card, DWORD* activeProtocol) override {
        if (reader == nullptr) {
            return pcsclite::Connect(context, nullptr, shareMode, preferredProtocols, card,
                                     activeProtocol);
        }
        char name[kNameBytes];
        if (!ToUtf8(reader, name)) {
            return SCARD_E_UNKNOWN_READER;
        }
        return pcsclite::Connect(context, name, shareMode, preferredProtocols, card,
                                 activeProtocol);
    }

    LONG Status(SCARDHANDLE card, LPWSTR readerNames, DWORD* readerLength, DWORD* state,
                DWORD* protocol, BYTE* atr, DWORD* atrLength) override {
        char name[kNameBytes] = {};
        uint32_t nameLength = 0;
        LONG rv = pcsclite::Status(card, name, sizeof(name), &nameLength, state, protocol, atr,
                                   atrLength);
        if (rv != SCARD_S_SUCCESS) {
            return rv;
        }
        if (readerLength == nullptr) {
            return rv;
        }
        // pcsc-lite counts the terminator; the list ends with a second one.
        size_t bytes = strnlen(name, sizeof(name));
        size_t needed = FromUtf8(name, bytes, nullptr, 0) + 2;
        if (readerNames != nullptr) {
            if (*readerLength < needed) {
                *readerLength = static_cast<DWORD>(needed);
                return SCARD_E_INSUFFICIENT_BUFFER;
            }
            size_t n = FromUtf8(name, bytes, readerNames, needed);
            readerNames[n] = 0;
            readerNames[n + 1] = 0;
        }
        *readerLength = static_cast<DWORD>(needed);
        return rv;
    }

    LONG Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, const BYTE* send,
                  DWORD sendLength, SCARD_IO_REQUEST* receivePci, BYTE* receive,
                  DWORD* receiveLength) override {
        if (sendPci == nullptr) {
            return SCARD_E_INVALID_PARAMETER;
        }
        LONG rv =
            pcsclite::Transmit(card, sendPci->dwProtocol, send, sendLength, receive, receiveLength);
        if (rv == SCARD_S_SUCCESS && receivePci != nullptr) {
            *receivePci = *sendPci;
        }
        return rv;
    }

    LONG Disconnect(SCARDHANDLE card, DWORD disposition) override {
        return pcsclite::Disconnect(card, disposition);
    }
};

std::atomic<SCardService*> g_installed{nullptr};

}  // namespace

SCardService& GetSCardService() {
    static PcscLiteService pcscLite;
    SCardService* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : pcscLite;
}

SCardService* SetSCardService(SCardService* service) {
    return g_installed.exchange(service, std::memory_order_acq_rel);
}

}  // namespace ml
