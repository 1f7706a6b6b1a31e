// Reader names between the service's UTF-16 and pcsc-lite's UTF-8.
#include "platform/posix/scard_names.h"

namespace ml {

bool ReaderNameToUtf8(LPCWSTR text, char* out, size_t capacity) {
    if (capacity == 0) {
        return false;
    }
    size_t n = 0;
    auto put = [&](uint32_t byte) {
        if (n + 1 >= capacity) {
            return false;
        }
        out[n++] = static_cast<char>(byte);
        return true;
    };
    for (size_t i = 0; text[i] != 0; ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            uint32_t low = text[i + 1];
            if (low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        bool ok;
        if (c < 0x80) {
            ok = put(c);
        } else if (c < 0x800) {
            ok = put(0xC0 | (c >> 6)) && put(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            ok = put(0xE0 | (c >> 12)) && put(0x80 | ((c >> 6) & 0x3F)) && put(0x80 | (c & 0x3F));
        } else {
            ok = put(0xF0 | (c >> 18)) && put(0x80 | ((c >> 12) & 0x3F)) &&
                 put(0x80 | ((c >> 6) & 0x3F)) && put(0x80 | (c & 0x3F));
        }
        if (!ok) {
            return false;
        }
    }
    out[n] = 0;
    return true;
}

// One code point from the UTF-8 text at `s[*i]`, advancing `*i`; a bad or
// cut sequence yields U+FFFD and skips one byte.
namespace {

uint32_t NextCodePoint(const unsigned char* s, size_t length, size_t* i) {
    uint32_t c = s[*i];
    size_t extra = 0;
    uint32_t min = 0;
    if (c < 0x80) {
        ++*i;
        return c;
    } else if ((c & 0xE0) == 0xC0) {
        extra = 1, min = 0x80, c &= 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2, min = 0x800, c &= 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3, min = 0x10000, c &= 0x07;
    } else {
        ++*i;
        return 0xFFFD;
    }
    if (*i + extra >= length) {
        ++*i;
        return 0xFFFD;
    }
    for (size_t k = 1; k <= extra; ++k) {
        uint32_t b = s[*i + k];
        if ((b & 0xC0) != 0x80) {
            ++*i;
            return 0xFFFD;
        }
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++*i;
        return 0xFFFD;
    }
    *i += extra + 1;
    return c;
}

}  // namespace

size_t ReaderNameFromUtf8(const char* text, size_t length, WCHAR* out, size_t capacity) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t n = 0;
    auto put = [&](uint32_t unit) {
        if (out != nullptr && n < capacity) {
            out[n] = static_cast<WCHAR>(unit);
        }
        ++n;
    };
    size_t i = 0;
    while (i < length) {
        uint32_t c = NextCodePoint(s, length, &i);
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    return n;
}

}  // namespace ml
