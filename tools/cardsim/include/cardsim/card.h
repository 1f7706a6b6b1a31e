// An emulated smart card: answer to reset, command APDUs in, response APDUs out.
//
// The card has a master file (3F00) with transparent elementary files directly under it, an
// optional PIN, and keeps its files in an image file (see image.h) that it replaces atomically
// after every change. What the three families accept:
//
//   generic  class 00: SELECT (P1 00/02; P2 00 or 04 answers the FCP template, 0C nothing),
//            CREATE FILE (FCP template 62 with 80 or 81 size, 82 descriptor, 83 identifier),
//            DELETE FILE, READ BINARY, UPDATE BINARY, VERIFY (P2 01).
//   tcos12   the same commands in class B0, CREATE FILE with the TCOS description (identifier,
//            two access bytes, file type 80, one byte, size in the last two bytes), VERIFY P2 00;
//            in class 00 only the selection of the master file; identifier file 5A49.
//   class80  SELECT, READ, UPDATE, VERIFY in class 00; CREATE and DELETE FILE in class 80, with
//            the file description as bare TLV objects (no 62 wrapper); 6A F1 for an existing
//            file; identifier file 2F02 (5A, length, serial number).
//
// Status words follow ISO 7816-4: 6A 82 file not found, 6A 89 file exists (6A F1 on class-80
// cards), 62 82 fewer bytes than Le left, 6B 00 offset beyond the file, 67 00 bad length or data
// past the end, 69 82 PIN missing, 63 Cx wrong PIN, 69 83 PIN blocked, 69 86 no current EF,
// 6D 00 unknown instruction, 6E 00 unknown class, 65 81 image could not be written.
// A READ BINARY without Le reads up to 256 bytes, as a T=0 card does with P3 = 00.
//
// A card opened without an image path keeps its files in memory (Card(CardImage)).
//
// A Card is not thread-safe: one caller at a time. It owns no resources besides memory.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "cardsim/apdu.h"
#include "cardsim/family.h"
#include "cardsim/image.h"

namespace cardsim {

class Card {
  public:
    // Opens the card kept in `image_path`. A missing file gives a fresh card (master file and
    // the family's identifier file with a random serial number), written at its first change.
    // Throws ImageError when the file cannot be read, is malformed or holds another family.
    Card(Family family, std::string image_path);
    // A card that keeps its files in memory only, starting from `image`: nothing is read or
    // written, and no change fails for want of a file.
    explicit Card(CardImage image);

    Family family() const { return image_.family; }
    const std::string& image_path() const { return path_; }
    const Bytes& Atr() const { return AtrOf(image_.family); }

    // Answers one command APDU of any length and content; the answer always ends with a
    // status word. Never throws.
    Bytes Transmit(std::span<const std::uint8_t> apdu);

    // Power-on, power-off or reset: the master file is selected and a verified PIN forgotten.
    void Reset();

    // Fault injection: every command with this instruction byte is answered with `status`
    // alone and not carried out.
    void ForceStatus(std::uint8_t ins, std::uint16_t status);
    // Fault injection: every SELECT of `fid`, and every READ or UPDATE BINARY while it is the
    // current file, is answered with `status` alone and not carried out.
    void RefuseFile(std::uint16_t fid, std::uint16_t status);
    // Fault injection: READ BINARY hands out at most `max` data bytes and 90 00, as a card that
    // ends an answer early without saying so.
    void LimitReads(std::size_t max) { read_limit_ = max; }

    // Inspection and set-up for tests. FileData is nullopt when the EF does not exist. SetPin
    // sets (or with nullopt removes) the PIN, with all tries, and writes the image; it throws
    // ImageError when the image cannot be written.
    std::optional<Bytes> FileData(std::uint16_t fid) const;
    const CardImage& image() const { return image_; }
    void SetPin(std::optional<Bytes> pin);

  private:
    struct Selection {
        std::optional<std::uint16_t> ef;  // nullopt: the master file
    };

    std::uint16_t Dispatch(const Command& cmd, Bytes& out);
    std::uint16_t Select(const Command& cmd, Bytes& out);
    std::uint16_t SelectMasterFileOnly(const Command& cmd);
    std::uint16_t Create(const Command& cmd);
    std::uint16_t CreateFile(std::uint16_t fid, std::size_t size);
    std::uint16_t Delete(const Command& cmd);
    std::uint16_t ReadBinary(const Command& cmd, Bytes& out);
    std::uint16_t UpdateBinary(const Command& cmd);
    std::uint16_t Verify(const Command& cmd);

    bool PinMissing() const { return image_.pin && !pin_verified_; }
    bool IsIdentifierFile(std::uint16_t fid) const { return IdentifierFileOf(family()) == fid; }
    // Writes `next` to the image file and makes it the card's state; 65 81 when writing failed.
    std::uint16_t Commit(CardImage next);

    std::string path_;
    CardImage image_;
    Selection current_;
    bool pin_verified_ = false;
    std::map<std::uint8_t, std::uint16_t> forced_;
    std::map<std::uint16_t, std::uint16_t> refused_;
    std::optional<std::size_t> read_limit_;
};

}  // namespace cardsim
