// Helpers shared by the emulator's tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "cardsim/apdu.h"

namespace cardsim::test {

// "00 A4 00 0C" -> bytes; spaces are ignored. Throws on bad hex.
inline Bytes H(std::string_view hex) {
    std::string digits(hex);
    std::erase(digits, ' ');
    if (digits.size() % 2 != 0 ||
        digits.find_first_not_of("0123456789ABCDEFabcdef") != digits.npos) {
        throw std::invalid_argument("bad hex in test: " + std::string(hex));
    }
    Bytes out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// A fresh folder under the temporary directory, removed with its contents at destruction.
class TempDir {
  public:
    TempDir() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "cardsim-test-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data()) != nullptr ? tmpl : throw std::runtime_error("mkdtemp");
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string File(std::string_view name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

inline std::string ReadText(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

inline void WriteText(const std::string& path, std::string_view text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace cardsim::test
