// The login files: create, delete, read and write the login record, each as
// one complete card session.
#include <cstdlib>
#include <cstring>

#include "mlsmartcardx/diagnostic.h"
#include "mlsmartcardx/mlsmartcard.h"
#include "platform/secure_memory.h"

namespace {

// The working buffer of read and write; its first 240 bytes are the record.
struct LoginBuffer {
    BYTE bytes[kApduBufferSize] = {};
};

// Master file, then the PIN when one is given.
LONG SelectMasterFile(SCARDHANDLE card, const CardInfo& info, LPCSTR pin) {
    LONG rv = selectMF(card, info);
    if (rv != SCARD_S_SUCCESS) {
        SC_DIAG("selectMF() failed lRet: %x\n", static_cast<unsigned>(rv));
        return rv;
    }
    if (pin != nullptr) {
        size_t length = std::strlen(pin);
        if (length > 0xFF) {
            rv = SCARD_E_INVALID_PARAMETER;
        } else {
            rv = verifyPIN(card, info, reinterpret_cast<const BYTE*>(pin),
                           static_cast<BYTE>(length));
        }
        if (rv != SCARD_S_SUCCESS) {
            SC_DIAG("verifyPIN() failed lRet: %x\n", static_cast<unsigned>(rv));
        }
    }
    return rv;
}

LONG CreateBody(SCARDHANDLE card, const CardInfo& info, LPCSTR pin) {
    LONG rv = SelectMasterFile(card, info, pin);
    if (rv != SCARD_S_SUCCESS) {
        return rv;
    }
    rv = createFile(card, info, kFileUnique, kLoginRecordSize);
    if (rv != SCARD_S_SUCCESS) {
        SC_DIAG("createFile(UNIQUE) failed lRet = 0x%08.8x\n", static_cast<unsigned>(rv));
        return rv;
    }
    if (info.variant == kCardVariantTcos12) {
        // TCOS 1.2 cards take the creation in a second step; its answer does
        // not matter.
        createFile(card, info, kFileUnique, kLoginRecordSize);
    }
    return SCARD_S_SUCCESS;
}

LONG DeleteBody(SCARDHANDLE card, const CardInfo& info, LPCSTR pin) {
    LONG rv = SelectMasterFile(card, info, pin);
    if (rv != SCARD_S_SUCCESS) {
        return rv;
    }
    rv = deleteFile(card, info, kFileUserName);
    if (rv != SCARD_S_SUCCESS) {
        SC_DIAG("delete login File failed 0x%08.8x\n", static_cast<unsigned>(rv));
    }
    rv = deleteFile(card, info, kFileDomain);
    if (rv != SCARD_S_SUCCESS) {
        SC_DIAG("delete domain File failed 0x%08.8x\n", static_cast<unsigned>(rv));
    }
    rv = deleteFile(card, info, kFilePassword);
    if (rv != SCARD_S_SUCCESS) {
        SC_DIAG("Delete password File failed 0x%08.8x\n", static_cast<unsigned>(rv));
    }
    rv = deleteFile(card, info, kFileUnique);
    if (rv != SCARD_S_SUCCESS) {
        SC_DIAG("Delete unique File failed 0x%08.8x\n", static_cast<unsigned>(rv));
    }
    return rv;
}

// One field of the legacy layout: its file, its place in the record, and the
// texts reported when its selection or its read/update fails.
struct LegacyFile {
    WORD fileId;
    DWORD offset;
    DWORD size;
    const char* selectFailed;
    const char* transferFailed;
};

// Read in this order; written in the reverse one.
constexpr LegacyFile kLegacyRead[] = {
    {kFileUserName, kUserNameOffset, kUserNameBytes, "selectEF(USERNAME) failed lRet: %x\n",
     "readBinary(USERNAME) failed lRet: %x\n"},
    {kFileDomain, kDomainOffset, kDomainBytes, "selectEF(DOMAIN) failed lRet: %x\n",
     "readBinary(DOMAIN) failed lRet: %x\n"},
    {kFilePassword, kPasswordOffset, kPasswordBytes, "selectEF(PASSWORD) failed lRet: %x\n",
     "readBinary(PASSWORD) failed lRet: %x\n"},
};
constexpr LegacyFile kLegacyWrite[] = {
    {kFilePassword, kPasswordOffset, kPasswordBytes, "selectEF(Password) failed lRet: %x\n",
     "updateBinary(Password) failed lRet: %x\n"},
    {kFileDomain, kDomainOffset, kDomainBytes, "selectEF(Domain) failed lRet: %x\n",
     "updateBinary(Domain) failed lRet: %x\n"},
    {kFileUserName, kUserNameOffset, kUserNameBytes, "selectEF(USERNAME) failed lRet: %x\n",
     "updateBinary(USERNAME) failed lRet: %x\n"},
};

// Selects one legacy file and reads its field into the record.
LONG ReadLegacyFile(SCARDHANDLE card, const CardInfo& info, const LegacyFile& file,
                    LoginBuffer* buffer) {
    LONG rv = selectEF(card, info, file.fileId);
    if (rv != SCARD_S_SUCCESS) {
        SC_DIAG(file.selectFailed, static_cast<unsigned>(rv));
        return rv;
    }
    DWORD received = 0;
    rv = readBinary(card, info, static_cast<BYTE>(file.size), buffer->bytes + file.offset,
                    file.size, &received);
    if (rv != SCARD_S_SUCCESS) {
        SC_DIAG(file.transferFailed, static_cast<unsigned>(rv));
    } else if (received != file.size) {
        SC_DIAG("file 0x%04x holds %u of %u bytes\n", static_cast<unsigned>(file.fileId),
                static_cast<unsigned>(received), static_cast<unsigned>(file.size));
        rv = kSmartCardNoLoginData;
    }
    return rv;
}

LONG ReadBody(SCARDHANDLE card, const CardInfo& info, LPCSTR pin, LoginBuffer* buffer) {
    LONG rv = SelectMasterFile(card, info, pin);
    if (rv != SCARD_S_SUCCESS) {
        return rv;
    }
    rv = selectEF(card, info, kFileUnique);
    if (rv == SCARD_S_SUCCESS) {
        DWORD received = 0;
        rv = readBinary(card, info, kLoginRecordSize, buffer->bytes, kLoginRecordSize, &received);
        if (rv != SCARD_S_SUCCESS) {
            SC_DIAG("readBinary(UNIQUE) failed lRet: %x\n", static_cast<unsigned>(rv));
        } else if (received != kLoginRecordSize) {
            SC_DIAG("UNIQUE holds %u of 240 bytes\n", static_cast<unsigned>(received));
            rv = kSmartCardNoLoginData;
        }
        return rv;
    }
    SC_DIAG("selectEF(UNIQUE) failed lRet: %x\n", static_cast<unsigned>(rv));
    for (const LegacyFile& file : kLegacyRead) {
        rv = ReadLegacyFile(card, info, file, buffer);
        if (rv != SCARD_S_SUCCESS) {
            break;
        }
    }
    return rv;
}

// Selects one legacy file and writes its field from the record.
LONG WriteLegacyFile(SCARDHANDLE card, const CardInfo& info, const LegacyFile& file,
                     const LoginBuffer& buffer) {
    LONG rv = selectEF(card, info, file.fileId);
    if (rv != SCARD_S_SUCCESS) {
        SC_DIAG(file.selectFailed, static_cast<unsigned>(rv));
        return rv;
    }
    rv = updateBinary(card, info, buffer.bytes + file.offset, static_cast<BYTE>(file.size));
    if (rv != SCARD_S_SUCCESS) {
        SC_DIAG(file.transferFailed, static_cast<unsigned>(rv));
    }
    return rv;
}

LONG WriteBody(SCARDHANDLE card, const CardInfo& info, LPCSTR pin, const LoginBuffer& buffer) {
    LONG rv = SelectMasterFile(card, info, pin);
    if (rv != SCARD_S_SUCCESS) {
        return rv;
    }
    rv = selectEF(card, info, kFileUnique);
    if (rv == SCARD_S_SUCCESS) {
        rv = updateBinary(card, info, buffer.bytes, kLoginRecordSize);
        if (rv != SCARD_S_SUCCESS) {
            SC_DIAG("updateBinary(UNIQUE) failed lRet: %x\n", static_cast<unsigned>(rv));
        }
        return rv;
    }
    SC_DIAG("selectEF(UNIQUE) failed lRet: %x\n", static_cast<unsigned>(rv));
    for (const LegacyFile& file : kLegacyWrite) {
        rv = WriteLegacyFile(card, info, file, buffer);
        if (rv != SCARD_S_SUCCESS) {
            break;
        }
    }
    return rv;
}

size_t WideLength(LPCWSTR text) {
    size_t n = 0;
    if (text != nullptr) {
        while (text[n] != 0) {
            ++n;
        }
    }
    return n;
}

// The byte count of a field value of `characters` characters, cut to the
// field's size; `*cut` tells whether it was cut.
DWORD FieldBytes(size_t characters, DWORD fieldBytes, bool* cut) {
    *cut = characters > fieldBytes / 2;
    return *cut ? fieldBytes : static_cast<DWORD>(characters * 2);
}

// The length a complaint reports: twice the characters, saturated.
int ReportedBytes(size_t characters) {
    return characters > 0x3FFFFFFF ? 0x7FFFFFFF : static_cast<int>(characters * 2);
}

// A field's UTF-16LE bytes, whatever the host's byte order.
void PutField(LoginBuffer* buffer, DWORD offset, LPCWSTR text, DWORD bytes) {
    for (DWORD i = 0; i < bytes / 2; ++i) {
        buffer->bytes[offset + 2 * i] = static_cast<BYTE>(text[i] & 0xFF);
        buffer->bytes[offset + 2 * i + 1] = static_cast<BYTE>(text[i] >> 8);
    }
}

void GetField(const LoginBuffer& buffer, DWORD offset, DWORD bytes, WCHAR* out) {
    for (DWORD i = 0; i < bytes / 2; ++i) {
        out[i] = static_cast<WCHAR>(buffer.bytes[offset + 2 * i] | buffer.bytes[offset + 2 * i + 1]
                                                                       << 8);
    }
}

// The user name as read is the field up to its first zero unit.
bool HoldsUserName(const LoginBuffer& buffer) {
    const BYTE* field = buffer.bytes + kUserNameOffset;
    return field[0] != 0 || field[1] != 0;
}

// The record of SmartCardWriteFiles and SmartCardStoreFiles: the values cut
// to their fields (each cut is reported) and copied to their offsets.
void PrepareRecord(LPCWSTR userName, LPCWSTR domain, LPCWSTR password, DWORD passwordLength,
                   LoginBuffer* buffer) {
    bool cut = false;
    size_t userLength = WideLength(userName);
    DWORD userBytes = FieldBytes(userLength, kUserNameBytes, &cut);
    if (cut) {
        SC_DIAG("wrong user name length: %d\n", ReportedBytes(userLength));
    }
    size_t domainLength = WideLength(domain);
    DWORD domainBytes = FieldBytes(domainLength, kDomainBytes, &cut);
    if (cut) {
        SC_DIAG("wrong domain name length: %d\n", ReportedBytes(domainLength));
    }
    DWORD passwordBytes = FieldBytes(passwordLength, kPasswordBytes, &cut);
    if (cut) {
        SC_DIAG("wrong password length: %d\n", ReportedBytes(passwordLength));
    }
    PutField(buffer, kUserNameOffset, userName, userBytes);
    PutField(buffer, kDomainOffset, domain, domainBytes);
    PutField(buffer, kPasswordOffset, password, passwordBytes);
}

// Whether UNIQUE can take the record where it is: it can be selected and a
// read of the whole record gives all 240 bytes. The record read is wiped.
bool UniqueFits(SCARDHANDLE card, const CardInfo& info) {
    if (selectEF(card, info, kFileUnique) != SCARD_S_SUCCESS) {
        return false;
    }
    LoginBuffer old;
    DWORD received = 0;
    LONG rv = readBinary(card, info, kLoginRecordSize, old.bytes, kLoginRecordSize, &received);
    SecureZeroMemory(&old, sizeof old);
    return rv == SCARD_S_SUCCESS && received == kLoginRecordSize;
}

// Stores the record so that a card pulled at any moment holds the old
// record, the new one, or one that reads as no login data. An UNIQUE of the
// right size is updated in place with one command. Otherwise the files are
// made afresh: the legacy user-name file goes first, so that an old legacy
// set reads as incomplete from then on, and the new UNIQUE reads as empty
// until its one update.
LONG StoreBody(SCARDHANDLE card, const CardInfo& info, LPCSTR pin, const LoginBuffer& buffer) {
    LONG rv = SelectMasterFile(card, info, pin);
    if (rv != SCARD_S_SUCCESS) {
        return rv;
    }
    if (UniqueFits(card, info)) {
        rv = updateBinary(card, info, buffer.bytes, kLoginRecordSize);
        if (rv != SCARD_S_SUCCESS) {
            SC_DIAG("updateBinary(UNIQUE) failed lRet: %x\n", static_cast<unsigned>(rv));
        }
        return rv;
    }
    DeleteBody(card, info, pin);
    rv = CreateBody(card, info, pin);
    if (rv != SCARD_S_SUCCESS) {
        return rv;
    }
    return WriteBody(card, info, pin, buffer);
}

}  // namespace

LONG SmartCardCreateFiles(LPCWSTR reader, LPCSTR pin) {
    CardInfo info{};
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    LONG rv = SmartCardConnect(reader, &context, &card, &info);
    if (rv != SCARD_S_SUCCESS) {
        SC_DIAG("connect (create file) failed lRet = 0x%08.8x\n", static_cast<unsigned>(rv));
        return rv;
    }
    rv = CreateBody(card, info, pin);
    LONG disconnect = SmartCardDisconnect(context, card);
    if (disconnect != SCARD_S_SUCCESS) {
        SC_DIAG("Disconnect failed lRet = 0x%08.8x\n", static_cast<unsigned>(disconnect));
        if (rv == SCARD_S_SUCCESS) {
            rv = disconnect;
        }
    }
    if (rv == SCARD_S_SUCCESS) {
        SC_DIAG(" create files successful lRet = 0x%08.8x\n", static_cast<unsigned>(rv));
    }
    return rv;
}

LONG SmartCardDeleteFiles(LPCWSTR reader, LPCSTR pin) {
    CardInfo info{};
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    LONG rv = SmartCardConnect(reader, &context, &card, &info);
    if (rv != SCARD_S_SUCCESS) {
        SC_DIAG("Connect in Delete Files failed\n");
        return rv;
    }
    rv = DeleteBody(card, info, pin);
    LONG disconnect = SmartCardDisconnect(context, card);
    if (disconnect != SCARD_S_SUCCESS) {
        SC_DIAG("Disconnect failed 0x%08.8x\n", static_cast<unsigned>(disconnect));
        if (rv == SCARD_S_SUCCESS) {
            rv = disconnect;
        }
    }
    if (rv == SCARD_S_SUCCESS) {
        SC_DIAG("Delete Files Successful\n");
    }
    return rv;
}

LONG SmartCardReadFiles(LPCWSTR reader, LPWSTR* userName, LPWSTR* domain, LPWSTR* password,
                        DWORD* passwordCapacity, LPCSTR pin) {
    if (userName == nullptr || domain == nullptr || password == nullptr ||
        passwordCapacity == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    CardInfo info{};
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    LONG rv = SmartCardConnect(reader, &context, &card, &info);
    if (rv != SCARD_S_SUCCESS) {
        SC_DIAG("connect failed lRet: %x\n", static_cast<unsigned>(rv));
        return rv;
    }
    SC_DIAG("CONNECT successful  %x \n", static_cast<unsigned>(rv));

    LoginBuffer buffer;
    rv = ReadBody(card, info, pin, &buffer);
    if (rv == SCARD_S_SUCCESS && !HoldsUserName(buffer)) {
        // An empty record is a card whose write was cut short after the
        // file was made: it carries no login data.
        SC_DIAG("the login record holds no user name\n");
        rv = kSmartCardNoLoginData;
    }

    WCHAR* user = nullptr;
    WCHAR* dom = nullptr;
    WCHAR* pass = nullptr;
    if (rv == SCARD_S_SUCCESS) {
        user = static_cast<WCHAR*>(std::calloc(1, kUserNameBytes + 4));
        if (user == nullptr) {
            rv = kSmartCardAllocationFailed;
            SC_DIAG("calloc(LEN_USERNAME + 4) failed\n");
        }
        dom = static_cast<WCHAR*>(std::calloc(1, kDomainBytes + 4));
        if (dom == nullptr) {
            rv = kSmartCardAllocationFailed;
            SC_DIAG("calloc(LEN_DOMAIN + 4) failed\n");
        }
        pass = static_cast<WCHAR*>(std::calloc(1, kPasswordBytes + 4));
        if (pass == nullptr) {
            rv = kSmartCardAllocationFailed;
            SC_DIAG("calloc(LEN_PASSWORD + 4) failed\n");
        }
    }

    LONG disconnect = SmartCardDisconnect(context, card);
    if (disconnect != SCARD_S_SUCCESS) {
        SC_DIAG("disconnect failed lRet: %x\n", static_cast<unsigned>(disconnect));
        if (rv == SCARD_S_SUCCESS) {
            rv = disconnect;
        }
    }

    if (rv != SCARD_S_SUCCESS) {
        std::free(user);
        std::free(dom);
        std::free(pass);
        SecureZeroMemory(&buffer, sizeof buffer);
        return rv;
    }
    GetField(buffer, kUserNameOffset, kUserNameBytes, user);
    GetField(buffer, kDomainOffset, kDomainBytes, dom);
    GetField(buffer, kPasswordOffset, kPasswordBytes, pass);
    SecureZeroMemory(&buffer, sizeof buffer);
    *userName = user;
    *domain = dom;
    *password = pass;
    *passwordCapacity = kPasswordCapacity;
    SC_DIAG("file read successfully\n");
    return SCARD_S_SUCCESS;
}

namespace {

using RecordBody = LONG (*)(SCARDHANDLE, const CardInfo&, LPCSTR, const LoginBuffer&);

// One session that hands the prepared record to `body`; the record is wiped
// before the session ends, whatever the outcome.
LONG WithRecordInSession(LPCWSTR reader, LPCWSTR userName, LPCWSTR domain, LPCWSTR password,
                         DWORD passwordLength, LPCSTR pin, RecordBody body, const char* done) {
    if (password == nullptr && passwordLength != 0) {
        return SCARD_E_INVALID_PARAMETER;
    }
    LoginBuffer buffer;
    PrepareRecord(userName, domain, password, passwordLength, &buffer);

    CardInfo info{};
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    LONG rv = SmartCardConnect(reader, &context, &card, &info);
    if (rv != SCARD_S_SUCCESS) {
        SC_DIAG("Connect failed lRet: %x\n", static_cast<unsigned>(rv));
        SecureZeroMemory(&buffer, sizeof buffer);
        return rv;
    }
    rv = body(card, info, pin, buffer);
    SecureZeroMemory(&buffer, sizeof buffer);
    LONG disconnect = SmartCardDisconnect(context, card);
    if (disconnect != SCARD_S_SUCCESS) {
        SC_DIAG("Disconnect failed lRet: %x\n", static_cast<unsigned>(disconnect));
        if (rv == SCARD_S_SUCCESS) {
            rv = disconnect;
        }
    }
    if (rv == SCARD_S_SUCCESS) {
        SC_DIAG("%s", done);
    }
    return rv;
}

}  // namespace

LONG SmartCardWriteFiles(LPCWSTR reader, LPCWSTR userName, LPCWSTR domain, LPCWSTR password,
                         DWORD passwordLength, LPCSTR pin) {
    return WithRecordInSession(reader, userName, domain, password, passwordLength, pin, WriteBody,
                               "Write File Succesfull\n");
}

LONG SmartCardStoreFiles(LPCWSTR reader, LPCWSTR userName, LPCWSTR domain, LPCWSTR password,
                         DWORD passwordLength, LPCSTR pin) {
    return WithRecordInSession(reader, userName, domain, password, passwordLength, pin, StoreBody,
                               "login data stored\n");
}
