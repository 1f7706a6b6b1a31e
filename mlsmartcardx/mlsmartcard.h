// The PC/SC card library: reader sessions, the card commands and the login
// files of a logon card.
//
// Every file operation (SmartCardCreateFiles .. SmartCardWriteFiles) is one
// complete card session: it establishes a PC/SC context, connects to the
// named reader in shared mode, recognises the card variant from its ATR, runs
// its commands and disconnects again, leaving the card in the reader as it
// is. No context or card handle outlives an operation. All PC/SC calls go
// through ml::GetSCardService() (platform/scard.h).
//
// Results are the 32-bit PC/SC codes of platform/scard.h (0 = success); card
// status words are mapped onto them. No function throws.
//
// Thread safety: the functions keep no state between calls apart from the
// ATR recognition table, which is built once, safely, on first use. Sessions on
// the same reader from two threads are the callers' affair: the library
// takes no lock.
//
// Diagnostics: every step reports a printf-style text to the diagnostic
// hook, which discards them unless one is installed. No text carries a
// password or PIN.
#ifndef ML_MLSMARTCARDX_MLSMARTCARD_H_
#define ML_MLSMARTCARDX_MLSMARTCARD_H_

#include <cstddef>

#include "platform/scard.h"
#include "platform/windef.h"

// Card variants, chosen from the ATR; they select the command templates.
constexpr DWORD kCardVariantGeneric = 0;  // generic ISO 7816-4 card
constexpr DWORD kCardVariantTcos12 = 1;   // TCOS 1.2 card
constexpr DWORD kCardVariantClass80 = 2;  // class-80 card
constexpr DWORD kCardVariantCount = 3;

// The session record of one operation, filled by SmartCardConnect. Value
// initialise it (`CardInfo info{};`) before use.
struct CardInfo {
    static constexpr DWORD kMaxAtr = 32;
    static constexpr DWORD kMaxId = 16;

    DWORD protocol;     // active protocol: SCARD_PROTOCOL_T0, _T1, anything else = raw
    DWORD variant;      // kCardVariant*; generic until an ATR has been recognised
    DWORD readerState;  // as the status call returned it, not interpreted
    DWORD atrLength;    // valid bytes of atr, at most kMaxAtr
    BYTE atr[kMaxAtr];
    DWORD idLength;  // valid bytes of id, at most kMaxId
    BYTE id[kMaxId];

    // Store an ATR or identifier; longer input keeps the first 32 resp. 16
    // bytes. A null pointer stores nothing and sets the length to 0.
    void SetAtr(const BYTE* bytes, size_t length);
    void SetId(const BYTE* bytes, size_t length);
};

// The card variant of an ATR: the first of the seven known ATRs (two TCOS
// 1.2, five class-80) that `atr` begins with, kCardVariantGeneric when none
// matches. Only the known ATR's own length is compared; bytes at and beyond
// `length` count as zero.
DWORD RecognizeCardVariant(const BYTE* atr, size_t length);

// The PC/SC result of a card status word (SW1 << 8 | SW2) before a command's
// own acceptances; SCARD_E_UNEXPECTED for a word the map does not list.
LONG MapStatusWord(WORD statusWord);

// Sizes of the command buffers: what is sent, what is offered for the answer.
constexpr DWORD kApduBufferSize = 308;
constexpr DWORD kReceiveLength = 300;

// The card commands. Each sends one ISO 7816-4 APDU built from the template
// of the session's variant (class 00, B0 on TCOS cards, create and delete in
// class 80 on class-80 cards), with the PCI of the session's protocol, and returns the
// transmit failure unchanged or the mapped status word. They allocate
// nothing and keep no state.
LONG selectMF(SCARDHANDLE card, const CardInfo& info);
LONG selectEF(SCARDHANDLE card, const CardInfo& info, WORD fileId);
// Sends the `length` PIN bytes as they are.
LONG verifyPIN(SCARDHANDLE card, const CardInfo& info, const BYTE* pin, BYTE length);
LONG createFile(SCARDHANDLE card, const CardInfo& info, WORD fileId, BYTE fileSize);
LONG deleteFile(SCARDHANDLE card, const CardInfo& info, WORD fileId);
// Reads from offset 0 with `le`. On success copies the data bytes of the
// answer, at most `capacity` of them, to `buffer` and reports their count in
// `*received`; otherwise copies nothing and reports 0.
LONG readBinary(SCARDHANDLE card, const CardInfo& info, BYTE le, BYTE* buffer, DWORD capacity,
                DWORD* received);
// Writes `length` bytes at offset 0.
LONG updateBinary(SCARDHANDLE card, const CardInfo& info, const BYTE* data, BYTE length);

// Opens a session on `reader`: context, shared connect (T=0 or T=1), status,
// variant recognition and, for TCOS and class-80 cards, the identification
// read. Sets *context and *card to 0 first and zeroes info's protocol and
// variant. Returns the result of establishing the context or of the connect;
// a failed status or identification read still returns success (variant
// generic, no identifier). After a failed connect no card handle is open and
// the context has been released (*context is 0 unless the release failed).
LONG SmartCardConnect(LPCWSTR reader, SCARDCONTEXT* context, SCARDHANDLE* card, CardInfo* info);
// Disconnects leaving the card as it is, then releases the context; returns
// the disconnect's failure if there was one, else the release's result.
LONG SmartCardDisconnect(SCARDCONTEXT context, SCARDHANDLE card);

// The login files of a logon card.
constexpr WORD kFileUnique = 0x5544;    // the 240-byte login record
constexpr WORD kFileUserName = 0x5511;  // legacy layout
constexpr WORD kFileDomain = 0x5522;    // legacy layout
constexpr WORD kFilePassword = 0x5533;  // legacy layout

// The login record: UTF-16LE fields, zero-padded, without terminator when
// full; the zones between them are zero.
constexpr DWORD kLoginRecordSize = 240;
constexpr DWORD kUserNameOffset = 8;
constexpr DWORD kUserNameBytes = 42;  // LEN_USERNAME, 21 characters
constexpr DWORD kDomainOffset = 80;
constexpr DWORD kDomainBytes = 32;  // LEN_DOMAIN, 16 characters
constexpr DWORD kPasswordOffset = 136;
constexpr DWORD kPasswordBytes = 100;  // LEN_PASSWORD, 50 characters
constexpr DWORD kPasswordCapacity = kPasswordBytes / 2;

// SmartCardReadFiles's result when an output buffer could not be allocated
// (a plain count, not a PC/SC code).
constexpr LONG kSmartCardAllocationFailed = 8;

// SmartCardReadFiles's result for a card whose login files hold no complete
// login data: a record without user name (a write cut short after the file
// was made) or a file that gives fewer bytes than its field.
constexpr LONG kSmartCardNoLoginData = SCARD_E_UNEXPECTED;

// In every operation `pin` is optional (null = none): when given, it is
// verified right after the master file is selected, and a PIN longer than
// 255 bytes is refused with SCARD_E_INVALID_PARAMETER.

// Creates UNIQUE (0x5544, 240 bytes) under the master file.
LONG SmartCardCreateFiles(LPCWSTR reader, LPCSTR pin = nullptr);
// Deletes the legacy files (their failures are only reported) and then
// UNIQUE, whose result is the operation's.
LONG SmartCardDeleteFiles(LPCWSTR reader, LPCSTR pin = nullptr);
// Reads the login record from UNIQUE, or from the three legacy files when
// UNIQUE cannot be selected. On success hands out user name, domain and
// password in new zero-filled buffers of 46, 36 and 104 bytes (always
// terminated) that the caller releases with free(), and sets
// *passwordCapacity to 50. On failure writes none of the outputs. The output
// pointers must not be null (SCARD_E_INVALID_PARAMETER). A record without
// user name, or a file that answers fewer bytes than its field, is
// kSmartCardNoLoginData.
LONG SmartCardReadFiles(LPCWSTR reader, LPWSTR* userName, LPWSTR* domain, LPWSTR* password,
                        DWORD* passwordCapacity, LPCSTR pin = nullptr);
// Writes the login record to UNIQUE, or to the legacy files (password,
// domain, user name) when UNIQUE cannot be selected. User name and domain
// are terminated strings (null = empty); the password is `passwordLength`
// characters, no terminator needed (null only with length 0). Values longer
// than their field are cut to 21, 16 and 50 characters.
LONG SmartCardWriteFiles(LPCWSTR reader, LPCWSTR userName, LPCWSTR domain, LPCWSTR password,
                         DWORD passwordLength, LPCSTR pin = nullptr);
// Stores the login data in one session, so that a card pulled at any moment
// reads as the old data, the new data or no login data: an UNIQUE that
// gives its 240 bytes is updated in place with one command; otherwise all
// login files are deleted (the legacy user name first), UNIQUE is created
// and written. Arguments and cuts as for SmartCardWriteFiles.
LONG SmartCardStoreFiles(LPCWSTR reader, LPCWSTR userName, LPCWSTR domain, LPCWSTR password,
                         DWORD passwordLength, LPCSTR pin = nullptr);

// The diagnostic hook: level (always 0), source ("mlsmartcard"), line,
// library ("smartcard.lib"), printf format, then the format's arguments.
// Null (the default) discards every text. The hook may be called from any
// thread that runs an operation.
using SmartCardDiagnosticHook = void (*)(int level, const char* source, int line,
                                         const char* library, const char* format, ...);
// Installs `hook` and returns the previous one.
SmartCardDiagnosticHook SmartCardSetDiagnosticHook(SmartCardDiagnosticHook hook);

#endif  // ML_MLSMARTCARDX_MLSMARTCARD_H_
