// Helpers shared by the emulator's tests.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "cardsim/apdu.h"

namespace cardsim::test {

// "00 A4 00 0C" -> bytes; spaces are ignored. Aborts the test program on bad hex.
Bytes H(std::string_view hex);

// A fresh folder under the temporary directory, removed with its contents at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string File(std::string_view name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

std::string ReadText(const std::string& path);
void WriteText(const std::string& path, std::string_view text);

}  // namespace cardsim::test
