// ct32: a CT-API card-terminal driver over PC/SC.
//
// ct32.so offers the published CT-API (CT_init, CT_data, CT_close, declared
// in <ctapi.h>) and the extensions CT_SetTraceOptions, CT_BeginTransaction and
// CT_EndTransaction. Every reader that the
// PC/SC service (pcscd) lists serves as a card terminal with one card slot.
//
// Terminals and ports
//   CT_init(ctn, pn) opens terminal number ctn (any value the caller likes)
//   on port pn: the pn-th reader that SCardListReaders returns, counting
//   from 1. The reader name is remembered, so a later change in the order of
//   the readers does not move an open terminal. Several terminals may be open
//   at once, also on the same reader. CT_close(ctn) releases the terminal.
//
// Addresses
//   dad 1 (CT): CT-BCS commands of class 20 for the terminal itself.
//   dad 0 (ICC1): commands for the card, passed unchanged to SCardTransmit.
//   sad must be 2 (HOST) or 5 (REMOTE_HOST). When CT_data returns OK, dad and
//   sad have been swapped, as the CT-API prescribes.
//
// Terminal commands (class 20, dad 1); P1 00 is the terminal, 01 the card:
//   RESET CT     20 11 (or 20 10) 00 00 [Le]     -> 90 00
//                20 11 (or 20 10) 01 P2 [Le]     -> the card is brought to its state
//                after a reset (master file selected, see CT_BeginTransaction),
//                also a card just connected; P2 00 answers no data, 01 the
//                complete ATR, 02 the historical bytes, then 90 01 for a
//                processor card, 90 00 for a memory card; 64 A1 no card,
//                64 00 card present but cannot be activated
//   REQUEST ICC  20 12 01 P2 [01 timeout] [Le]  -> 62 01 card already active; as
//                the card reset when a card is there or comes within the
//                timeout (seconds); 62 00 when none comes
//   GET STATUS   20 13 00 46 [Le]                -> 46 0F, manufacturer data, 90 00
//                20 13 00 80 [Le]                -> 80 01 ss 90 00; ss 00 no card,
//                01 card present, 05 card present and active
//   EJECT ICC    20 15 01 P2 [01 timeout]        -> 90 00; with a timeout 90 01 once
//                the card was taken, 62 00 if it was not
//   Other class 6E 00, other instruction 6D 00, wrong P1 or P2 6A 00, Lc not
//   matching, data where none belongs or Le shorter than the answer 67 00.
//
// Card commands (dad 0) go to the card unchanged, with the protocol that the
// card reset chose; the answer is the card's, status word included.
//
// Buffers
//   *lenr is the size of the response buffer on entry and the length of the
//   response on return. A response that does not fit is not delivered at all
//   (ERR_MEMORY); the buffer is never written beyond *lenr bytes. A command
//   already carried out (a card reset, a card command) is not undone.
//
// Result codes
//   OK           the command was carried out; the response ends in SW1 SW2
//   ERR_INVALID  bad argument: NULL pointer, lenc < 4, unknown dad or sad,
//                ctn not open (CT_data, CT_close) or already open (CT_init),
//                port number 0
//   ERR_CT       the terminal is not there: port number beyond the readers
//                present, reader unplugged, or another PC/SC failure
//   ERR_TRANS    the card command could not be carried out: no active card
//                (reset it first), card removed or silent, transmission failed
//   ERR_MEMORY   the response does not fit the caller's buffer
//   ERR_HTSI     the PC/SC service cannot be reached
//
// Thread safety: every entry point may be called from any thread. Calls on
// one terminal are serialised; calls on different terminals run in parallel.
// CT_close of a terminal that waits in REQUEST ICC cancels the wait.
//
// Blocking: CT_data blocks for as long as the card or the PC/SC service take
// to answer, and a REQUEST ICC or EJECT ICC with a timeout for up to that
// many seconds.
#ifndef ML_COMPONENTS_CTAPI_CT32_H_
#define ML_COMPONENTS_CTAPI_CT32_H_

// The entry points are built with default visibility in a library whose
// other symbols are hidden.
#pragma GCC visibility push(default)

#include <ctapi.h>

// The calling convention of the CT-API entry points, where the platform's
// <ctapi.h> names one.
#ifndef CT_API_CALL
#define CT_API_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Sets the driver's trace.
//   level:       0 off (the default), 1 failures only, 2 every call as well
//                (command header, lengths, status word, result code; the
//                ATR of a card reset). Values out of range are clamped.
//   destination: 0 standard error, 1 the file named by the environment
//                variable CT32_TRACE_FILE (appended to; standard error when
//                the variable is unset or the file cannot be opened).
// The environment wins over this call: when CT32_TRACE_LEVEL is set (0 to 2)
// when the library is loaded, that level stands and calls only choose the
// destination; this lets an operator trace the driver under an application
// that switches tracing off.
// The trace never holds the data field of a command to the card or of its
// response (they may hold a password), only the class, instruction and
// parameter bytes, the lengths and the status word.
void CT_API_CALL CT_SetTraceOptions(int level, int destination);

// Command sequences that no other application interrupts. Between
// CT_BeginTransaction and CT_EndTransaction the card commands of terminal
// ctn run inside one PC/SC transaction: no other application's command comes
// between them (pcsc-lite holds back or refuses those meanwhile), and
// terminals of this driver that use transactions as well wait for the end.
// The transaction is taken at once when a card is active, else at the next
// card reset (or card command); taking it waits while another application
// holds the card. A card reset never resets a card that other applications
// use: it selects the master file, and resets only a card that refuses
// that. A card reset that fails while the card is being pulled out answers
// 64 A1 (no card) once pcscd has seen the slot empty, within about a second.
// Results: OK; ERR_INVALID ctn not open; ERR_TRANS the card was removed or
// reset meanwhile (reset it again); ERR_HTSI no PC/SC service.
int8_t CT_API_CALL CT_BeginTransaction(uint16_t ctn);
int8_t CT_API_CALL CT_EndTransaction(uint16_t ctn);

#ifdef __cplusplus
}
#endif

#pragma GCC visibility pop

#endif  // ML_COMPONENTS_CTAPI_CT32_H_
