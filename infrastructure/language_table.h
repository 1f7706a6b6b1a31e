// The language table of "languages.ini" in the install directory.
//
// Encoding by byte-order mark: FF FE UTF-16LE, FE FF UTF-16BE, EF BB BF
// UTF-8, anything else the ANSI code page from the first byte. Lines end at
// CR, LF or CR LF. Each line loses its leading blanks and TABs; a line is
// skipped when it is then empty, starts with ";" or holds fewer than two
// TABs. Fields: name up to the first TAB; Windows language identifier = the
// decimal number between the first and second TAB (0 when none, cut to 16
// bits); letter = the character after the second TAB (NUL when none).
//
// Pure functions; any thread.
#ifndef ML_INFRASTRUCTURE_LANGUAGE_TABLE_H_
#define ML_INFRASTRUCTURE_LANGUAGE_TABLE_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/windef.h"

struct CLanguageTable {
    std::vector<std::u16string> names;
    std::vector<WORD> languageIds;
    std::vector<char16_t> letters;
};

namespace ml_infra {
// The text of a file by its byte-order mark (see above). Invalid sequences
// become U+FFFD; a trailing odd byte of UTF-16 is dropped.
std::u16string DecodeTextFile(std::string_view p_bytes);
// The table of the text of "languages.ini".
CLanguageTable ParseLanguageTable(std::u16string_view p_text);
// The table of the file at `p_strPath` (its first MiB); empty when it
// cannot be read.
CLanguageTable ReadLanguageTable(const std::u16string& p_strPath);
// _wtoi: leading white space, an optional sign, decimal digits; 0 when
// there are none; clamped to the 32-bit range.
int32_t WToI(std::u16string_view p_strText);
}  // namespace ml_infra

#endif  // ML_INFRASTRUCTURE_LANGUAGE_TABLE_H_
