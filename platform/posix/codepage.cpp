#include "platform/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/posix/internal.h"

using namespace ml::posix;

namespace {

// Owns one iconv conversion descriptor.
class Converter {
  public:
    Converter(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
    ~Converter() {
        if (valid())
            ::iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

  private:
    iconv_t cd_;
};

constexpr const char* kUtf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

// The Windows code page number of a character set name from a locale.
UINT CodePageOfCharset(std::string name) {
    std::string key;
    for (char c : name)
        if (c != '-' && c != '_')
            key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    struct Known {
        const char* key;
        UINT codePage;
    };
    static constexpr Known kKnown[] = {
        {"UTF8", CP_UTF8},    {"CP1252", 1252},    {"WINDOWS1252", 1252}, {"SJIS", 932},
        {"SHIFTJIS", 932},    {"CP932", 932},      {"GBK", 936},          {"GB2312", 936},
        {"CP936", 936},       {"EUCCN", 936},      {"EUCKR", 949},        {"UHC", 949},
        {"CP949", 949},       {"BIG5", 950},       {"CP950", 950},        {"ISO88591", 28591},
        {"ISO885915", 28605}, {"ISO88592", 28592}, {"KOI8R", 20866},      {"CP1251", 1251},
        {"EUCJP", 20932},
    };
    for (const auto& known : kKnown)
        if (key == known.key)
            return known.codePage;
    return CP_UTF8;
}

// The iconv name of a Windows code page, nullptr when unknown.
const char* IconvName(UINT codePage) {
    switch (codePage) {
        case CP_UTF8:
            return "UTF-8";
        case 932:
            return "CP932";
        case 936:
            return "CP936";
        case 949:
            return "CP949";
        case 950:
            return "CP950";
        case 1250:
            return "CP1250";
        case 1251:
            return "CP1251";
        case 1252:
            return "CP1252";
        case 1253:
            return "CP1253";
        case 1254:
            return "CP1254";
        case 1257:
            return "CP1257";
        case 20866:
            return "KOI8-R";
        case 20932:
            return "EUC-JP";
        case 28591:
            return "ISO-8859-1";
        case 28592:
            return "ISO-8859-2";
        case 28605:
            return "ISO-8859-15";
        default:
            return nullptr;
    }
}

UINT Resolve(UINT codePage) {
    return codePage == CP_ACP ? GetACP() : codePage;
}

bool IsDoubleByte(UINT codePage) {
    return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
}

// Converts with iconv; characters that do not convert become `replacement`
// and set *replaced. False with the last error set when the code page is
// unknown.
bool Convert(const char* to, const char* from, const char* input, size_t inputSize, size_t unitSize,
             const std::string& replacement, std::string& output, bool* replaced) {
    Converter cd(to, from);
    if (!cd.valid())
        return Fail(ML_ERROR_INVALID_PARAMETER, false);
    output.clear();
    char buffer[1024];
    char* in = const_cast<char*>(input);
    size_t inLeft = inputSize;
    while (inLeft > 0) {
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        size_t rc = ::iconv(cd.get(), &in, &inLeft, &out, &outLeft);
        output.append(buffer, static_cast<size_t>(out - buffer));
        if (rc != static_cast<size_t>(-1))
            continue;
        if (errno == E2BIG)
            continue;
        // EILSEQ (no mapping or bad input) or EINVAL (cut sequence at the end):
        // one unit becomes the replacement and the conversion goes on.
        output += replacement;
        *replaced = true;
        size_t skip = std::min(unitSize, inLeft);
        if (unitSize == 2 && inLeft >= 4) {
            // A surrogate pair is one character and gets one replacement.
            char16_t units[2];
            std::memcpy(units, in, 4);
            if (units[0] >= 0xD800 && units[0] <= 0xDBFF && units[1] >= 0xDC00 &&
                units[1] <= 0xDFFF)
                skip = 4;
        }
        in += skip;
        inLeft -= skip;
        ::iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
    }
    // Flush a shift state, if the target set has one.
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    ::iconv(cd.get(), nullptr, nullptr, &out, &outLeft);
    output.append(buffer, static_cast<size_t>(out - buffer));
    return true;
}

}  // namespace

extern "C" {

UINT GetACP(void) {
    const char* locale = nullptr;
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != 0) {
            locale = value;
            break;
        }
    }
    if (locale == nullptr)
        return CP_UTF8;
    const char* dot = std::strchr(locale, '.');
    if (dot == nullptr)
        return CP_UTF8;  // "C", "POSIX", "de_DE"
    std::string charset(dot + 1);
    charset = charset.substr(0, charset.find('@'));
    return CodePageOfCharset(charset);
}

BOOL IsDBCSLeadByteEx(UINT codePage, BYTE c) {
    switch (Resolve(codePage)) {
        case 932:
            return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
        case 936:
        case 949:
        case 950:
            return c >= 0x81 && c <= 0xFE;
        default:
            return FALSE;
    }
}

BOOL IsDBCSLeadByte(BYTE c) {
    return IsDBCSLeadByteEx(CP_ACP, c);
}

int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR src, int srcLen, LPSTR dst, int dstLen,
                        LPCSTR defaultChar, BOOL* usedDefaultChar) {
    if (src == nullptr || srcLen < -1 || srcLen == 0 || dstLen < 0 || (dstLen > 0 && !dst))
        return Fail(ML_ERROR_INVALID_PARAMETER, 0);
    size_t length = srcLen == -1 ? WideLength(src) + 1 : static_cast<size_t>(srcLen);
    UINT cp = Resolve(codePage);
    bool replaced = false;
    std::string result;
    std::u16string_view text(src, length);
    if (cp == CP_UTF8) {
        result = Utf16ToUtf8(text, &replaced);
    } else {
        const char* name = IconvName(cp);
        if (name == nullptr)
            return Fail(ML_ERROR_INVALID_PARAMETER, 0);
        std::string replacement = "?";
        if (defaultChar != nullptr && defaultChar[0] != 0 && !IsDoubleByte(cp))
            replacement.assign(1, defaultChar[0]);
        if (!Convert(name, kUtf16, reinterpret_cast<const char*>(src), length * 2, 2, replacement,
                     result, &replaced))
            return 0;
    }
    if (usedDefaultChar != nullptr)
        *usedDefaultChar = replaced ? TRUE : FALSE;
    if (result.size() > static_cast<size_t>(INT32_MAX))
        return Fail(ML_ERROR_INVALID_PARAMETER, 0);
    int needed = static_cast<int>(result.size());
    if (dstLen == 0)
        return needed;
    if (needed > dstLen)
        return Fail(ML_ERROR_INSUFFICIENT_BUFFER, 0);
    std::memcpy(dst, result.data(), result.size());
    return needed;
}

int MultiByteToWideChar(UINT codePage, DWORD, LPCSTR src, int srcLen, LPWSTR dst, int dstLen) {
    if (src == nullptr || srcLen < -1 || srcLen == 0 || dstLen < 0 || (dstLen > 0 && !dst))
        return Fail(ML_ERROR_INVALID_PARAMETER, 0);
    size_t length = srcLen == -1 ? std::strlen(src) + 1 : static_cast<size_t>(srcLen);
    UINT cp = Resolve(codePage);
    std::u16string result;
    if (cp == CP_UTF8) {
        result = Utf8ToUtf16(std::string_view(src, length));
    } else {
        const char* name = IconvName(cp);
        if (name == nullptr)
            return Fail(ML_ERROR_INVALID_PARAMETER, 0);
        std::string bytes;
        bool replaced = false;
        std::string replacement(2, '\0');
        char16_t fffd = u'\xFFFD';
        std::memcpy(replacement.data(), &fffd, 2);
        if (!Convert(kUtf16, name, src, length, 1, replacement, bytes, &replaced))
            return 0;
        result.resize(bytes.size() / 2);
        std::memcpy(result.data(), bytes.data(), result.size() * 2);
    }
    if (result.size() > static_cast<size_t>(INT32_MAX))
        return Fail(ML_ERROR_INVALID_PARAMETER, 0);
    int needed = static_cast<int>(result.size());
    if (dstLen == 0)
        return needed;
    if (needed > dstLen)
        return Fail(ML_ERROR_INSUFFICIENT_BUFFER, 0);
    std::memcpy(dst, result.data(), result.size() * 2);
    return needed;
}

}  // extern "C"

namespace ml {

std::string ToUtf8(std::u16string_view text) {
    return posix::Utf16ToUtf8(text);
}
std::u16string FromUtf8(std::string_view text) {
    return posix::Utf8ToUtf16(text);
}

std::string ToAnsi(std::u16string_view text) {
    if (text.empty())
        return {};
    int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                            nullptr, nullptr);
    return out;
}

std::u16string FromAnsi(std::string_view text) {
    if (text.empty())
        return {};
    int size =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(size), u'\0');
    if (size > 0)
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(),
                            size);
    return out;
}

}  // namespace ml
