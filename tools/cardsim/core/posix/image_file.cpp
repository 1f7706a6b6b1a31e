// Image files on POSIX: read whole, replaced through a temporary file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "cardsim/image.h"

namespace cardsim {
namespace {

constexpr std::size_t kMaxImageBytes = 1024 * 1024;

std::string SystemError(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

// Writes all of `text` to `fd`; false with errno set on failure.
bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::optional<CardImage> LoadImage(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        throw ImageError(SystemError("cannot open image", path, errno));
    }
    std::string text;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int err = errno;
            ::close(fd);
            throw ImageError(SystemError("cannot read image", path, err));
        }
        if (n == 0) {
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kMaxImageBytes) {
            ::close(fd);
            throw ImageError("image " + path + ": larger than " + std::to_string(kMaxImageBytes) +
                             " bytes, not a card image");
        }
    }
    ::close(fd);
    return ParseImage(text, path);
}

void SaveImage(const std::string& path, const CardImage& image) {
    const std::string text = FormatImage(image);
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0) {
        throw ImageError(SystemError("cannot create a temporary file for image", path, errno));
    }
    if (!WriteAll(fd, text) || ::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(tmp.c_str());
        throw ImageError(SystemError("cannot write image", path, err));
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw ImageError(SystemError("cannot write image", path, err));
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw ImageError(SystemError("cannot replace image", path, err));
    }
    // The rename itself must reach the disk too.
    const int dir = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace cardsim
