#include "cardsim/family.h"

namespace cardsim {

std::string_view FamilyName(Family family) {
    switch (family) {
        case Family::generic:
            return "generic";
        case Family::tcos12:
            return "tcos12";
        case Family::class80:
            return "class80";
    }
    return "?";
}

std::optional<Family> ParseFamily(std::string_view name) {
    for (Family f : {Family::generic, Family::tcos12, Family::class80}) {
        if (FamilyName(f) == name) {
            return f;
        }
    }
    return std::nullopt;
}

const Bytes& AtrOf(Family family) {
    // T=1 only; historical bytes: compact TLV, issuer data "MLCSIM". Matches no known pattern.
    static const Bytes kGeneric = {0x3B, 0x88, 0x01, 0x80, 0x56, 0x4D,
                                   0x4C, 0x43, 0x53, 0x49, 0x4D, 0x4A};
    // TCOS 1.2, historical bytes "TCOS1.2" and a zero.
    static const Bytes kTcos12 = {0x3B, 0xA8, 0x00, 0x81, 0x71, 0x46, 0x5D, 0x00, 0x54,
                                  0x43, 0x4F, 0x53, 0x31, 0x2E, 0x32, 0x00, 0x65};
    static const Bytes kClass80 = {0x3B, 0xBA, 0x13, 0x00, 0x81, 0x31, 0x86, 0x5D, 0x00, 0x64,
                                   0x05, 0x0A, 0x02, 0x01, 0x31, 0x80, 0x90, 0x00, 0x8B};
    switch (family) {
        case Family::tcos12:
            return kTcos12;
        case Family::class80:
            return kClass80;
        case Family::generic:
            break;
    }
    return kGeneric;
}

std::optional<std::uint16_t> IdentifierFileOf(Family family) {
    switch (family) {
        case Family::tcos12:
            return 0x5A49;
        case Family::class80:
            return 0x2F02;
        case Family::generic:
            break;
    }
    return std::nullopt;
}

}  // namespace cardsim
