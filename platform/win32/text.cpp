// UTF-8 and ANSI strings through the system's code page conversion.
#include <climits>

#include "platform/codepage.h"

namespace {

std::string ToCodePage(UINT codePage, std::u16string_view text) {
    if (text.empty() || text.size() > INT_MAX)
        return {};
    int length = static_cast<int>(text.size());
    int needed =
        WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return {};
    std::string out(static_cast<size_t>(needed), '\0');
    int written =
        WideCharToMultiByte(codePage, 0, text.data(), length, out.data(), needed, nullptr, nullptr);
    out.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return out;
}

std::u16string FromCodePage(UINT codePage, std::string_view text) {
    if (text.empty() || text.size() > INT_MAX)
        return {};
    int length = static_cast<int>(text.size());
    int needed = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (needed <= 0)
        return {};
    std::u16string out(static_cast<size_t>(needed), u'\0');
    int written = MultiByteToWideChar(codePage, 0, text.data(), length, out.data(), needed);
    out.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return out;
}

}  // namespace

namespace ml {

std::string ToUtf8(std::u16string_view text) {
    return ToCodePage(CP_UTF8, text);
}

std::u16string FromUtf8(std::string_view text) {
    return FromCodePage(CP_UTF8, text);
}

std::string ToAnsi(std::u16string_view text) {
    return ToCodePage(CP_ACP, text);
}

bool ToAnsi(std::u16string_view text, std::string& out) {
    out = ToCodePage(CP_ACP, text);
    return text.empty() || !out.empty();
}

// The system names the ANSI code page itself: there is no charset it could
// fail to know.
std::string UnknownAnsiCharset() {
    return {};
}

std::u16string FromAnsi(std::string_view text) {
    return FromCodePage(CP_ACP, text);
}

}  // namespace ml
