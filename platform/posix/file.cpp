#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "platform/posix/internal.h"
#include "platform/posix/kernel_object.h"

using namespace ml::posix;

namespace {

class FileObject : public KernelObject {
  public:
    explicit FileObject(Fd fd) : fd_(std::move(fd)) {}
    int fd() const { return fd_.get(); }

  private:
    Fd fd_;
};

// Seconds and nanoseconds since 1970 as a FILETIME.
FILETIME ToFileTime(struct statx_timestamp t) {
    constexpr uint64_t kEpochDelta = 11644473600ull;  // 1601-01-01 to 1970-01-01, seconds
    uint64_t ticks =
        (static_cast<uint64_t>(t.tv_sec + static_cast<int64_t>(kEpochDelta))) * 10000000ull +
        t.tv_nsec / 100;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

bool WriteAll(int fd, const char* data, size_t size, size_t* written) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *written = done;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    *written = done;
    return true;
}

// Opens `path` with `flags` when it is a regular file: links are not
// followed, a FIFO or device never blocks the caller, and anything but a
// regular file is refused (EISDIR for a folder, ENXIO for the rest). With
// `create` a missing file is made with O_EXCL. An existing file found where
// the caller would have made one is refused (EACCES) when it lies in a
// sticky folder and belongs to neither the caller nor the folder's owner:
// another user put it there (the rule of the kernel's protected_regular,
// kept whatever that setting is).
Fd OpenRegular(const std::string& path, int flags, bool create) {
    Fd fd;
    bool made = false;
    for (int attempt = 0; attempt < 100 && !fd.valid(); ++attempt) {
        fd = Fd(::open(path.c_str(), flags));
        if (fd.valid() || errno != ENOENT || !create)
            break;
        fd = Fd(::open(path.c_str(), flags | O_CREAT | O_EXCL, 0666));
        made = fd.valid();
        if (!fd.valid() && errno != EEXIST)
            break;
    }
    if (!fd.valid())
        return fd;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        return Fd();
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
        return Fd();
    }
    if (create && !made && st.st_uid != ::geteuid()) {
        const size_t slash = path.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        struct stat dir;
        if (::stat(folder.c_str(), &dir) != 0 ||
            ((dir.st_mode & S_ISVTX) && st.st_uid != dir.st_uid)) {
            errno = EACCES;
            return Fd();
        }
    }
    return fd;
}

// Copies the contents of `from` into the new file `to`, with the mode of
// `from`; the target is written beside and renamed (or linked) into place.
bool CopyInto(const std::string& from, const std::string& to, bool failIfExists) {
    Fd source = OpenRegular(from, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, false);
    if (!source.valid())
        return false;
    struct stat st;
    if (::fstat(source.get(), &st) != 0)
        return false;
    std::string temp = to + ".XXXXXX";
    Fd target(::mkostemp(temp.data(), O_CLOEXEC));
    if (!target.valid())
        return false;
    bool ok = ::fchmod(target.get(), st.st_mode & 07777) == 0;
    char buffer[65536];
    while (ok) {
        ssize_t n = ::read(source.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        size_t written;
        ok = WriteAll(target.get(), buffer, static_cast<size_t>(n), &written);
    }
    ok = ok && ::fsync(target.get()) == 0;
    if (ok) {
        // link() refuses an existing target atomically; rename() replaces it.
        ok = failIfExists ? ::link(temp.c_str(), to.c_str()) == 0
                          : ::rename(temp.c_str(), to.c_str()) == 0;
    }
    int error = errno;
    if (!ok || failIfExists)
        ::unlink(temp.c_str());
    errno = error;
    return ok;
}

}  // namespace

extern "C" {

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD, void*, DWORD disposition, DWORD, HANDLE) {
    auto native = NativePath(path);
    if (!native)
        return INVALID_HANDLE_VALUE;
    int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    const bool read = access & GENERIC_READ;
    const bool append = (access & FILE_APPEND_DATA) && !(access & GENERIC_WRITE);
    const bool write = (access & GENERIC_WRITE) || append;
    if (!read && !write)
        return Fail(ML_ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    if (append)
        flags |= O_APPEND;
    if (disposition != OPEN_ALWAYS && disposition != OPEN_EXISTING)
        return Fail(ML_ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    Fd fd = OpenRegular(*native, flags, disposition == OPEN_ALWAYS);
    if (!fd.valid()) {
        SetLastErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    return AddHandle(std::make_shared<FileObject>(std::move(fd)));
}

BOOL GetFileSizeEx(HANDLE file, LONGLONG* size) {
    auto object = FindHandleOf<FileObject>(file);
    if (!object)
        return FALSE;
    if (size == nullptr)
        return Fail(ML_ERROR_INVALID_PARAMETER, FALSE);
    struct stat st;
    if (::fstat(object->fd(), &st) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    *size = st.st_size;
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LONGLONG distance, LONGLONG* newPosition, DWORD method) {
    auto object = FindHandleOf<FileObject>(file);
    if (!object)
        return FALSE;
    int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    if (method > FILE_END)
        return Fail(ML_ERROR_INVALID_PARAMETER, FALSE);
    off_t position = ::lseek(object->fd(), distance, whence);
    if (position < 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    if (newPosition != nullptr)
        *newPosition = position;
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, DWORD* written, void*) {
    if (written != nullptr)
        *written = 0;
    auto object = FindHandleOf<FileObject>(file);
    if (!object)
        return FALSE;
    if (data == nullptr && size > 0)
        return Fail(ML_ERROR_INVALID_PARAMETER, FALSE);
    size_t done = 0;
    bool ok = WriteAll(object->fd(), static_cast<const char*>(data), size, &done);
    if (written != nullptr)
        *written = static_cast<DWORD>(done);
    if (!ok)
        SetLastErrorFromErrno(errno);
    return ok ? TRUE : FALSE;
}

BOOL SetEndOfFile(HANDLE file) {
    auto object = FindHandleOf<FileObject>(file);
    if (!object)
        return FALSE;
    off_t position = ::lseek(object->fd(), 0, SEEK_CUR);
    if (position < 0 || ::ftruncate(object->fd(), position) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID data, DWORD size, DWORD* read, void*) {
    if (read != nullptr)
        *read = 0;
    auto object = FindHandleOf<FileObject>(file);
    if (!object)
        return FALSE;
    if (data == nullptr && size > 0)
        return Fail(ML_ERROR_INVALID_PARAMETER, FALSE);
    ssize_t n;
    do {
        n = ::read(object->fd(), data, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    if (read != nullptr)
        *read = static_cast<DWORD>(n);
    return TRUE;
}

BOOL CopyFileW(LPCWSTR existing, LPCWSTR newFile, BOOL failIfExists) {
    auto from = NativePath(existing);
    auto to = NativePath(newFile);
    if (!from || !to)
        return FALSE;
    if (!CopyInto(*from, *to, failIfExists)) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
    auto native = NativePath(path);
    if (!native)
        return FALSE;
    if (::unlink(native->c_str()) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID info) {
    auto native = NativePath(path);
    if (!native)
        return FALSE;
    if (level != GetFileExInfoStandard || info == nullptr)
        return Fail(ML_ERROR_INVALID_PARAMETER, FALSE);
    struct statx st;
    if (::statx(AT_FDCWD, native->c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(info);
    data->dwFileAttributes =
        S_ISDIR(st.stx_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    // File systems without a birth time give the last change instead.
    data->ftCreationTime = ToFileTime((st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_ctime);
    data->ftLastAccessTime = ToFileTime(st.stx_atime);
    data->ftLastWriteTime = ToFileTime(st.stx_mtime);
    data->nFileSizeHigh = static_cast<DWORD>(st.stx_size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(st.stx_size);
    return TRUE;
}

LONG CompareFileTime(const FILETIME* first, const FILETIME* second) {
    uint64_t a = (static_cast<uint64_t>(first->dwHighDateTime) << 32) | first->dwLowDateTime;
    uint64_t b = (static_cast<uint64_t>(second->dwHighDateTime) << 32) | second->dwLowDateTime;
    return a < b ? -1 : a > b ? 1 : 0;
}

}  // extern "C"
