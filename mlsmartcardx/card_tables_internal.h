// The card library's tables: the ATR recognition table and the command
// templates of the card variants. For the library's own sources and its
// tests; callers use the functions of mlsmartcard.h.
#ifndef ML_MLSMARTCARDX_CARD_TABLES_INTERNAL_H_
#define ML_MLSMARTCARDX_CARD_TABLES_INTERNAL_H_

#include "mlsmartcardx/mlsmartcard.h"

// One row of the ATR recognition table: an ATR matches when for every i below
// `length`, (atr[i] & mask[i]) == (pattern[i] & mask[i]).
struct AtrPattern {
    static constexpr DWORD kMaxBytes = 32;

    DWORD variant;
    DWORD length;
    BYTE pattern[kMaxBytes];
    BYTE mask[kMaxBytes];
};

// Builds a row; without a mask every bit counts (32 bytes 0xFF). Input
// beyond 32 bytes is cut.
AtrPattern MakeAtrPattern(DWORD variant, const BYTE* pattern, size_t length,
                          const BYTE* mask = nullptr);

// The recognition table, built on first use (thread-safe) and kept for the
// life of the process; `*count` receives the number of rows.
const AtrPattern* AtrPatternTable(size_t* count);

// Command numbers of the APDU templates.
constexpr DWORD kCmdSelectMF = 2;
constexpr DWORD kCmdSelectEF = 4;
constexpr DWORD kCmdCreateFile = 5;
constexpr DWORD kCmdDeleteFile = 6;
constexpr DWORD kCmdReadBinary = 7;
constexpr DWORD kCmdUpdateBinary = 8;
constexpr DWORD kCmdVerifyPIN = 9;

// A command APDU of one card variant, before the caller's values are filled
// in: the length byte (Lc, Le or file size) at lengthPos and the file
// identifier, high byte first, at dataPos; 0 = no such value (position 0 is
// always the class byte). length 0 = the command does not exist.
struct ApduTemplate {
    DWORD command;
    DWORD variant;
    BYTE length;
    BYTE lengthPos;
    BYTE dataPos;
    BYTE bytes[48];
};

// The template of (command, variant); null when the table has no such row.
const ApduTemplate* FindApduTemplate(DWORD command, DWORD variant);

#endif  // ML_MLSMARTCARDX_CARD_TABLES_INTERNAL_H_
