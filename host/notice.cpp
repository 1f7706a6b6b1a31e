#include "host/notice.h"

#include <stdio.h>
#include <string.h>

#include <cstdio>

#include "platform/codepage.h"

namespace mlhost {
namespace {

template <size_t N>
std::u16string CopyField(const WCHAR (&field)[N]) {
    size_t length = 0;
    while (length < N && field[length] != 0)
        ++length;
    return std::u16string(field, length);
}

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// The text with every lone surrogate replaced by U+FFFD.
std::u16string WellFormed(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            out += c;
            out += text[++i];
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            out += u'\uFFFD';
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

LoginData::~LoginData() {
    Wipe(user);
    Wipe(domain);
    Wipe(password);
}

void Wipe(std::u16string& text) {
    if (!text.empty())
        explicit_bzero(text.data(), text.size() * sizeof(char16_t));
    text.clear();
}

void Wipe(std::string& text) {
    if (!text.empty())
        explicit_bzero(text.data(), text.size());
    text.clear();
}

void CopyNotice(WPARAM wParam, LPARAM lParam, Notice& notice) {
    notice.code = wParam;
    notice.hasLoginData = wParam == CARD_INSERTED;
    if (notice.hasLoginData && lParam != 0) {
        const auto* block = reinterpret_cast<const LoginDataBlock*>(lParam);
        notice.login.user = CopyField(block->szUserName);
        notice.login.domain = CopyField(block->szDomain);
        notice.login.password = CopyField(block->szPassword);
    }
}

std::string JsonString(std::u16string_view text) {
    std::string utf8 = ml::ToUtf8(WellFormed(text));
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

std::string PlainText(std::u16string_view text) {
    std::u16string shown = WellFormed(text);
    for (char16_t& c : shown) {
        bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
        bool direction = c == 0x061C || c == 0x200E || c == 0x200F ||
                         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
        if (control || direction)
            c = u'?';
    }
    return ml::ToAnsi(shown);
}

namespace {

const char* NoticeName(WPARAM code) {
    switch (code) {
        case CARD_INSERTED:
            return "inserted";
        case CARD_REMOVED:
            return "removed";
        case CARD_ERROR:
            return "error";
        case CARD_UNKNOWN:
            return "unknown";
        default:
            return nullptr;
    }
}

}  // namespace

std::string FormatPlain(const Notice& notice) {
    const char* name = NoticeName(notice.code);
    if (name == nullptr) {
        char line[32];
        std::snprintf(line, sizeof line, "notice 0x%04lx", static_cast<unsigned long>(notice.code));
        return line;
    }
    std::string line = name;
    if (notice.hasLoginData) {
        line += " user=" + PlainText(notice.login.user);
        line += " domain=" + PlainText(notice.login.domain);
    }
    return line;
}

std::string FormatJson(const Notice& notice) {
    const char* name = NoticeName(notice.code);
    std::string line = "{\"notice\":\"";
    line += name ? name : "other";
    line += "\",\"code\":" + std::to_string(notice.code);
    if (notice.hasLoginData) {
        line += ",\"user\":" + JsonString(notice.login.user);
        line += ",\"domain\":" + JsonString(notice.login.domain);
    } else {
        line += ",\"user\":null,\"domain\":null";
    }
    line += "}";
    return line;
}

std::string Timestamp(std::chrono::system_clock::time_point time, long utcOffsetSeconds) {
    using std::chrono::duration_cast;
    const auto sinceEpoch = duration_cast<std::chrono::milliseconds>(time.time_since_epoch()) +
                            std::chrono::seconds(utcOffsetSeconds);
    // Local days and the time of day, also before 1970.
    long long millis = sinceEpoch.count();
    long long days = millis / 86'400'000;
    long long dayMillis = millis % 86'400'000;
    if (dayMillis < 0) {
        dayMillis += 86'400'000;
        --days;
    }
    // The civil date of a day count (days since 1970-01-01, proleptic Gregorian).
    const long long z = days + 719'468;
    const long long era = (z >= 0 ? z : z - 146'096) / 146'097;
    const long long dayOfEra = z - era * 146'097;
    const long long yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long shifted = (5 * dayOfYear + 2) / 153;  // months from March
    const long long day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    const long long month = shifted < 10 ? shifted + 3 : shifted - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

    const long offsetMinutes = (utcOffsetSeconds < 0 ? -utcOffsetSeconds : utcOffsetSeconds) / 60;
    char out[80];
    snprintf(out, sizeof out, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lld%c%02ld:%02ld", year,
             month, day, dayMillis / 3'600'000, dayMillis / 60'000 % 60, dayMillis / 1000 % 60,
             dayMillis % 1000, utcOffsetSeconds < 0 ? '-' : '+', offsetMinutes / 60,
             offsetMinutes % 60);
    return out;
}

}  // namespace mlhost
