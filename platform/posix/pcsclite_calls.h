// The calls into pcsc-lite, with fixed-width types only.
//
// pcsc-lite's <winscard.h> defines DWORD, LONG and the SCARD_* names with
// sizes of its own (64-bit long on x86-64), which clash with platform/windef.h.
// scard_pcsclite.cpp is the only file that includes it; it implements these
// functions, and scard_posix.cpp builds the service on them.
//
// Conventions of every function: results are the 32-bit PC/SC codes of
// platform/scard.h; protocols use the Windows numbering (raw = 0x10000);
// reader names are UTF-8. Out pointers may be null where WinSCard allows it.
// Thread safety: as pcsc-lite's, one context per thread.
#ifndef ML_PLATFORM_POSIX_PCSCLITE_CALLS_H_
#define ML_PLATFORM_POSIX_PCSCLITE_CALLS_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ml::pcsclite {

int32_t EstablishContext(uint32_t scope, uintptr_t* context);
int32_t ReleaseContext(uintptr_t context);
// An empty reader yields SCARD_W_REMOVED_CARD (pcsc-lite: SCARD_E_NO_SMARTCARD).
int32_t Connect(uintptr_t context, const char* reader, uint32_t shareMode,
                uint32_t preferredProtocols, uintptr_t* card, uint32_t* activeProtocol);
// The reader's name goes to `reader` (capacity `readerCapacity` bytes,
// terminated); `*readerLength` receives its length with the terminator.
// `state` is the Windows enumeration.
int32_t Status(uintptr_t card, char* reader, uint32_t readerCapacity, uint32_t* readerLength,
               uint32_t* state, uint32_t* protocol, uint8_t* atr, uint32_t* atrLength);
int32_t Transmit(uintptr_t card, uint32_t protocol, const uint8_t* send, uint32_t sendLength,
                 uint8_t* receive, uint32_t* receiveLength);
int32_t Disconnect(uintptr_t card, uint32_t disposition);
// The readers (UTF-8 names) and whether a card is in each.
int32_t ListReaders(std::vector<std::pair<std::string, bool>>& readers);

}  // namespace ml::pcsclite

#endif  // ML_PLATFORM_POSIX_PCSCLITE_CALLS_H_
