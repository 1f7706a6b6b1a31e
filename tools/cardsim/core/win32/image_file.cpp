// Image files on Windows (the test CT-API driver's cards): read whole,
// replaced through a temporary file that is renamed over the image.
#include <filesystem>
#include <fstream>
#include <string>

#include "cardsim/image.h"

namespace cardsim {
namespace {
constexpr std::size_t kMaxImageBytes = 1024 * 1024;
}  // namespace

std::optional<CardImage> LoadImage(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::error_code ec;
        if (!std::filesystem::exists(path, ec) && !ec) {
            return std::nullopt;
        }
        throw ImageError("cannot open image " + path);
    }
    std::string text;
    char buf[8192];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxImageBytes) {
            throw ImageError("image " + path + ": larger than " + std::to_string(kMaxImageBytes) +
                             " bytes, not a card image");
        }
    }
    if (in.bad()) {
        throw ImageError("cannot read image " + path);
    }
    return ParseImage(text, path);
}

void SaveImage(const std::string& path, const CardImage& image) {
    const std::string text = FormatImage(image);
    const std::string tmp = path + ".new";
    std::error_code ec;
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            out.close();
            std::filesystem::remove(tmp, ec);
            throw ImageError("cannot write image " + path);
        }
    }
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        throw ImageError("cannot replace image " + path);
    }
}

}  // namespace cardsim
