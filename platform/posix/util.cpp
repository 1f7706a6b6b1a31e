#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "platform/posix/internal.h"

namespace ml::posix {

Mapping::~Mapping() {
    if (address_)
        ::munmap(address_, size_);
}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
    if (this != &other) {
        if (address_)
            ::munmap(address_, size_);
        address_ = std::exchange(other.address_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

size_t WideLength(const char16_t* text) {
    size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}

std::string Utf16ToUtf8(std::u16string_view text, bool* replaced) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDFFF) {
            if (c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                text[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            } else {
                out += '?';
                if (replaced)
                    *replaced = true;
                continue;
            }
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

namespace {

// Decodes one UTF-8 sequence at text[i]; returns its length, 0 when bad.
size_t DecodeUtf8(std::string_view text, size_t i, char32_t& c) {
    auto b = static_cast<unsigned char>(text[i]);
    size_t len;
    char32_t min;
    if (b < 0x80) {
        c = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        len = 2, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4, c = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > text.size())
        return 0;
    for (size_t k = 1; k < len; ++k) {
        auto cb = static_cast<unsigned char>(text[i + k]);
        if ((cb & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (cb & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    return len;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text, bool* replaced) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t c;
        size_t len = DecodeUtf8(text, i, c);
        if (len == 0) {
            out += u'\xFFFD';
            if (replaced)
                *replaced = true;
            ++i;
            continue;
        }
        i += len;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

bool IsValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        char32_t c;
        size_t len = DecodeUtf8(text, i, c);
        if (len == 0)
            return false;
        i += len;
    }
    return true;
}

std::optional<std::string> NativePath(const char16_t* path) {
    if (path == nullptr || path[0] == 0) {
        SetLastError(ML_ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    return Utf16ToUtf8(std::u16string_view(path, WideLength(path)));
}

std::string EnvOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != 0 ? value : fallback;
}

bool ReadSmallFile(const std::string& path, std::string& content, size_t limit) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return false;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        return false;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    content.clear();
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (content.size() + static_cast<size_t>(n) > limit) {
            errno = EFBIG;
            return false;
        }
        content.append(buffer, static_cast<size_t>(n));
    }
}

bool CopyWide(std::u16string_view text, char16_t* buffer, size_t capacity) {
    if (capacity == 0 || text.size() >= capacity)
        return false;
    std::memcpy(buffer, text.data(), text.size() * sizeof(char16_t));
    buffer[text.size()] = 0;
    return true;
}

}  // namespace ml::posix
