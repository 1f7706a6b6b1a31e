// The CT-BCS commands (class 20) that the terminal answers itself.
//
//   RESET CT     20 11 (or 20 10) P1 P2 [Le]
//     P1 00, P2 00: ends the card session        -> 90 00
//     P1 01, P2 00/01/02: activates the card, answering nothing, the complete
//     ATR or its historical bytes               -> data, 90 01 processor card
//                                                   data, 90 00 memory card
//                                                   64 A1 no card in the slot
//                                                   64 00 card cannot be activated
//   REQUEST ICC  20 12 01 P2 [Lc timeout] [Le]
//     timeout in seconds, one byte, bare or as data object 80 01 tt
//                                               -> 62 01 card already active
//                                                   data, 90 01 / 90 00 as above
//                                                   62 00 no card within the timeout
//                                                   64 00 card cannot be activated
//   GET STATUS   20 13 00 P2 [Le]
//     P2 46                                     -> 46 0F CTM CTT CTSV, 90 00
//     P2 80                                     -> 80 01 ss, 90 00 (ss: 00 no card,
//                                                   01 card present, 05 card active)
//   EJECT ICC    20 15 01 P2 [Lc timeout]
//     ends the card session; with a timeout waits for the card to be taken
//                                               -> 90 00 (no timeout)
//                                                   90 01 removed, 62 00 not removed
//   Anything else: 6E 00 other class, 6D 00 other instruction, 6A 00 wrong P1
//   or P2, 67 00 Lc not matching the length, data where none belongs, or Le
//   shorter than the answer.
//
// Thread safety: as PcscTerminal; the caller serialises calls per terminal.
#ifndef ML_COMPONENTS_CTAPI_CTBCS_H_
#define ML_COMPONENTS_CTAPI_CTBCS_H_

#include <cstdint>
#include <span>
#include <vector>

#include "pcsc_terminal.h"

namespace ct32 {

// Runs one terminal command. Returns OK (0) with the answer, data then
// SW1 SW2, in *answer; or a CT-API error code when the terminal cannot
// answer at all (ERR_HTSI: no PC/SC service, ERR_CT: reader gone).
// `command` holds at least four bytes.
int8_t RunTerminalCommand(PcscTerminal& terminal, std::span<const uint8_t> command,
                          std::vector<uint8_t>* answer);

// CT-API result of a card command that failed with `fault`.
int8_t CardCommandResult(Fault fault);

}  // namespace ct32

#endif  // ML_COMPONENTS_CTAPI_CTBCS_H_
