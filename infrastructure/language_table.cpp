#include "infrastructure/language_table.h"

#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/handle.h"

namespace ml_infra {

namespace {

// A language table is a few lines; what lies beyond this is not read (a
// device or a huge file in its place must not exhaust memory).
constexpr size_t kMaxFileBytes = 1u << 20;

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::u16string& path, std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = true;
    char buffer[8192];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) {
            break;
        }
        bytes.append(buffer, got);
        if (bytes.size() >= kMaxFileBytes) {
            break;
        }
    }
    CloseHandle(file);
    return ok;
}

std::u16string DecodeUtf16(std::string_view bytes, bool bigEndian) {
    std::u16string text(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char a = static_cast<unsigned char>(bytes[2 * i]);
        unsigned char b = static_cast<unsigned char>(bytes[2 * i + 1]);
        text[i] = bigEndian ? char16_t((a << 8) | b) : char16_t((b << 8) | a);
    }
    return text;
}

bool IsSpace(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

}  // namespace

std::u16string DecodeTextFile(std::string_view p_bytes) {
    if (p_bytes.size() >= 2 && static_cast<unsigned char>(p_bytes[0]) == 0xFF &&
        static_cast<unsigned char>(p_bytes[1]) == 0xFE) {
        return DecodeUtf16(p_bytes.substr(2), false);
    }
    if (p_bytes.size() >= 2 && static_cast<unsigned char>(p_bytes[0]) == 0xFE &&
        static_cast<unsigned char>(p_bytes[1]) == 0xFF) {
        return DecodeUtf16(p_bytes.substr(2), true);
    }
    if (p_bytes.size() >= 3 && static_cast<unsigned char>(p_bytes[0]) == 0xEF &&
        static_cast<unsigned char>(p_bytes[1]) == 0xBB &&
        static_cast<unsigned char>(p_bytes[2]) == 0xBF) {
        return ml::FromUtf8(p_bytes.substr(3));
    }
    return ml::FromAnsi(p_bytes);
}

int32_t WToI(std::u16string_view p_strText) {
    size_t i = 0;
    while (i < p_strText.size() && IsSpace(p_strText[i])) {
        ++i;
    }
    bool negative = false;
    if (i < p_strText.size() && (p_strText[i] == u'+' || p_strText[i] == u'-')) {
        negative = p_strText[i] == u'-';
        ++i;
    }
    int64_t value = 0;
    for (; i < p_strText.size() && p_strText[i] >= u'0' && p_strText[i] <= u'9'; ++i) {
        value = value * 10 + (p_strText[i] - u'0');
        if (value > 2147483648ll) {
            value = 2147483648ll;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > 2147483647ll) {
        value = 2147483647ll;
    }
    return static_cast<int32_t>(value);
}

CLanguageTable ParseLanguageTable(std::u16string_view p_text) {
    CLanguageTable table;
    size_t pos = 0;
    while (pos < p_text.size()) {
        size_t end = p_text.find_first_of(u"\r\n", pos);
        if (end == std::u16string_view::npos) {
            end = p_text.size();
        }
        std::u16string_view line = p_text.substr(pos, end - pos);
        pos = end;
        if (pos < p_text.size() && p_text[pos] == u'\r') {
            ++pos;
        }
        if (pos < p_text.size() && p_text[pos] == u'\n') {
            ++pos;
        }
        size_t start = line.find_first_not_of(u" \t");
        if (start == std::u16string_view::npos) {
            continue;
        }
        line.remove_prefix(start);
        if (line[0] == u';') {
            continue;
        }
        size_t first = line.find(u'\t');
        size_t second = first == std::u16string_view::npos ? first : line.find(u'\t', first + 1);
        if (second == std::u16string_view::npos) {
            continue;
        }
        table.names.emplace_back(line.substr(0, first));
        table.languageIds.push_back(
            static_cast<WORD>(WToI(line.substr(first + 1, second - first - 1))));
        table.letters.push_back(second + 1 < line.size() ? line[second + 1] : u'\0');
    }
    return table;
}

CLanguageTable ReadLanguageTable(const std::u16string& p_strPath) {
    std::string bytes;
    if (p_strPath.empty() || !ReadWholeFile(p_strPath, bytes)) {
        return CLanguageTable();
    }
    return ParseLanguageTable(DecodeTextFile(bytes));
}

}  // namespace ml_infra
