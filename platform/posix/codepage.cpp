#include "platform/codepage.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>

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

// Every character set a Debian locale can name, with its Windows code page
// number and its iconv name. Sets Windows has no number for get one of this
// module's own, from 59001 on; they are used only inside the process.
struct Charset {
    const char* key;  // upper case, without "-" and "_"
    UINT codePage;
    const char* iconv;
};
constexpr Charset kCharsets[] = {
    {"UTF8", CP_UTF8, "UTF-8"},
    {"ANSIX3.41968", 20127, "ASCII"},
    {"ASCII", 20127, "ASCII"},
    {"ISO88591", 28591, "ISO-8859-1"},
    {"ISO88592", 28592, "ISO-8859-2"},
    {"ISO88593", 28593, "ISO-8859-3"},
    {"ISO88594", 28594, "ISO-8859-4"},
    {"ISO88595", 28595, "ISO-8859-5"},
    {"ISO88596", 28596, "ISO-8859-6"},
    {"ISO88597", 28597, "ISO-8859-7"},
    {"ISO88598", 28598, "ISO-8859-8"},
    {"ISO88599", 28599, "ISO-8859-9"},
    {"ISO885910", 59001, "ISO-8859-10"},
    {"ISO885913", 28603, "ISO-8859-13"},
    {"ISO885914", 59002, "ISO-8859-14"},
    {"ISO885915", 28605, "ISO-8859-15"},
    {"ISO885916", 59003, "ISO-8859-16"},
    {"CP1250", 1250, "CP1250"},
    {"CP1251", 1251, "CP1251"},
    {"CP1252", 1252, "CP1252"},
    {"CP1253", 1253, "CP1253"},
    {"CP1254", 1254, "CP1254"},
    {"CP1255", 1255, "CP1255"},
    {"CP1256", 1256, "CP1256"},
    {"CP1257", 1257, "CP1257"},
    {"CP1258", 1258, "CP1258"},
    {"KOI8R", 20866, "KOI8-R"},
    {"KOI8U", 21866, "KOI8-U"},
    {"KOI8T", 59004, "KOI8-T"},
    {"PT154", 59005, "PT154"},
    {"RK1048", 59006, "RK1048"},
    {"ARMSCII8", 59007, "ARMSCII-8"},
    {"GEORGIANPS", 59008, "GEORGIAN-PS"},
    {"TIS620", 59009, "TIS-620"},
    {"TCVN57121", 59010, "TCVN5712-1"},
    {"SJIS", 932, "CP932"},
    {"SHIFTJIS", 932, "CP932"},
    {"CP932", 932, "CP932"},
    {"EUCJP", 20932, "EUC-JP"},
    {"GB2312", 936, "CP936"},
    {"EUCCN", 936, "CP936"},
    {"GBK", 936, "CP936"},
    {"CP936", 936, "CP936"},
    {"GB18030", 54936, "GB18030"},
    {"EUCKR", 949, "CP949"},
    {"UHC", 949, "CP949"},
    {"CP949", 949, "CP949"},
    {"EUCTW", 51950, "EUC-TW"},
    {"BIG5", 950, "CP950"},
    {"CP950", 950, "CP950"},
    {"BIG5HKSCS", 951, "BIG5-HKSCS"},
};

std::string CharsetKey(std::string_view name) {
    std::string key;
    for (char c : name)
        if (c != '-' && c != '_')
            key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

const Charset* FindCharset(std::string_view name) {
    std::string key = CharsetKey(name);
    if (key.rfind("WINDOWS", 0) == 0)  // "windows-1250" is "CP1250"
        key = "CP" + key.substr(7);
    for (const auto& known : kCharsets)
        if (key == known.key)
            return &known;
    return nullptr;
}

// The character set of a locale name: the one it names after ".", else the
// one of the installed locale, else the one Debian's list of supported
// locales gives it. Empty when none of them knows.
std::string CharsetOfLocale(const std::string& locale) {
    size_t dot = locale.find('.');
    if (dot != std::string::npos)
        return locale.substr(dot + 1, locale.find('@', dot) - dot - 1);
    if (locale_t loc = ::newlocale(LC_CTYPE_MASK, locale.c_str(), nullptr)) {
        std::string charset = ::nl_langinfo_l(CODESET, loc);
        ::freelocale(loc);
        return charset;
    }
    std::string list;
    if (!ReadSmallFile("/usr/share/i18n/SUPPORTED", list, 1 << 20))
        return {};
    size_t at = 0;
    const std::string wanted = locale + " ";
    while (at < list.size()) {
        size_t end = list.find('\n', at);
        std::string_view line(list.data() + at,
                              (end == std::string::npos ? list.size() : end) - at);
        if (line.substr(0, wanted.size()) == wanted)
            return std::string(line.substr(wanted.size()));
        at = end == std::string::npos ? list.size() : end + 1;
    }
    return {};
}

// The ANSI code page of the locale variables, and the set they named when
// it is not one of ours (then UTF-8 is used).
struct AnsiChoice {
    std::string locale;
    UINT codePage = CP_UTF8;
    std::string unknown;
};

AnsiChoice ChooseAnsi(const std::string& locale) {
    AnsiChoice choice;
    choice.locale = locale;
    // "C" and "POSIX": UTF-8, see the header.
    if (locale.empty() || locale == "C" || locale == "POSIX" || locale.rfind("C.", 0) == 0)
        return choice;
    std::string charset = CharsetOfLocale(locale);
    const Charset* known = charset.empty() ? nullptr : FindCharset(charset);
    if (known == nullptr) {
        choice.unknown = charset.empty() ? "(none) of " + locale : charset;
        return choice;
    }
    Converter check(known->iconv, "UTF-8");
    if (!check.valid()) {
        choice.unknown = charset;
        return choice;
    }
    choice.codePage = known->codePage;
    return choice;
}

// Looking a locale up is not cheap: the last answer is kept.
AnsiChoice CurrentAnsi() {
    const char* locale = nullptr;
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != 0) {
            locale = value;
            break;
        }
    }
    std::string name = locale ? locale : "";
    static std::mutex mutex;
    static AnsiChoice last{"", CP_UTF8, ""};
    std::lock_guard lock(mutex);
    if (last.locale != name)
        last = ChooseAnsi(name);
    return last;
}

// The iconv name of a Windows code page, nullptr when unknown.
const char* IconvName(UINT codePage) {
    for (const auto& known : kCharsets)
        if (known.codePage == codePage)
            return known.iconv;
    return nullptr;
}

UINT Resolve(UINT codePage) {
    return codePage == CP_ACP ? GetACP() : codePage;
}

bool IsDoubleByte(UINT codePage) {
    return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950 ||
           codePage == 951 || codePage == 54936 || codePage == 20932 || codePage == 51950;
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
    return CurrentAnsi().codePage;
}

BOOL IsDBCSLeadByteEx(UINT codePage, BYTE c) {
    switch (Resolve(codePage)) {
        case 932:
            return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
        case 936:
        case 949:
        case 950:
        case 951:
        case 54936:
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

bool ToAnsi(std::u16string_view text, std::string& out) {
    out.clear();
    if (text.empty())
        return true;
    int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    if (size <= 0)
        return false;
    out.resize(static_cast<size_t>(size));
    return WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(),
                               size, nullptr, nullptr) == size;
}

std::string UnknownAnsiCharset() {
    return CurrentAnsi().unknown;
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
