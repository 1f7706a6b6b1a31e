#include "cardsim/card.h"

#include <algorithm>
#include <exception>
#include <random>
#include <utility>

namespace cardsim {
namespace {

// What a command is, once class and instruction byte have been looked at.
enum class Route {
    select,
    select_master_file_only,
    create,
    del,
    read,
    update,
    verify,
    unknown_ins,
    unknown_class,
};

Route RouteOf(Family family, std::uint8_t cla, std::uint8_t ins) {
    auto common = [](std::uint8_t i) {
        switch (i) {
            case 0xA4:
                return Route::select;
            case 0xB0:
                return Route::read;
            case 0xD6:
                return Route::update;
            case 0x20:
                return Route::verify;
            default:
                return Route::unknown_ins;
        }
    };
    auto file_management = [](std::uint8_t i) {
        switch (i) {
            case 0xE0:
                return Route::create;
            case 0xE4:
                return Route::del;
            default:
                return Route::unknown_ins;
        }
    };
    switch (family) {
        case Family::generic:
            if (cla != 0x00) {
                return Route::unknown_class;
            }
            return common(ins) != Route::unknown_ins ? common(ins) : file_management(ins);
        case Family::tcos12:
            if (cla == 0x00) {
                return ins == 0xA4 ? Route::select_master_file_only : Route::unknown_class;
            }
            if (cla != 0xB0) {
                return Route::unknown_class;
            }
            return common(ins) != Route::unknown_ins ? common(ins) : file_management(ins);
        case Family::class80:
            if (cla == 0x00) {
                return common(ins);
            }
            if (cla == 0x80) {
                return file_management(ins);
            }
            return Route::unknown_class;
    }
    return Route::unknown_class;
}

// One BER-TLV data object.
struct Tlv {
    std::uint32_t tag = 0;
    std::span<const std::uint8_t> value;
};

// Splits `data` into consecutive BER-TLV objects; nullopt when they do not fill it exactly.
std::optional<std::vector<Tlv>> ParseTlvs(std::span<const std::uint8_t> data) {
    std::vector<Tlv> out;
    std::size_t i = 0;
    while (i < data.size()) {
        Tlv tlv;
        tlv.tag = data[i++];
        if ((tlv.tag & 0x1F) == 0x1F) {  // tag continues while b8 is set
            do {
                if (i >= data.size() || tlv.tag > 0xFFFFFF) {
                    return std::nullopt;
                }
                tlv.tag = tlv.tag << 8 | data[i];
            } while (data[i++] & 0x80);
        }
        if (i >= data.size()) {
            return std::nullopt;
        }
        std::size_t len = data[i++];
        if (len == 0x81 || len == 0x82) {
            const std::size_t n = len - 0x80;
            if (data.size() - i < n) {
                return std::nullopt;
            }
            len = 0;
            for (std::size_t k = 0; k < n; ++k) {
                len = len << 8 | data[i++];
            }
        } else if (len > 0x80) {
            return std::nullopt;
        }
        if (data.size() - i < len) {
            return std::nullopt;
        }
        tlv.value = data.subspan(i, len);
        i += len;
        out.push_back(tlv);
    }
    return out;
}

const Tlv* Find(const std::vector<Tlv>& tlvs, std::uint32_t tag) {
    for (const Tlv& t : tlvs) {
        if (t.tag == tag) {
            return &t;
        }
    }
    return nullptr;
}

std::uint16_t FileIdOf(std::span<const std::uint8_t> two) {
    return static_cast<std::uint16_t>(two[0] << 8 | two[1]);
}

std::size_t OffsetOf(const Command& cmd) {
    return static_cast<std::size_t>((cmd.p1 & 0x7F) << 8 | cmd.p2);
}

Bytes Fcp(std::optional<std::uint16_t> ef, std::size_t size) {
    Bytes inner;
    if (ef) {
        inner = {0x80,
                 0x02,
                 static_cast<std::uint8_t>(size >> 8),
                 static_cast<std::uint8_t>(size),
                 0x82,
                 0x01,
                 0x01,
                 0x83,
                 0x02,
                 static_cast<std::uint8_t>(*ef >> 8),
                 static_cast<std::uint8_t>(*ef)};
    } else {
        inner = {0x82, 0x01, 0x38, 0x83, 0x02, 0x3F, 0x00};
    }
    inner.insert(inner.end(), {0x8A, 0x01, 0x05});  // life cycle: operational, activated
    Bytes out = {0x62, static_cast<std::uint8_t>(inner.size())};
    out.insert(out.end(), inner.begin(), inner.end());
    return out;
}

Bytes RandomBytes(std::size_t n) {
    std::random_device rd;
    Bytes out(n);
    for (auto& b : out) {
        b = static_cast<std::uint8_t>(rd());
    }
    return out;
}

CardImage FreshImage(Family family) {
    CardImage image;
    image.family = family;
    if (family == Family::tcos12) {
        image.files[0x5A49] = RandomBytes(10);
    } else if (family == Family::class80) {
        Bytes gdo = {0x5A, 0x0A};
        const Bytes serial = RandomBytes(10);
        gdo.insert(gdo.end(), serial.begin(), serial.end());
        image.files[0x2F02] = std::move(gdo);
    }
    return image;
}

}  // namespace

Card::Card(Family family, std::string image_path) : path_(std::move(image_path)) {
    std::optional<CardImage> loaded = LoadImage(path_);
    if (!loaded) {
        image_ = FreshImage(family);
        return;
    }
    if (loaded->family != family) {
        throw ImageError("image " + path_ + " holds a " + std::string(FamilyName(loaded->family)) +
                         " card, not a " + std::string(FamilyName(family)) + " card");
    }
    image_ = std::move(*loaded);
}

Card::Card(CardImage image) : image_(std::move(image)) {}

void Card::Reset() {
    current_ = Selection{};
    pin_verified_ = false;
}

void Card::ForceStatus(std::uint8_t ins, std::uint16_t status) {
    forced_[ins] = status;
}

void Card::RefuseFile(std::uint16_t fid, std::uint16_t status) {
    refused_[fid] = status;
}

std::optional<Bytes> Card::FileData(std::uint16_t fid) const {
    const auto it = image_.files.find(fid);
    if (it == image_.files.end()) {
        return std::nullopt;
    }
    return it->second;
}

void Card::SetPin(std::optional<Bytes> pin) {
    CardImage next = image_;
    next.pin = std::move(pin);
    next.pin_tries_left = kPinTries;
    if (!path_.empty()) {
        SaveImage(path_, next);
    }
    image_ = std::move(next);
    pin_verified_ = false;
}

Bytes Card::Transmit(std::span<const std::uint8_t> apdu) {
    try {
        if (apdu.size() >= 2) {
            if (const auto it = forced_.find(apdu[1]); it != forced_.end()) {
                return Response(it->second);
            }
        }
        if (apdu.size() < 4) {
            return Response(sw::kWrongLength);
        }
        const Route route = RouteOf(family(), apdu[0], apdu[1]);
        if (route == Route::unknown_class) {
            return Response(sw::kClassNotSupported);
        }
        if (route == Route::unknown_ins) {
            return Response(sw::kInsNotSupported);
        }
        const std::optional<Command> cmd = ParseCommand(apdu);
        if (!cmd) {
            return Response(sw::kWrongLength);
        }
        std::optional<std::uint16_t> refused_file;
        if (route == Route::select && cmd->data.size() == 2) {
            refused_file = FileIdOf(cmd->data);
        } else if (route == Route::read || route == Route::update) {
            refused_file = current_.ef;
        }
        if (refused_file) {
            if (const auto it = refused_.find(*refused_file); it != refused_.end()) {
                return Response(it->second);
            }
        }
        Bytes out;
        const std::uint16_t status = Dispatch(*cmd, out);
        return Response(status, out);
    } catch (const std::exception&) {
        return Response(sw::kNoDiagnosis);
    }
}

std::uint16_t Card::Dispatch(const Command& cmd, Bytes& out) {
    switch (RouteOf(family(), cmd.cla, cmd.ins)) {
        case Route::select:
            return Select(cmd, out);
        case Route::select_master_file_only:
            return SelectMasterFileOnly(cmd);
        case Route::create:
            return Create(cmd);
        case Route::del:
            return Delete(cmd);
        case Route::read:
            return ReadBinary(cmd, out);
        case Route::update:
            return UpdateBinary(cmd);
        case Route::verify:
            return Verify(cmd);
        case Route::unknown_ins:
            return sw::kInsNotSupported;
        case Route::unknown_class:
            break;
    }
    return sw::kClassNotSupported;
}

std::uint16_t Card::Select(const Command& cmd, Bytes& out) {
    if (cmd.p2 != 0x00 && cmd.p2 != 0x04 && cmd.p2 != 0x0C) {
        return sw::kIncorrectP1P2;
    }
    Selection next;
    if (cmd.p1 == 0x00 && cmd.data.empty()) {
        next.ef = std::nullopt;  // no identifier: the master file
    } else if (cmd.p1 == 0x00 || cmd.p1 == 0x02) {
        if (cmd.data.size() != 2) {
            return sw::kWrongLength;
        }
        const std::uint16_t fid = FileIdOf(cmd.data);
        if (fid == 0x3F00 && cmd.p1 == 0x00) {
            next.ef = std::nullopt;
        } else if (image_.files.contains(fid)) {
            next.ef = fid;
        } else {
            return sw::kFileNotFound;  // the selection stays as it was
        }
    } else {
        return sw::kIncorrectP1P2;
    }
    current_ = next;
    if (cmd.p2 != 0x0C) {
        out = Fcp(next.ef, next.ef ? image_.files.at(*next.ef).size() : 0);
    }
    return sw::kOk;
}

std::uint16_t Card::SelectMasterFileOnly(const Command& cmd) {
    const bool master_file =
        cmd.p1 == 0x00 &&
        (cmd.data.empty() || (cmd.data.size() == 2 && FileIdOf(cmd.data) == 0x3F00));
    if (!master_file) {
        return sw::kClassNotSupported;
    }
    current_ = Selection{};
    return sw::kOk;
}

std::uint16_t Card::Create(const Command& cmd) {
    if (cmd.p1 != 0x00 || cmd.p2 != 0x00) {
        return sw::kIncorrectP1P2;
    }
    if (PinMissing()) {
        return sw::kSecurityNotSatisfied;
    }
    if (family() == Family::tcos12) {
        // Identifier (2), access bytes (2), file type (1, 80 = transparent), one byte, size (4,
        // high byte first; only the last two may be non-zero).
        if (cmd.data.size() != 10) {
            return sw::kWrongLength;
        }
        if (cmd.data[4] != 0x80) {
            return sw::kFunctionNotSupported;
        }
        if (cmd.data[6] != 0 || cmd.data[7] != 0) {
            return sw::kNotEnoughMemory;
        }
        return CreateFile(FileIdOf(cmd.data),
                          static_cast<std::size_t>(cmd.data[8] << 8 | cmd.data[9]));
    }
    std::optional<std::vector<Tlv>> tlvs;
    if (family() == Family::generic) {
        const std::optional<std::vector<Tlv>> outer = ParseTlvs(cmd.data);
        if (!outer || outer->size() != 1 || (*outer)[0].tag != 0x62) {
            return sw::kIncorrectData;
        }
        tlvs = ParseTlvs((*outer)[0].value);
    } else {
        tlvs = ParseTlvs(cmd.data);
    }
    if (!tlvs) {
        return sw::kIncorrectData;
    }
    const Tlv* size = Find(*tlvs, 0x80);
    if (size == nullptr) {
        size = Find(*tlvs, 0x81);
    }
    const Tlv* fid = Find(*tlvs, 0x83);
    const Tlv* descriptor = Find(*tlvs, 0x82);
    if (size == nullptr || size->value.empty() || size->value.size() > 4 || fid == nullptr ||
        fid->value.size() != 2) {
        return sw::kIncorrectData;
    }
    // Only transparent working EFs (shareable or not) can be created.
    if (descriptor != nullptr &&
        (descriptor->value.empty() || (descriptor->value[0] & 0xBF) != 0x01)) {
        return sw::kFunctionNotSupported;
    }
    std::size_t bytes = 0;
    for (std::uint8_t b : size->value) {
        bytes = bytes << 8 | b;
    }
    return CreateFile(FileIdOf(fid->value), bytes);
}

std::uint16_t Card::CreateFile(std::uint16_t fid, std::size_t size) {
    if (IsReservedFileId(fid)) {
        return sw::kIncorrectData;
    }
    if (image_.files.contains(fid)) {
        return family() == Family::class80 ? sw::kFileExistsClass80 : sw::kFileExists;
    }
    std::size_t used = 0;
    for (const auto& [id, data] : image_.files) {
        used += data.size();
    }
    if (size > kMaxFileSize || size > kCardCapacity - used) {
        return sw::kNotEnoughMemory;
    }
    CardImage next = image_;
    next.files[fid] = Bytes(size, 0x00);
    const std::uint16_t status = Commit(std::move(next));
    if (status == sw::kOk) {
        current_.ef = fid;  // a new file is the current file
    }
    return status;
}

std::uint16_t Card::Delete(const Command& cmd) {
    if ((cmd.p1 != 0x00 && cmd.p1 != 0x02) ||
        (cmd.p2 != 0x00 && cmd.p2 != 0x04 && cmd.p2 != 0x0C)) {
        return sw::kIncorrectP1P2;
    }
    if (PinMissing()) {
        return sw::kSecurityNotSatisfied;
    }
    std::uint16_t fid = 0;
    if (cmd.data.empty()) {
        if (!current_.ef) {
            return sw::kConditionsNotSatisfied;  // the master file stays
        }
        fid = *current_.ef;
    } else if (cmd.data.size() == 2) {
        fid = FileIdOf(cmd.data);
    } else {
        return sw::kWrongLength;
    }
    if (fid == 0x3F00) {
        return sw::kConditionsNotSatisfied;
    }
    if (!image_.files.contains(fid)) {
        return sw::kFileNotFound;
    }
    if (IsIdentifierFile(fid)) {
        return sw::kSecurityNotSatisfied;
    }
    CardImage next = image_;
    next.files.erase(fid);
    const std::uint16_t status = Commit(std::move(next));
    if (status == sw::kOk && current_.ef == fid) {
        current_ = Selection{};
    }
    return status;
}

std::uint16_t Card::ReadBinary(const Command& cmd, Bytes& out) {
    if (!cmd.data.empty()) {
        return sw::kWrongLength;
    }
    if (cmd.p1 & 0x80) {
        return sw::kFileNotFound;  // no file has a short identifier
    }
    if (!current_.ef) {
        return sw::kNoCurrentEf;
    }
    if (PinMissing() && !IsIdentifierFile(*current_.ef)) {
        return sw::kSecurityNotSatisfied;
    }
    const Bytes& data = image_.files.at(*current_.ef);
    const std::size_t offset = OffsetOf(cmd);
    if (offset > data.size()) {
        return sw::kWrongOffset;
    }
    const std::size_t ne = cmd.ne.value_or(256);
    const std::size_t n = std::min({ne, data.size() - offset, read_limit_.value_or(ne)});
    out.assign(data.begin() + static_cast<std::ptrdiff_t>(offset),
               data.begin() + static_cast<std::ptrdiff_t>(offset + n));
    return n < ne && !read_limit_ ? sw::kEndOfFile : sw::kOk;
}

std::uint16_t Card::UpdateBinary(const Command& cmd) {
    if (cmd.p1 & 0x80) {
        return sw::kFileNotFound;
    }
    if (!current_.ef) {
        return sw::kNoCurrentEf;
    }
    if (PinMissing() || IsIdentifierFile(*current_.ef)) {
        return sw::kSecurityNotSatisfied;
    }
    if (cmd.data.empty()) {
        return sw::kWrongLength;
    }
    const std::size_t size = image_.files.at(*current_.ef).size();
    const std::size_t offset = OffsetOf(cmd);
    if (offset > size) {
        return sw::kWrongOffset;
    }
    if (cmd.data.size() > size - offset) {
        return sw::kWrongLength;
    }
    CardImage next = image_;
    std::copy(cmd.data.begin(), cmd.data.end(),
              next.files[*current_.ef].begin() + static_cast<std::ptrdiff_t>(offset));
    return Commit(std::move(next));
}

std::uint16_t Card::Verify(const Command& cmd) {
    if (cmd.p1 != 0x00) {
        return sw::kIncorrectP1P2;
    }
    const std::uint8_t reference = family() == Family::tcos12 ? 0x00 : 0x01;
    if (cmd.p2 != reference) {
        return sw::kReferenceNotFound;
    }
    if (!image_.pin) {
        // TCOS reports the missing PIN file; the others the missing reference data.
        return family() == Family::tcos12 ? sw::kFileNotFound : sw::kReferenceNotFound;
    }
    if (image_.pin_tries_left == 0) {
        return sw::kPinBlocked;
    }
    if (cmd.data.empty()) {  // asks for the state
        return pin_verified_ ? sw::kOk : sw::PinTriesLeft(image_.pin_tries_left);
    }
    CardImage next = image_;
    const bool match = cmd.data == *image_.pin;
    next.pin_tries_left = match ? kPinTries : image_.pin_tries_left - 1;
    if (next.pin_tries_left != image_.pin_tries_left) {
        const std::uint16_t status = Commit(std::move(next));
        if (status != sw::kOk) {
            pin_verified_ = false;
            return status;
        }
    }
    pin_verified_ = match;
    if (match) {
        return sw::kOk;
    }
    return image_.pin_tries_left == 0 ? sw::kPinBlocked : sw::PinTriesLeft(image_.pin_tries_left);
}

std::uint16_t Card::Commit(CardImage next) {
    try {
        if (!path_.empty()) {
            SaveImage(path_, next);
        }
    } catch (const ImageError&) {
        return sw::kMemoryFailure;
    }
    image_ = std::move(next);
    return sw::kOk;
}

}  // namespace cardsim
