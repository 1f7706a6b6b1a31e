#include "cardsim/image.h"

#include <string>
#include <vector>

namespace cardsim {
namespace {

constexpr std::string_view kMagic = "mlcardsim-image 1";
int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::optional<Bytes> ParseHex(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    Bytes out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = HexDigit(text[i]);
        const int lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return out;
}

std::string ToHex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    return words;
}

// Parses the text line by line; every complaint names the image and the line.
class Parser {
  public:
    Parser(std::string_view text, const std::string& name) : text_(text), name_(name) {}

    CardImage Run() {
        CardImage image;
        bool seen_magic = false;
        bool seen_family = false;
        bool seen_pin = false;
        bool seen_end = false;
        std::size_t total = 0;
        while (NextLine()) {
            if (line_.empty() || line_[0] == '#') {
                continue;
            }
            if (seen_end) {
                Fail("text after \"end\"");
            }
            const std::vector<std::string_view> w = Words(line_);
            if (w.empty()) {
                continue;
            }
            if (!seen_magic) {
                if (line_ != kMagic) {
                    Fail("not a card image (the first line must be \"" + std::string(kMagic) +
                         "\")");
                }
                seen_magic = true;
            } else if (w[0] == "family") {
                if (seen_family || w.size() != 2) {
                    Fail("expected one \"family NAME\" line");
                }
                const std::optional<Family> f = ParseFamily(w[1]);
                if (!f) {
                    Fail("unknown family \"" + std::string(w[1]) + "\"");
                }
                image.family = *f;
                seen_family = true;
            } else if (w[0] == "pin") {
                if (seen_pin || w.size() != 3) {
                    Fail("expected one \"pin HEX TRIES\" line");
                }
                std::optional<Bytes> pin = ParseHex(w[1]);
                if (!pin || pin->empty() || pin->size() > kMaxPinLength) {
                    Fail("the PIN must be 1 to " + std::to_string(kMaxPinLength) + " bytes in hex");
                }
                if (w[2].size() != 1 || w[2][0] < '0' || w[2][0] > '0' + kPinTries) {
                    Fail("the PIN tries left must be 0 to " + std::to_string(kPinTries));
                }
                image.pin = std::move(*pin);
                image.pin_tries_left = w[2][0] - '0';
                seen_pin = true;
            } else if (w[0] == "ef") {
                if (w.size() != 3) {
                    Fail("expected \"ef FID HEX\"");
                }
                const std::optional<Bytes> fid = ParseHex(w[1]);
                if (!fid || fid->size() != 2) {
                    Fail("the file identifier must be 4 hex digits");
                }
                const auto id = static_cast<std::uint16_t>((*fid)[0] << 8 | (*fid)[1]);
                if (IsReservedFileId(id)) {
                    Fail("file identifier " + std::string(w[1]) + " is reserved");
                }
                std::optional<Bytes> data = w[2] == "-" ? Bytes{} : ParseHex(w[2]);
                if (!data) {
                    Fail("the content of file " + std::string(w[1]) + " is no hex string");
                }
                if (data->size() > kMaxFileSize) {
                    Fail("file " + std::string(w[1]) + " is larger than " +
                         std::to_string(kMaxFileSize) + " bytes");
                }
                total += data->size();
                if (total > kCardCapacity) {
                    Fail("the files exceed the card's " + std::to_string(kCardCapacity) + " bytes");
                }
                if (!image.files.emplace(id, std::move(*data)).second) {
                    Fail("file " + std::string(w[1]) + " appears twice");
                }
            } else if (w[0] == "end" && w.size() == 1) {
                seen_end = true;
            } else {
                Fail("unknown line \"" + std::string(w[0]) + "\"");
            }
        }
        if (!seen_magic) {
            throw ImageError("image " + name_ + ": empty file, not a card image");
        }
        if (!seen_family) {
            throw ImageError("image " + name_ + ": no \"family\" line");
        }
        if (!seen_end) {
            throw ImageError("image " + name_ + ": truncated (no \"end\" line)");
        }
        return image;
    }

  private:
    bool NextLine() {
        if (pos_ >= text_.size()) {
            return false;
        }
        std::size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos) {
            end = text_.size();
        }
        line_ = text_.substr(pos_, end - pos_);
        if (!line_.empty() && line_.back() == '\r') {
            line_.remove_suffix(1);
        }
        pos_ = end + 1;
        ++number_;
        return true;
    }

    [[noreturn]] void Fail(const std::string& what) const {
        throw ImageError("image " + name_ + " line " + std::to_string(number_) + ": " + what);
    }

    std::string_view text_;
    const std::string& name_;
    std::size_t pos_ = 0;
    std::size_t number_ = 0;
    std::string_view line_;
};

}  // namespace

bool IsReservedFileId(std::uint16_t fid) {
    return fid == 0x3F00 || fid == 0x3FFF || fid == 0xFFFF;
}

std::string FormatImage(const CardImage& image) {
    std::string out;
    out += kMagic;
    out += "\nfamily ";
    out += FamilyName(image.family);
    out += '\n';
    if (image.pin) {
        out += "pin " + ToHex(*image.pin) + ' ' + std::to_string(image.pin_tries_left) + '\n';
    }
    for (const auto& [fid, data] : image.files) {
        const Bytes id = {static_cast<std::uint8_t>(fid >> 8), static_cast<std::uint8_t>(fid)};
        out += "ef " + ToHex(id) + ' ' + (data.empty() ? std::string("-") : ToHex(data)) + '\n';
    }
    out += "end\n";
    return out;
}

CardImage ParseImage(std::string_view text, const std::string& name) {
    return Parser(text, name).Run();
}

}  // namespace cardsim
