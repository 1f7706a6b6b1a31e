// The card commands: one table row per command with its APDU templates per
// card variant, its send-length rule, the status words it accepts besides
// 9000 and its diagnostic texts; the transmit and the status word map.
#include <cstring>

#include "mlsmartcardx/card_tables_internal.h"
#include "mlsmartcardx/diagnostic.h"
#include "platform/secure_memory.h"

namespace {

// How many bytes go out when P3 (position 4) is not zero: a command that
// carries data sends P3 of them after the header, one that expects data only
// the header and Le. With P3 zero, T=0 sends the bare header.
enum class SendRule { carriesData, expectsData };

// A status word that counts as success: every word w with (w & mask) == sw,
// on one card variant or on all. mask 0 ends the list.
constexpr DWORD kAnyVariant = 0xFFFFFFFF;
struct Acceptance {
    WORD sw;
    WORD mask;
    DWORD variant;
};

struct CardCommand {
    DWORD command;
    SendRule sendRule;
    Acceptance accepted[3];
    const char* receiveText;  // printf: receive length, status word
    const char* failureText;  // printf: result
    ApduTemplate templates[kCardVariantCount];
};

// clang-format off
constexpr CardCommand kCommands[] = {
    {kCmdSelectMF, SendRule::carriesData,
     {{0x6100, 0xFF00, kAnyVariant}, {0x6E00, 0xFFFF, kCardVariantTcos12}},
     "select Master file receive length: 0x%08.8x \tSW: 0x%04.4x\n",
     "SCardTransmit(select Master File) failed lRet = 0x%08.8x\n",
     {{kCmdSelectMF, 0, 7, 0, 0, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}},
      {kCmdSelectMF, 1, 5, 0, 0, {0x00, 0xA4, 0x00, 0x00, 0x00}},
      {kCmdSelectMF, 2, 7, 0, 0, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}}}},

    {kCmdSelectEF, SendRule::carriesData, {},
     "select file receive length: 0x%08.8x \tSW: 0x%04.4x\n",
     "ScardTransmit(select file) failed lRet = 0x%08.8x\n",
     {{kCmdSelectEF, 0, 7, 0, 5, {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x00, 0x00}},
      {kCmdSelectEF, 1, 7, 0, 5, {0xB0, 0xA4, 0x02, 0x0C, 0x02, 0x00, 0x00}},
      {kCmdSelectEF, 2, 7, 0, 5, {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x00, 0x00}}}},

    // The generic row already carries the login record's size and identifier.
    {kCmdCreateFile, SendRule::carriesData, {},
     "create file receive length: 0x%08.8x \tSW: 0x%04.4x\n",
     "SCardTransmit(create file) failed lRet = 0x%08.8x\n",
     {{kCmdCreateFile, 0, 28, 9, 15,
       {0x00, 0xE0, 0x00, 0x00, 0x17, 0x62, 0x15, 0x81, 0x01, 0xF0, 0x82, 0x01, 0x01, 0x83,
        0x02, 0x55, 0x44, 0x8A, 0x01, 0x01, 0x8C, 0x06, 0x67, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {kCmdCreateFile, 1, 15, 14, 5,
       {0xB0, 0xE0, 0x00, 0x00, 0x0A, 0x00, 0x00, 0xFF, 0xFF, 0x80, 0xFF, 0x00, 0x00, 0x00,
        0x00}},
      {kCmdCreateFile, 2, 40, 8, 14,
       {0x80, 0xE0, 0x00, 0x00, 0x23, 0x81, 0x02, 0x00, 0x00, 0x82, 0x01, 0x01, 0x83, 0x02,
        0x00, 0x00, 0x85, 0x02, 0x01, 0x00, 0x86, 0x12, 0x60, 0x00, 0x00, 0x00, 0xFF, 0xFF,
        0xD6, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xB0, 0x00, 0x00, 0x00, 0xFF, 0xFF}}}},

    {kCmdDeleteFile, SendRule::carriesData, {},
     "delete file receive length: 0x%08.8x \tSW: 0x%04.4x\n",
     "SCardTransmit(delete file) failed lRet = 0x%08.8x\n",
     {{kCmdDeleteFile, 0, 7, 0, 5, {0x00, 0xE4, 0x00, 0x0C, 0x02, 0x00, 0x00}},
      {kCmdDeleteFile, 1, 7, 0, 5, {0xB0, 0xE4, 0x00, 0x00, 0x02, 0x00, 0x00}},
      {kCmdDeleteFile, 2, 7, 0, 5, {0x80, 0xE4, 0x00, 0x00, 0x02, 0x00, 0x00}}}},

    {kCmdReadBinary, SendRule::expectsData, {{0x6282, 0xFFFF, kAnyVariant}},
     "read binary receive length: 0x%08.8x \tSW: 0x%04.4x\n",
     "SCardTransmit(read binary) failed lRet = 0x%08.8x",
     {{kCmdReadBinary, 0, 5, 4, 0, {0x00, 0xB0, 0x00, 0x00, 0x00}},
      {kCmdReadBinary, 1, 5, 4, 0, {0xB0, 0xB0, 0x00, 0x00, 0x00}},
      {kCmdReadBinary, 2, 5, 4, 0, {0x00, 0xB0, 0x00, 0x00, 0x00}}}},

    {kCmdUpdateBinary, SendRule::carriesData, {{0x6381, 0xFFFF, kAnyVariant}},
     "update binary receive length: 0x%08.8x \tSW: 0x%04.4x\n",
     "SCardTransmit(update binary) failed lRet = 0x%08.8x\n",
     {{kCmdUpdateBinary, 0, 5, 4, 0, {0x00, 0xD6, 0x00, 0x00, 0x00}},
      {kCmdUpdateBinary, 1, 5, 4, 0, {0xB0, 0xD6, 0x00, 0x00, 0x00}},
      {kCmdUpdateBinary, 2, 5, 4, 0, {0x00, 0xD6, 0x00, 0x00, 0x00}}}},

    {kCmdVerifyPIN, SendRule::carriesData,
     {{0x6984, 0xFFFF, kAnyVariant}, {0x6A88, 0xFFFF, kAnyVariant},
      {0x6A82, 0xFFFF, kCardVariantTcos12}},
     "verify PIN receive length: 0x%08.8x \tSW: 0x%04.4x\n",
     "SCardTransmit(verify PIN) failed lRet = 0x%08.8x\n",
     {{kCmdVerifyPIN, 0, 5, 4, 0, {0x00, 0x20, 0x00, 0x01, 0x00}},
      {kCmdVerifyPIN, 1, 5, 4, 0, {0xB0, 0x20, 0x00, 0x00, 0x00}},
      {kCmdVerifyPIN, 2, 5, 4, 0, {0x00, 0x20, 0x00, 0x01, 0x00}}}},
};
// clang-format on

const CardCommand* FindCommand(DWORD command) {
    for (const CardCommand& row : kCommands) {
        if (row.command == command) {
            return &row;
        }
    }
    return nullptr;
}

bool Accepts(const CardCommand& row, WORD sw, DWORD variant) {
    for (const Acceptance& a : row.accepted) {
        if (a.mask != 0 && (sw & a.mask) == a.sw &&
            (a.variant == kAnyVariant || a.variant == variant)) {
            return true;
        }
    }
    return false;
}

// What one command fills into its template.
struct Fill {
    WORD fileId = 0;
    BYTE lengthByte = 0;
    const BYTE* data = nullptr;
    BYTE dataLength = 0;
};

// The answer of one exchange; what a read returned is wiped when it goes.
struct Answer {
    BYTE bytes[kApduBufferSize];
    DWORD length;
    WORD statusWord;
    ~Answer() { SecureZeroMemory(bytes, sizeof bytes); }
};

// Wipes a command buffer when it goes: an update carries a password, a
// verify the PIN.
class CommandWipe {
  public:
    CommandWipe(BYTE* bytes, size_t size) : bytes_(bytes), size_(size) {}
    ~CommandWipe() { SecureZeroMemory(bytes_, size_); }
    CommandWipe(const CommandWipe&) = delete;
    CommandWipe& operator=(const CommandWipe&) = delete;

  private:
    BYTE* bytes_;
    size_t size_;
};

const SCARD_IO_REQUEST* PciFor(DWORD protocol) {
    switch (protocol) {
        case SCARD_PROTOCOL_T0:
            return SCARD_PCI_T0;
        case SCARD_PROTOCOL_T1:
            return SCARD_PCI_T1;
        default:
            return SCARD_PCI_RAW;
    }
}

// Builds the command from its template and sends it. `*sent` tells whether
// anything was sent: a template of length 0 sends nothing and succeeds.
LONG Exchange(SCARDHANDLE card, const CardInfo& info, const CardCommand& command, const Fill& fill,
              Answer* answer, bool* sent) {
    *sent = false;
    answer->length = 0;
    answer->statusWord = 0;
    if (info.variant >= kCardVariantCount) {
        return SCARD_E_INVALID_PARAMETER;
    }
    const ApduTemplate* row = &command.templates[info.variant];
    if (row->length == 0) {
        return SCARD_S_SUCCESS;
    }

    BYTE apdu[kApduBufferSize] = {};
    CommandWipe wipe(apdu, sizeof apdu);
    std::memcpy(apdu, row->bytes, row->length);
    if (row->dataPos != 0) {
        apdu[row->dataPos] = static_cast<BYTE>(fill.fileId >> 8);
        apdu[row->dataPos + 1] = static_cast<BYTE>(fill.fileId & 0xFF);
    }
    if (row->lengthPos != 0) {
        apdu[row->lengthPos] = fill.lengthByte;
    }
    if (fill.data != nullptr && fill.dataLength != 0) {
        std::memcpy(apdu + 5, fill.data, fill.dataLength);
    }

    // A command with an empty body has no P3 byte under T=0.
    DWORD sendLength;
    if (apdu[4] != 0) {
        sendLength = command.sendRule == SendRule::expectsData ? 5 : apdu[4] + 5u;
    } else {
        sendLength = info.protocol == SCARD_PROTOCOL_T0 ? 4 : 5;
    }

    std::memset(answer->bytes, 0, sizeof(answer->bytes));
    DWORD receiveLength = kReceiveLength;
    LONG rv = ml::GetSCardService().Transmit(card, PciFor(info.protocol), apdu, sendLength, nullptr,
                                             answer->bytes, &receiveLength);
    if (rv != SCARD_S_SUCCESS) {
        return rv;
    }
    if (receiveLength > kReceiveLength) {
        // A service that claims more than it was offered cannot be trusted.
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    *sent = true;
    answer->length = receiveLength;
    const BYTE* sw = receiveLength >= 3 ? answer->bytes + receiveLength - 2 : answer->bytes;
    answer->statusWord = static_cast<WORD>(sw[0] << 8 | sw[1]);
    return MapStatusWord(answer->statusWord);
}

// Runs one command of the table: the exchange, the command's own
// acceptances, and its diagnostics.
LONG Run(SCARDHANDLE card, const CardInfo& info, DWORD command, const Fill& fill, Answer* answer) {
    const CardCommand& row = *FindCommand(command);
    bool sent;
    LONG rv = Exchange(card, info, row, fill, answer, &sent);
    if (sent) {
        if (Accepts(row, answer->statusWord, info.variant)) {
            rv = SCARD_S_SUCCESS;
        }
        SC_DIAG(row.receiveText, answer->length, static_cast<unsigned>(answer->statusWord));
    }
    if (rv != SCARD_S_SUCCESS) {
        SC_DIAG(row.failureText, static_cast<unsigned>(rv));
    }
    return rv;
}

}  // namespace

const ApduTemplate* FindApduTemplate(DWORD command, DWORD variant) {
    const CardCommand* row = FindCommand(command);
    if (row == nullptr || variant >= kCardVariantCount) {
        return nullptr;
    }
    return &row->templates[variant];
}

LONG MapStatusWord(WORD statusWord) {
    switch (statusWord) {
        case 0x9000:
            return SCARD_S_SUCCESS;
        case 0x6200:
        case 0x6281:
        case 0x6282:
        case 0x6300:
        case 0x6581:
        case 0x6A84:
            return SCARD_E_NO_MEMORY;
        case 0x6283:
        case 0x6A82:
            return SCARD_E_FILE_NOT_FOUND;
        case 0x6284:
            return SCARD_E_CARD_UNSUPPORTED;
        case 0x6381:
            return SCARD_E_WRITE_TOO_MANY;
        case 0x6700:
        case 0x6987:
        case 0x6988:
        case 0x6A00:
        case 0x6A80:
        case 0x6A85:
        case 0x6A86:
        case 0x6A87:
        case 0x6A89:
        case 0x6A8A:
        case 0x6B00:
        case 0x6D00:
        case 0x6E00:
        case 0x6600:
        case 0x66F0:
            return SCARD_E_INVALID_VALUE;
        case 0x6800:
        case 0x6881:
        case 0x6882:
        case 0x6900:
        case 0x6981:
        case 0x6985:
        case 0x6A81:
        case 0x6F00:
        case 0x69F0:
            return SCARD_E_UNSUPPORTED_FEATURE;
        case 0x6982:
            return SCARD_W_SECURITY_VIOLATION;
        case 0x6983:
            return SCARD_W_CHV_BLOCKED;
        case 0x6984:
        case 0x6986:
        case 0x6A83:
        case 0x6A88:
            return SCARD_E_DIR_NOT_FOUND;
        default:
            return SCARD_E_UNEXPECTED;
    }
}

LONG selectMF(SCARDHANDLE card, const CardInfo& info) {
    Answer answer;
    return Run(card, info, kCmdSelectMF, Fill{}, &answer);
}

LONG selectEF(SCARDHANDLE card, const CardInfo& info, WORD fileId) {
    Answer answer;
    Fill fill;
    fill.fileId = fileId;
    return Run(card, info, kCmdSelectEF, fill, &answer);
}

LONG verifyPIN(SCARDHANDLE card, const CardInfo& info, const BYTE* pin, BYTE length) {
    Answer answer;
    Fill fill;
    fill.lengthByte = length;
    fill.data = pin;
    fill.dataLength = pin != nullptr ? length : 0;
    return Run(card, info, kCmdVerifyPIN, fill, &answer);
}

LONG createFile(SCARDHANDLE card, const CardInfo& info, WORD fileId, BYTE fileSize) {
    Answer answer;
    Fill fill;
    fill.fileId = fileId;
    fill.lengthByte = fileSize;
    return Run(card, info, kCmdCreateFile, fill, &answer);
}

LONG deleteFile(SCARDHANDLE card, const CardInfo& info, WORD fileId) {
    Answer answer;
    Fill fill;
    fill.fileId = fileId;
    return Run(card, info, kCmdDeleteFile, fill, &answer);
}

LONG readBinary(SCARDHANDLE card, const CardInfo& info, BYTE le, BYTE* buffer, DWORD capacity,
                DWORD* received) {
    if (received != nullptr) {
        *received = 0;
    }
    Answer answer;
    Fill fill;
    fill.lengthByte = le;
    const LONG rv = Run(card, info, kCmdReadBinary, fill, &answer);
    if (rv == SCARD_S_SUCCESS) {
        // The data are the bytes before the status word, as far as the
        // caller's buffer reaches.
        DWORD count = answer.length >= 2 ? answer.length - 2 : 0;
        if (buffer == nullptr) {
            capacity = 0;
        }
        if (count > capacity) {
            count = capacity;
        }
        if (count != 0) {
            std::memcpy(buffer, answer.bytes, count);
        }
        if (received != nullptr) {
            *received = count;
        }
    }
    return rv;
}

LONG updateBinary(SCARDHANDLE card, const CardInfo& info, const BYTE* data, BYTE length) {
    Answer answer;
    Fill fill;
    fill.lengthByte = length;
    fill.data = data;
    fill.dataLength = data != nullptr ? length : 0;
    return Run(card, info, kCmdUpdateBinary, fill, &answer);
}
