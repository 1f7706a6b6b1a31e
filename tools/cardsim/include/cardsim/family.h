// The three card families that the emulator offers, and what tells them apart from outside.
//
// Constant data only; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "cardsim/apdu.h"

namespace cardsim {

enum class Family {
    generic,  // ISO 7816-4 card, class 00; its ATR matches no pattern of the card library
    tcos12,   // TCOS 1.2 card, class B0
    class80,  // class-80 card: CREATE and DELETE FILE in class 80, the rest in class 00
};

// "generic", "tcos12" or "class80", and back (nullopt for any other text).
std::string_view FamilyName(Family family);
std::optional<Family> ParseFamily(std::string_view name);

// The answer to reset of the family.
const Bytes& AtrOf(Family family);

// The identifier file that a fresh card of the family carries (5A49 on TCOS 1.2 cards, 2F02 on
// class-80 cards); nullopt for the generic card. Cards never let it be written or deleted.
std::optional<std::uint16_t> IdentifierFileOf(Family family);

}  // namespace cardsim
