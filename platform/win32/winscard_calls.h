// The calls into winscard.dll, with fixed-width types only, for the same
// reason as system_calls.h. Results are the service's own 32-bit codes and
// pass unchanged: the Windows service is what platform/scard.h describes.
#ifndef ML_PLATFORM_WIN32_WINSCARD_CALLS_H_
#define ML_PLATFORM_WIN32_WINSCARD_CALLS_H_

#include <cstdint>

namespace ml::winscard {

int32_t EstablishContext(uint32_t scope, uintptr_t* context);
int32_t ReleaseContext(uintptr_t context);
int32_t Connect(uintptr_t context, const char16_t* reader, uint32_t shareMode,
                uint32_t preferredProtocols, uintptr_t* card, uint32_t* activeProtocol);
int32_t Status(uintptr_t card, char16_t* readerNames, uint32_t* readerLength, uint32_t* state,
               uint32_t* protocol, uint8_t* atr, uint32_t* atrLength);
// `sendProtocol` and `sendPciLength` describe the request block; the answer's
// block is written to `receiveProtocol`/`receivePciLength` when they are set.
int32_t Transmit(uintptr_t card, uint32_t sendProtocol, uint32_t sendPciLength, const uint8_t* send,
                 uint32_t sendLength, uint32_t* receiveProtocol, uint32_t* receivePciLength,
                 uint8_t* receive, uint32_t* receiveLength);
int32_t Disconnect(uintptr_t card, uint32_t disposition);
// SCardListReadersW over all groups: a double-NUL-terminated list; with
// `names` null only the length in characters.
int32_t ListReaders(uintptr_t context, char16_t* names, uint32_t* length);
// Whether a card is in `reader` now (SCardGetStatusChangeW without waiting).
int32_t CardPresent(uintptr_t context, const char16_t* reader, bool* present);

}  // namespace ml::winscard

#endif  // ML_PLATFORM_WIN32_WINSCARD_CALLS_H_
