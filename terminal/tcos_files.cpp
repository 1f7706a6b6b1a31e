// CTCOSCard: the card commands on the three login files of a TCOS card.
//
// Every operation is one or more CT_data calls on terminal m_nCtn. A response
// that the driver reports with fewer than two bytes, or with more than the
// 500-byte buffer holds, has no status word to go by: the command counts as
// failed, is reported like a failed CT_data call of that operation (with the
// reported length as the raw value) and the operation ends with CT_ERROR.
// Only the card reset stays silent about it, and the delete command, whose
// answers are never examined, goes on.
#include <algorithm>
#include <cstring>
#include <string>

#include "infrastructure/error_handler.h"
#include "platform/codepage.h"
#include "platform/secure_memory.h"
#include "terminal/tcos_card.h"

namespace {

struct LoginFile {
    WORD id;
    BYTE size;  // bytes
};

constexpr LoginFile kUserNameFile{0x5511, 42};
constexpr LoginFile kDomainFile{0x5522, 32};
constexpr LoginFile kPasswordFile{0x5533, 100};
constexpr LoginFile kLoginFiles[] = {kUserNameFile, kDomainFile, kPasswordFile};

constexpr WORD kSwOk = 0x9000;
constexpr WORD kSwProcessorCard = 0x9001;
constexpr WORD kSwNoCard = 0x64A1;
constexpr WORD kSwNoCardActive = 0x64A2;
constexpr WORD kSwFileNotFound = 0x6A82;
constexpr WORD kSwClassNotSupported = 0x6E00;
constexpr WORD kSwFileExists = 0x6AF1;
constexpr WORD kSwWrittenWithRetries = 0x6381;
constexpr WORD kSwEndOfFile = 0x6282;

// Error codes of ReportError beyond those of the command tables: a selection
// the card refused with a status word that has no meaning of its own, and
// login files that hold no complete set.
constexpr int kErrorSelectRefused = 22;
constexpr int kErrorNoLoginData = 23;

constexpr char16_t kMethodResetCard[] = u"CTCOSCard::ResetCard()";
constexpr char16_t kMethodSelectFile[] = u"CTCOSCard::SelectFile()";
constexpr char16_t kMethodCreateFiles[] = u"CTCOSCard::CreateFiles()";
constexpr char16_t kMethodDeleteFiles[] = u"CTCOSCard::DeleteFiles()";
constexpr char16_t kMethodWriteFiles[] = u"CTCOSCard::WriteFiles()";
constexpr char16_t kMethodReadFiles[] = u"CTCOSCard::ReadFiles()";

size_t TextLength(LPCWSTR p_szText) {
    if (p_szText == nullptr) {
        return 0;
    }
    return std::char_traits<char16_t>::length(p_szText);
}

// The text of a file's data: UTF-16LE code units up to the first zero unit.
// With p_bAnsi (user name and domain), data whose first unit is above 00FF
// and whose first byte leads no double-byte character counts as text in the
// ANSI code page, up to the first zero byte. The text grows in one buffer,
// and the UTF-16 reading is wiped before the ANSI one replaces it, so that no
// part of it is freed unwiped.
std::u16string DecodeFileText(const BYTE* p_pData, size_t p_nBytes, bool p_bAnsi) {
    std::u16string text;
    text.reserve(p_nBytes / 2);
    for (size_t i = 0; i + 1 < p_nBytes; i += 2) {
        char16_t unit = static_cast<char16_t>(p_pData[i] | p_pData[i + 1] << 8);
        if (unit == 0) {
            break;
        }
        text.push_back(unit);
    }
    if (p_bAnsi && p_nBytes >= 2) {
        unsigned first = static_cast<unsigned>(p_pData[0] | p_pData[1] << 8);
        if (first > 0x00FF && !IsDBCSLeadByte(p_pData[0])) {
            const char* bytes = reinterpret_cast<const char*>(p_pData);
            size_t length = std::find(bytes, bytes + p_nBytes, '\0') - bytes;
            SecureZeroMemory(text.data(), text.size() * sizeof(char16_t));
            text = ml::FromAnsi(std::string_view(bytes, length));
        }
    }
    return text;
}

template <size_t N>
void CopyText(const std::u16string& p_strText, WCHAR (&p_szOut)[N]) {
    size_t length = std::min(p_strText.size(), N - 1);
    std::copy_n(p_strText.data(), length, p_szOut);
    std::fill(p_szOut + length, p_szOut + N, u'\0');
}

}  // namespace

int CTCOSCard::ResetCard() {
    try {
        if (m_hDriver == nullptr) {
            ReportError(kMethodResetCard, 1, 1, 0);
            return CT_ERROR;
        }
        if (m_pfnCT_data == nullptr) {
            return CT_ERROR;
        }
        // A usable card stays in the sequence begun here for the commands
        // that follow; every other outcome ends it.
        BeginSequence();
        struct EndUnlessUsable {
            CTCOSCard* card;
            int result = CT_ERROR;
            ~EndUnlessUsable() {
                if (result != CT_OK) {
                    card->EndSequence();
                }
            }
        } sequence{this};
        // CT-BCS: reset card 1, complete answer to reset.
        BYTE command[ml_ct::kCommandBufferSize] = {0x20, 0x10, 0x01, 0x01, 0x00};
        Exchange exchange;
        Transmit(ml_ct::kDadTerminal, command, 5, exchange);
        if (exchange.result != 0) {
            ReportError(kMethodResetCard, 7, 7, exchange.result);
            return CT_ERROR;
        }
        if (!exchange.HasStatusWord()) {
            return CT_ERROR;
        }
        WORD status = exchange.StatusWord();
        if (status == kSwProcessorCard) {
            sequence.result = CT_OK;
            return CT_OK;
        }
        if (status == kSwNoCard || status == kSwNoCardActive) {
            ReportError(kMethodResetCard, 8, 14, 0);
            return CT_NOCARD;
        }
        ReportError(kMethodResetCard, 9, 15, 0);
        return CT_FOULCARD;
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CTCOSCard::ResetCard() - Exception ***");
        return CT_ERROR;
    }
}

int CTCOSCard::SelectFile(WORD p_wFileID) {
    try {
        if (m_hDriver == nullptr) {
            ReportError(kMethodSelectFile, 1, 1, 0);
            return CT_ERROR;
        }
        if (m_pfnCT_data == nullptr) {
            return CT_ERROR;
        }
        return SendSelect(p_wFileID, false);
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CTCOSCard::SelectFile() - Exception ***");
        return CT_ERROR;
    }
}

int CTCOSCard::SendSelect(WORD p_wFileID, bool p_bQuietIfMissing) {
    BYTE command[ml_ct::kCommandBufferSize] = {0x00,
                                               0xA4,
                                               0x02,
                                               0x0C,
                                               0x02,
                                               static_cast<BYTE>(p_wFileID >> 8),
                                               static_cast<BYTE>(p_wFileID & 0xFF)};
    Exchange exchange;
    Transmit(ml_ct::kDadCard, command, 7, exchange);
    if (exchange.result != 0) {
        ReportError(kMethodSelectFile, 10, 10, exchange.result);
        return CT_ERROR;
    }
    if (!exchange.HasStatusWord()) {
        ReportError(kMethodSelectFile, 10, 10, exchange.length);
        return CT_ERROR;
    }
    WORD status = exchange.StatusWord();
    if (status == kSwOk) {
        return CT_OK;
    }
    if (status == kSwFileNotFound) {
        if (!p_bQuietIfMissing) {
            ReportError(kMethodSelectFile, 11, 17, 0);
        }
        return CT_NOFILE;
    }
    if (status == kSwClassNotSupported) {
        ReportError(kMethodSelectFile, 20, 13, 0);
        return CT_WRONGVERSION;
    }
    // Any other refusal leaves an unknown file selected: what follows must
    // not read or write it.
    ReportError(kMethodSelectFile, 10, kErrorSelectRefused, status);
    return CT_ERROR;
}

int CTCOSCard::CreateFiles() {
    try {
        if (m_hDriver == nullptr) {
            ReportError(kMethodCreateFiles, 1, 1, 0);
            return CT_ERROR;
        }
        if (m_pfnCT_data == nullptr) {
            return CT_ERROR;
        }
        for (const LoginFile& file : kLoginFiles) {
            // The file description: size, descriptor byte, identifier, a
            // fixed 01 00 and the access conditions of the instructions 60,
            // D6 and B0.
            const BYTE idHigh = static_cast<BYTE>(file.id >> 8);
            const BYTE idLow = static_cast<BYTE>(file.id & 0xFF);
            // clang-format off
            BYTE command[ml_ct::kCommandBufferSize] = {
                0x80, 0xE0, 0x00, 0x00, 0x23,        // CREATE FILE, 35 bytes follow
                0x81, 0x02, 0x00, file.size,         // size
                0x82, 0x01, 0x01,                    // descriptor byte
                0x83, 0x02, idHigh, idLow,           // identifier
                0x85, 0x02, 0x01, 0x00,              // fixed
                0x86, 0x12,                          // access conditions:
                0x60, 0x00, 0x00, 0x00, 0xFF, 0xFF,  //   60
                0xD6, 0x00, 0x00, 0x00, 0xFF, 0xFF,  //   D6
                0xB0, 0x00, 0x00, 0x00, 0xFF, 0xFF}; //   B0
            // clang-format on
            Exchange exchange;
            Transmit(ml_ct::kDadCard, command, 40, exchange);
            if (exchange.result != 0) {
                ReportError(kMethodCreateFiles, 16, 8, exchange.result);
                return CT_ERROR;
            }
            if (!exchange.HasStatusWord()) {
                ReportError(kMethodCreateFiles, 16, 8, exchange.length);
                return CT_ERROR;
            }
            if (exchange.StatusWord() == kSwFileExists) {
                ReportError(kMethodCreateFiles, 17, 16, 0);
                return CT_FILEEXISTS;
            }
        }
        return CT_OK;
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CTCOSCard::CreateFiles() - Exception ***");
        return CT_ERROR;
    }
}

int CTCOSCard::DeleteFiles() {
    try {
        if (m_hDriver == nullptr) {
            ReportError(kMethodDeleteFiles, 1, 1, 0);
            return CT_ERROR;
        }
        if (m_pfnCT_data == nullptr) {
            return CT_ERROR;
        }
        for (const LoginFile& file : kLoginFiles) {
            BYTE command[ml_ct::kCommandBufferSize] = {0x80,
                                                       0xE4,
                                                       0x00,
                                                       0x00,
                                                       0x02,
                                                       static_cast<BYTE>(file.id >> 8),
                                                       static_cast<BYTE>(file.id & 0xFF)};
            Exchange exchange;
            Transmit(ml_ct::kDadCard, command, 7, exchange);
            if (exchange.result != 0) {
                ReportError(kMethodDeleteFiles, 15, 9, exchange.result);
                return CT_ERROR;
            }
            // The answer is not examined: a file that is not there does not
            // stop the others.
        }
        return CT_OK;
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CTCOSCard::DeleteFiles() - Exception ***");
        return CT_ERROR;
    }
}

int CTCOSCard::WriteFiles(LPCWSTR p_szUserName, LPCWSTR p_szDomain, LPCWSTR p_szPassword) {
    try {
        if (m_hDriver == nullptr) {
            ReportError(kMethodWriteFiles, 1, 1, 0);
            return CT_ERROR;
        }
        if (m_pfnCT_data == nullptr) {
            return CT_ERROR;
        }
        struct Item {
            LoginFile file;
            LPCWSTR text;
            size_t bytes;
            int message;
            int errorCode;
        };
        Item items[] = {{kUserNameFile, p_szUserName, 2 * TextLength(p_szUserName), 23, 19},
                        {kDomainFile, p_szDomain, 2 * TextLength(p_szDomain), 22, 20},
                        {kPasswordFile, p_szPassword, 2 * TextLength(p_szPassword), 21, 21}};
        for (Item& item : items) {
            if (item.bytes > item.file.size) {
                item.bytes = item.file.size;
                ReportError(kMethodWriteFiles, item.message, item.errorCode, 0);
            }
        }
        // The user name is cleared first and written last: until the last
        // command the set reads as holding no login data, so a card pulled
        // in between is never taken for a complete one.
        const Item cleared{kUserNameFile, u"", 0, 0, 0};
        const Item order[] = {cleared, items[1], items[2], items[0]};
        for (const Item& item : order) {
            int selected = SelectFile(item.file.id);
            if (selected != CT_OK) {
                return selected;
            }
            // UPDATE BINARY of the whole file: the text in UTF-16LE, then
            // zero bytes up to the file's end (the buffer is zero-filled).
            BYTE command[ml_ct::kCommandBufferSize] = {0x00, 0xD6, 0x00, 0x00, item.file.size};
            for (size_t i = 0; i < item.bytes / 2; ++i) {
                command[5 + 2 * i] = static_cast<BYTE>(item.text[i] & 0xFF);
                command[5 + 2 * i + 1] = static_cast<BYTE>(item.text[i] >> 8);
            }
            Exchange exchange;
            Transmit(ml_ct::kDadCard, command, 5 + item.file.size, exchange);
            SecureZeroMemory(command, sizeof command);
            if (exchange.result != 0) {
                ReportError(kMethodWriteFiles, 13, 11, exchange.result);
                return CT_ERROR;
            }
            if (!exchange.HasStatusWord()) {
                ReportError(kMethodWriteFiles, 13, 11, exchange.length);
                return CT_ERROR;
            }
            WORD status = exchange.StatusWord();
            if (status != kSwOk && status != kSwWrittenWithRetries) {
                ReportError(kMethodWriteFiles, 14, 18, 0);
                return CT_FILEERROR;
            }
        }
        return CT_OK;
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CTCOSCard::WriteFiles() - Exception ***");
        return CT_ERROR;
    }
}

int CTCOSCard::ReadFiles(WCHAR (&p_szUserName)[kTCOSUserNameChars],
                         WCHAR (&p_szDomain)[kTCOSDomainChars],
                         WCHAR (&p_szPassword)[kTCOSPasswordChars]) {
    // Every output holds a terminated text on every return: empty until its
    // file has been read.
    std::fill(std::begin(p_szUserName), std::end(p_szUserName), u'\0');
    std::fill(std::begin(p_szDomain), std::end(p_szDomain), u'\0');
    std::fill(std::begin(p_szPassword), std::end(p_szPassword), u'\0');
    // The read ends the sequence of the card reset before it.
    struct EndAtExit {
        CTCOSCard* card;
        ~EndAtExit() { card->EndSequence(); }
    } sequence{this};
    try {
        if (m_hDriver == nullptr) {
            ReportError(kMethodReadFiles, 1, 1, 0);
            return CT_ERROR;
        }
        if (m_pfnCT_data == nullptr) {
            return CT_ERROR;
        }
        for (const LoginFile& file : kLoginFiles) {
            int selected = SelectFile(file.id);
            if (selected != CT_OK) {
                return selected;
            }
            BYTE command[ml_ct::kCommandBufferSize] = {0x00, 0xB0, 0x00, 0x00, file.size};
            Exchange exchange;
            Transmit(ml_ct::kDadCard, command, 5, exchange);
            if (exchange.result != 0) {
                ReportError(kMethodReadFiles, 12, 12, exchange.result);
                return CT_ERROR;
            }
            if (!exchange.HasStatusWord()) {
                ReportError(kMethodReadFiles, 12, 12, exchange.length);
                return CT_ERROR;
            }
            WORD status = exchange.StatusWord();
            if (status == kSwOk || status == kSwEndOfFile) {
                // A card that answers more than the file holds is read up to
                // the file's size.
                size_t bytes = std::min<size_t>(exchange.length - 2, file.size);
                bool password = file.id == kPasswordFile.id;
                std::u16string text = DecodeFileText(exchange.response, bytes, !password);
                if (file.id == kUserNameFile.id) {
                    CopyText(text, p_szUserName);
                } else if (file.id == kDomainFile.id) {
                    CopyText(text, p_szDomain);
                } else {
                    CopyText(text, p_szPassword);
                }
                SecureZeroMemory(text.data(), text.size() * sizeof(char16_t));
            }
        }
        if (p_szUserName[0] == u'\0') {
            // No user name: the files were made or cleared by a write that
            // did not end. Nothing of the set counts.
            SecureZeroMemory(p_szDomain, sizeof p_szDomain);
            SecureZeroMemory(p_szPassword, sizeof p_szPassword);
            ReportError(kMethodReadFiles, 57, kErrorNoLoginData, 0);
            return CT_EMPTYFILE;
        }
        return CT_OK;
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CTCOSCard::ReadFiles() - Exception ***");
        return CT_ERROR;
    }
}

int CTCOSCard::WriteLoginData(LPCWSTR p_szUserName, LPCWSTR p_szDomain, LPCWSTR p_szPassword) {
    LoginDataBlock copy{};
    std::copy_n(p_szUserName != nullptr ? p_szUserName : u"",
                std::min(TextLength(p_szUserName), std::size(copy.szUserName) - 1),
                copy.szUserName);
    std::copy_n(p_szDomain != nullptr ? p_szDomain : u"",
                std::min(TextLength(p_szDomain), std::size(copy.szDomain) - 1), copy.szDomain);
    std::copy_n(p_szPassword != nullptr ? p_szPassword : u"",
                std::min(TextLength(p_szPassword), std::size(copy.szPassword) - 1),
                copy.szPassword);
    // Files that are there with their sizes are written in place; otherwise
    // all three are made afresh. The whole write is one sequence.
    BeginSequence();
    int result = ProbeLoginFiles();
    if (result == CT_NOFILE) {
        DeleteFiles();
        CreateFiles();
    }
    // A card that refused a selection is not touched at all.
    if (result == CT_OK || result == CT_NOFILE) {
        result = WriteFiles(copy.szUserName, copy.szDomain, copy.szPassword);
    }
    EndSequence();
    SecureZeroMemory(&copy, sizeof copy);
    return result;
}

void CTCOSCard::BeginSequence() {
    // A failure shows in the card reset or command that follows.
    if (m_pfnCT_BeginTransaction != nullptr) {
        m_pfnCT_BeginTransaction(static_cast<uint16_t>(m_nCtn));
    }
}

void CTCOSCard::EndSequence() {
    if (m_pfnCT_EndTransaction != nullptr) {
        m_pfnCT_EndTransaction(static_cast<uint16_t>(m_nCtn));
    }
}

int CTCOSCard::ProbeLoginFiles() {
    if (m_hDriver == nullptr || m_pfnCT_data == nullptr) {
        return CT_OK;  // nothing to look at: WriteFiles reports the driver
    }
    // A missing file is no failure here; a file fits when a read of its size
    // gives that many bytes.
    for (const LoginFile& file : kLoginFiles) {
        int selected = SendSelect(file.id, true);
        if (selected != CT_OK) {
            return selected;
        }
        BYTE read[ml_ct::kCommandBufferSize] = {0x00, 0xB0, 0x00, 0x00, file.size};
        Exchange exchange;
        Transmit(ml_ct::kDadCard, read, 5, exchange);
        const bool fits = exchange.result == 0 && exchange.HasStatusWord() &&
                          exchange.StatusWord() == kSwOk && exchange.length == file.size + 2;
        SecureZeroMemory(exchange.response, sizeof exchange.response);
        if (!fits) {
            return CT_NOFILE;
        }
    }
    return CT_OK;
}
