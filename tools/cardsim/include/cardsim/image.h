// The image file that keeps an emulated card's files between runs.
//
// Text format, one item per line (blank lines and lines starting with '#' are ignored):
//
//   mlcardsim-image 1            first line: format name and version
//   family class80               generic | tcos12 | class80
//   pin 31323334 3               optional: the PIN in hex and the tries left (0..3, 0 = blocked)
//   ef 2F02 5A0A00112233...      one transparent EF under the master file: identifier (4 hex
//                                digits) and content in hex; "-" for an empty file
//   end                          last line; nothing may follow it
//
// The size of an EF is the length of its content. Identifiers are unique and never 3F00, 3FFF
// or FFFF; an EF holds at most kMaxFileSize bytes and all EFs together at most kCardCapacity.
// Files are readable by their owner only (they hold passwords) and replaced atomically: the new
// text goes to a temporary file beside the image, which is renamed over it, so an emulator ended
// at any moment leaves the old image or the new one.
//
// Functions here are stateless and thread-compatible; they throw ImageError on failure.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "cardsim/apdu.h"
#include "cardsim/family.h"

namespace cardsim {

inline constexpr std::size_t kMaxFileSize = 0x7FFF;  // the 15-bit offset of READ/UPDATE BINARY
inline constexpr std::size_t kCardCapacity = 32 * 1024;
inline constexpr int kPinTries = 3;
inline constexpr std::size_t kMaxPinLength = 32;

// A bad image (unreadable, malformed, inconsistent) or a failed write. what() names the file
// and, for a malformed image, the line.
class ImageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The persistent state of one card.
struct CardImage {
    Family family = Family::generic;
    std::optional<Bytes> pin;  // no PIN set when empty
    int pin_tries_left = kPinTries;
    std::map<std::uint16_t, Bytes> files;  // transparent EFs under the master file, by identifier

    bool operator==(const CardImage&) const = default;
};

// True for identifiers that no EF may take (the master file and the reserved values).
bool IsReservedFileId(std::uint16_t fid);

// The text of an image, and back. `name` only labels error messages.
std::string FormatImage(const CardImage& image);
CardImage ParseImage(std::string_view text, const std::string& name);

// Reads the image at `path`; nullopt when no such file exists.
std::optional<CardImage> LoadImage(const std::string& path);

// Replaces the image at `path` atomically (temporary file, rename).
// On failure the old image stays as it was.
void SaveImage(const std::string& path, const CardImage& image);

}  // namespace cardsim
