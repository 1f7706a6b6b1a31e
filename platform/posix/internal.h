// Helpers shared by the POSIX implementation files. Not installed, not
// exported: everything here has hidden visibility.
#ifndef ML_PLATFORM_POSIX_INTERNAL_H_
#define ML_PLATFORM_POSIX_INTERNAL_H_

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/lasterror.h"
#include "platform/windef.h"

namespace ml::posix {

// Owns one file descriptor and closes it.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void Reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// Owns one mapping of shared memory and unmaps it.
class Mapping {
  public:
    Mapping() = default;
    Mapping(void* address, size_t size) : address_(address), size_(size) {}
    ~Mapping();
    Mapping(Mapping&& other) noexcept
        : address_(std::exchange(other.address_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Mapping& operator=(Mapping&& other) noexcept;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    void* get() const { return address_; }

  private:
    void* address_ = nullptr;
    size_t size_ = 0;
};

// The one place where operating-system errors become the last error.
inline void SetLastErrorFromErrno(int error) {
    SetLastError(static_cast<DWORD>(error));
}
// Sets the last error and returns `result`, for one-line failure paths.
template <typename T>
T Fail(DWORD code, T result) {
    SetLastError(code);
    return result;
}

// Length of a terminated wide string.
size_t WideLength(const char16_t* text);

// UTF-16 <-> UTF-8 without iconv. Lone surrogates become "?", bad byte
// sequences U+FFFD. `replaced` (optional) is set when anything was replaced.
std::string Utf16ToUtf8(std::u16string_view text, bool* replaced = nullptr);
std::u16string Utf8ToUtf16(std::string_view text, bool* replaced = nullptr);
// Whether `text` is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

// A path given as UTF-16, for the file system; nullopt (last error set to
// ML_ERROR_INVALID_PARAMETER) for NULL or an embedded NUL.
std::optional<std::string> NativePath(const char16_t* path);

// The environment variable's value, or `fallback` when unset or empty.
std::string EnvOr(const char* name, const char* fallback);

// Reads a whole (small) file; false with errno set on failure. Files larger
// than `limit` fail with EFBIG.
bool ReadSmallFile(const std::string& path, std::string& content, size_t limit);

// Copies `text` into a caller's wide buffer of `capacity` characters,
// terminated. Returns false (nothing written beyond what fits) when it does
// not fit.
bool CopyWide(std::u16string_view text, char16_t* buffer, size_t capacity);

// The loader's text of the calling thread's last failure.
void SetLoaderError(const char* text);
const std::string& LoaderError();

// Wakes all message queues (their threads look at the clock again).
void WakeAllQueues();

// The system clock's milliseconds (CLOCK_MONOTONIC), whatever clock is set.
uint64_t SystemNowMs();
// Whether a replacement clock is installed.
bool ClockReplaced();

}  // namespace ml::posix

#endif  // ML_PLATFORM_POSIX_INTERNAL_H_
