// A smart-card service for tests under Wine, in place of Wine's winscard.dll
// (a stub whose every call fails). It offers two readers, "Virtual PCD 00 00"
// and "Virtual PCD 00 01", and serves them the way the vpcd reader driver
// does: each listens on a loopback TCP port (ML_VPCD_PORT, default 35963, and
// the next one), a card emulator such as mlcardsim inserts its card by
// connecting and removes it by closing the connection. Every message is a
// 2-byte big-endian length and that many bytes; a 1-byte message is a
// control code (0 power off, 1 power on, 2 reset, 4 get ATR, answered with
// the ATR), a longer one a command APDU answered with the response APDU.
//
// The answers are those of the Windows smart-card service: a connect to an
// empty reader and every call on a card that was taken out fail with
// SCARD_W_REMOVED_CARD, an unknown reader name with SCARD_E_UNKNOWN_READER.
// Only the calls and flags that the module and the CT-API driver use are
// offered; one process serves the ports at a time (the first one that loads
// the library and opens a context).
//
// vpcd keeps a card across the programs that use it; here the card can only
// come in once the program has started. ML_VPCD_EXPECT (slot numbers, e.g.
// "0" or "0,1") makes the first context wait until those slots hold a card,
// at most 30 s, so that a test puts its card in "before" the program looks.
// This library defines the protocol control blocks that <winscard.h>
// declares as imported; winsock2.h must come before windows.h.
// clang-format off
#define WINSCARDDATA
#include <winsock2.h>
#include <windows.h>
#include <winscard.h>
// clang-format on

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// Results and values of the Windows smart-card service.
constexpr LONG kSuccess = 0;
constexpr LONG kCancelled = static_cast<LONG>(0x80100002u);
constexpr LONG kInvalidHandle = static_cast<LONG>(0x80100003u);
constexpr LONG kInvalidParameter = static_cast<LONG>(0x80100004u);
constexpr LONG kInsufficientBuffer = static_cast<LONG>(0x80100008u);
constexpr LONG kUnknownReader = static_cast<LONG>(0x80100009u);
constexpr LONG kTimeout = static_cast<LONG>(0x8010000Au);
constexpr LONG kProtoMismatch = static_cast<LONG>(0x8010000Fu);
constexpr LONG kNoService = static_cast<LONG>(0x8010001Du);
constexpr LONG kRemovedCard = static_cast<LONG>(0x80100069u);
constexpr DWORD kProtocolT0 = 1, kProtocolT1 = 2;
constexpr DWORD kResetCard = 1, kUnpowerCard = 2;
constexpr DWORD kStateUnaware = 0, kStateChanged = 0x2, kStateUnknown = 0x4, kStateEmpty = 0x10,
                kStatePresent = 0x20;
constexpr DWORD kSpecific = 6;
constexpr size_t kMaxAtr = 36;

const char* const kReaderNames[2] = {"Virtual PCD 00 00", "Virtual PCD 00 01"};

using ReaderStateA = SCARD_READERSTATEA;
using ReaderStateW = SCARD_READERSTATEW;
using IoRequest = SCARD_IO_REQUEST;

// One reader slot: the emulator's connection while a card is in it.
struct Slot {
    std::mutex lock;
    SOCKET listener = INVALID_SOCKET;
    SOCKET card = INVALID_SOCKET;
    std::vector<uint8_t> atr;
    uint32_t generation = 0;  // counts insertions and removals
};

Slot g_slots[2];
std::mutex g_lock;  // the tables below
bool g_started = false;
bool g_serving = false;
std::set<ULONG_PTR> g_contexts;
std::set<ULONG_PTR> g_cancelled;
struct Card {
    int slot;
    uint32_t generation;
};
std::map<ULONG_PTR, Card> g_cards;
ULONG_PTR g_nextHandle = 0x1000;

bool SendAll(SOCKET s, const uint8_t* data, size_t size) {
    while (size > 0) {
        int n = send(s, reinterpret_cast<const char*>(data), static_cast<int>(size), 0);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReceiveAll(SOCKET s, uint8_t* data, size_t size) {
    while (size > 0) {
        int n = recv(s, reinterpret_cast<char*>(data), static_cast<int>(size), 0);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// One exchange with the emulator; false when the card is gone. The slot's
// lock is held.
bool Exchange(Slot& slot, const std::vector<uint8_t>& message, std::vector<uint8_t>* answer) {
    uint8_t header[2] = {static_cast<uint8_t>(message.size() >> 8),
                         static_cast<uint8_t>(message.size())};
    bool ok = SendAll(slot.card, header, 2) && SendAll(slot.card, message.data(), message.size());
    if (ok && answer != nullptr) {
        ok = ReceiveAll(slot.card, header, 2);
        if (ok) {
            answer->resize((size_t(header[0]) << 8) | header[1]);
            ok = ReceiveAll(slot.card, answer->data(), answer->size());
        }
    }
    if (!ok) {
        closesocket(slot.card);
        slot.card = INVALID_SOCKET;
        ++slot.generation;
    }
    return ok;
}

// Whether a card is in the slot; notices a closed connection. Lock held.
bool Present(Slot& slot) {
    if (slot.card == INVALID_SOCKET)
        return false;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(slot.card, &readable);
    timeval none = {0, 0};
    if (select(0, &readable, nullptr, nullptr, &none) > 0) {
        char byte;
        if (recv(slot.card, &byte, 1, MSG_PEEK) <= 0) {
            closesocket(slot.card);
            slot.card = INVALID_SOCKET;
            ++slot.generation;
            return false;
        }
    }
    return true;
}

void AcceptLoop(int index) {
    Slot& slot = g_slots[index];
    for (;;) {
        SOCKET s = accept(slot.listener, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            return;
        std::lock_guard guard(slot.lock);
        if (Present(slot)) {
            closesocket(s);  // one card per slot
            continue;
        }
        slot.card = s;
        ++slot.generation;
        std::vector<uint8_t> atr;
        if (Exchange(slot, {0x01}, nullptr) && Exchange(slot, {0x04}, &atr))
            slot.atr = atr.size() <= kMaxAtr ? atr : std::vector<uint8_t>();
    }
}

// Opens the two ports once per process; false when they are taken.
bool Serve() {
    std::lock_guard guard(g_lock);
    if (g_started)
        return g_serving;
    g_started = true;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    const char* text = std::getenv("ML_VPCD_PORT");
    const int port = text != nullptr && *text != '\0' ? std::atoi(text) : 35963;
    for (int i = 0; i < 2; ++i) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port + i));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (s == INVALID_SOCKET ||
            bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(s, 4) != 0) {
            if (s != INVALID_SOCKET)
                closesocket(s);
            return false;
        }
        g_slots[i].listener = s;
        std::thread(AcceptLoop, i).detach();
    }
    g_serving = true;
    if (const char* expect = std::getenv("ML_VPCD_EXPECT")) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (const char* p = expect; *p != '\0'; ++p) {
            if (*p != '0' && *p != '1')
                continue;
            Slot& slot = g_slots[*p - '0'];
            for (;;) {
                {
                    std::lock_guard slotGuard(slot.lock);
                    if (Present(slot))
                        break;
                }
                if (std::chrono::steady_clock::now() >= deadline)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
    }
    return true;
}

int SlotOf(const std::string& name) {
    for (int i = 0; i < 2; ++i) {
        if (name == kReaderNames[i])
            return i;
    }
    return -1;
}

std::string Narrow(LPCWSTR text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

// The card of a handle with its slot locked; null result when unknown.
LONG WithCard(ULONG_PTR handle, Slot** slot, std::unique_lock<std::mutex>* lock) {
    Card card;
    {
        std::lock_guard guard(g_lock);
        auto it = g_cards.find(handle);
        if (it == g_cards.end())
            return kInvalidHandle;
        card = it->second;
    }
    *slot = &g_slots[card.slot];
    *lock = std::unique_lock((*slot)->lock);
    if (!Present(**slot) || (*slot)->generation != card.generation)
        return kRemovedCard;
    return kSuccess;
}

LONG Connect(const std::string& reader, DWORD protocols, ULONG_PTR* handle, DWORD* active) {
    const int index = SlotOf(reader);
    if (index < 0)
        return kUnknownReader;
    if (handle == nullptr)
        return kInvalidParameter;
    Slot& slot = g_slots[index];
    std::lock_guard guard(slot.lock);
    if (!Present(slot))
        return kRemovedCard;
    DWORD protocol = (protocols & kProtocolT1) ? kProtocolT1 : (protocols & kProtocolT0);
    if (protocol == 0)
        return kProtoMismatch;
    if (!Exchange(slot, {0x01}, nullptr))
        return kRemovedCard;
    std::lock_guard tables(g_lock);
    *handle = g_nextHandle++;
    g_cards[*handle] = Card{index, slot.generation};
    if (active != nullptr)
        *active = protocol;
    return kSuccess;
}

// Fills a reader state; true when it differs from what the caller knew.
template <typename State>
bool Look(State& state, const std::string& reader) {
    const int index = SlotOf(reader);
    DWORD event = kStateUnknown;
    if (index >= 0) {
        Slot& slot = g_slots[index];
        std::lock_guard guard(slot.lock);
        if (Present(slot)) {
            event = kStatePresent;
            state.cbAtr = static_cast<DWORD>(slot.atr.size());
            std::memcpy(state.rgbAtr, slot.atr.data(), slot.atr.size());
        } else {
            event = kStateEmpty;
            state.cbAtr = 0;
        }
        event |= (slot.generation & 0xFFFFu) << 16;
    }
    const DWORD known = state.dwCurrentState & ~kStateChanged;
    const bool changed =
        state.dwCurrentState == kStateUnaware || (known & 0xFFFF003Fu) != (event & 0xFFFF003Fu);
    state.dwEventState = event | (changed ? kStateChanged : 0);
    return changed;
}

template <typename State>
LONG GetStatusChange(ULONG_PTR context, DWORD timeoutMs, State* states, DWORD count,
                     std::string (*name)(const State&)) {
    {
        std::lock_guard guard(g_lock);
        if (!g_contexts.count(context))
            return kInvalidHandle;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool changed = false;
        for (DWORD i = 0; i < count; ++i)
            changed = Look(states[i], name(states[i])) || changed;
        if (changed)
            return kSuccess;
        {
            std::lock_guard guard(g_lock);
            if (g_cancelled.erase(context))
                return kCancelled;
        }
        if (timeoutMs != INFINITE && std::chrono::steady_clock::now() >= deadline)
            return kTimeout;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::string NameA(const ReaderStateA& s) {
    return s.szReader != nullptr ? s.szReader : "";
}
std::string NameW(const ReaderStateW& s) {
    return Narrow(s.szReader);
}

template <typename Char>
LONG Status(ULONG_PTR card, Char* names, DWORD* length, DWORD* state, DWORD* protocol, BYTE* atr,
            DWORD* atrLength) {
    Slot* slot = nullptr;
    std::unique_lock<std::mutex> lock;
    LONG rc = WithCard(card, &slot, &lock);
    if (rc != kSuccess)
        return rc;
    const std::string name = kReaderNames[slot - g_slots];
    const DWORD needed = static_cast<DWORD>(name.size() + 2);
    if (length != nullptr) {
        if (names != nullptr && *length < needed) {
            *length = needed;
            return kInsufficientBuffer;
        }
        if (names != nullptr) {
            for (size_t i = 0; i < name.size(); ++i)
                names[i] = static_cast<Char>(name[i]);
            names[name.size()] = 0;
            names[name.size() + 1] = 0;
        }
        *length = needed;
    }
    if (atrLength != nullptr) {
        if (atr != nullptr && *atrLength < slot->atr.size()) {
            *atrLength = static_cast<DWORD>(slot->atr.size());
            return kInsufficientBuffer;
        }
        if (atr != nullptr)
            std::memcpy(atr, slot->atr.data(), slot->atr.size());
        *atrLength = static_cast<DWORD>(slot->atr.size());
    }
    if (state != nullptr)
        *state = kSpecific;
    if (protocol != nullptr)
        *protocol = kProtocolT1;
    return kSuccess;
}

}  // namespace

extern "C" {

const SCARD_IO_REQUEST g_rgSCardT0Pci = {kProtocolT0, sizeof(IoRequest)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {kProtocolT1, sizeof(IoRequest)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {0x10000, sizeof(IoRequest)};

LONG WINAPI SCardEstablishContext(DWORD, LPCVOID, LPCVOID, ULONG_PTR* context) {
    if (context == nullptr)
        return kInvalidParameter;
    if (!Serve())
        return kNoService;
    std::lock_guard guard(g_lock);
    *context = g_nextHandle++;
    g_contexts.insert(*context);
    return kSuccess;
}

LONG WINAPI SCardReleaseContext(ULONG_PTR context) {
    std::lock_guard guard(g_lock);
    return g_contexts.erase(context) ? kSuccess : kInvalidHandle;
}

LONG WINAPI SCardIsValidContext(ULONG_PTR context) {
    std::lock_guard guard(g_lock);
    return g_contexts.count(context) ? kSuccess : kInvalidHandle;
}

LONG WINAPI SCardCancel(ULONG_PTR context) {
    std::lock_guard guard(g_lock);
    if (!g_contexts.count(context))
        return kInvalidHandle;
    g_cancelled.insert(context);
    return kSuccess;
}

LONG WINAPI SCardListReadersA(ULONG_PTR context, LPCSTR, LPSTR readers, DWORD* length) {
    if (SCardIsValidContext(context) != kSuccess)
        return kInvalidHandle;
    if (length == nullptr)
        return kInvalidParameter;
    std::string list;
    for (const char* name : kReaderNames)
        list += std::string(name) + '\0';
    list += '\0';
    const DWORD needed = static_cast<DWORD>(list.size());
    if (readers != nullptr && *length < needed) {
        *length = needed;
        return kInsufficientBuffer;
    }
    if (readers != nullptr)
        std::memcpy(readers, list.data(), list.size());
    *length = needed;
    return kSuccess;
}

// The names are ASCII: the list of the ANSI call, widened.
LONG WINAPI SCardListReadersW(ULONG_PTR context, LPCWSTR, LPWSTR readers, DWORD* length) {
    if (length == nullptr)
        return kInvalidParameter;
    DWORD needed = 0;
    LONG rc = SCardListReadersA(context, nullptr, nullptr, &needed);
    std::string list(needed, '\0');
    if (rc == kSuccess)
        rc = SCardListReadersA(context, nullptr, list.data(), &needed);
    if (rc != kSuccess)
        return rc;
    if (readers != nullptr && *length < needed) {
        *length = needed;
        return kInsufficientBuffer;
    }
    if (readers != nullptr) {
        for (DWORD i = 0; i < needed; ++i)
            readers[i] = static_cast<unsigned char>(list[i]);
    }
    *length = needed;
    return kSuccess;
}

LONG WINAPI SCardConnectA(ULONG_PTR context, LPCSTR reader, DWORD, DWORD protocols, ULONG_PTR* card,
                          DWORD* active) {
    if (SCardIsValidContext(context) != kSuccess)
        return kInvalidHandle;
    return Connect(reader != nullptr ? reader : "", protocols, card, active);
}

LONG WINAPI SCardConnectW(ULONG_PTR context, LPCWSTR reader, DWORD, DWORD protocols,
                          ULONG_PTR* card, DWORD* active) {
    if (SCardIsValidContext(context) != kSuccess)
        return kInvalidHandle;
    return Connect(Narrow(reader), protocols, card, active);
}

LONG WINAPI SCardReconnect(ULONG_PTR card, DWORD, DWORD protocols, DWORD initialization,
                           DWORD* active) {
    Slot* slot = nullptr;
    std::unique_lock<std::mutex> lock;
    LONG rc = WithCard(card, &slot, &lock);
    if (rc != kSuccess)
        return rc;
    if (initialization == kResetCard && !Exchange(*slot, {0x02}, nullptr))
        return kRemovedCard;
    if (active != nullptr)
        *active = (protocols & kProtocolT1) ? kProtocolT1 : (protocols & kProtocolT0);
    return kSuccess;
}

// Only this process is served by its slots, so no other application can
// come between the commands of a transaction: taking one checks the card.
LONG WINAPI SCardBeginTransaction(ULONG_PTR card) {
    Slot* slot = nullptr;
    std::unique_lock<std::mutex> lock;
    return WithCard(card, &slot, &lock);
}

LONG WINAPI SCardEndTransaction(ULONG_PTR card, DWORD) {
    Slot* slot = nullptr;
    std::unique_lock<std::mutex> lock;
    return WithCard(card, &slot, &lock);
}

LONG WINAPI SCardDisconnect(ULONG_PTR card, DWORD disposition) {
    Slot* slot = nullptr;
    std::unique_lock<std::mutex> lock;
    LONG rc = WithCard(card, &slot, &lock);
    if (rc == kSuccess && disposition == kResetCard)
        Exchange(*slot, {0x02}, nullptr);
    if (rc == kSuccess && disposition == kUnpowerCard)
        Exchange(*slot, {0x00}, nullptr);
    std::lock_guard guard(g_lock);
    return g_cards.erase(card) ? kSuccess : kInvalidHandle;
}

LONG WINAPI SCardStatusA(ULONG_PTR card, LPSTR names, DWORD* length, DWORD* state, DWORD* protocol,
                         BYTE* atr, DWORD* atrLength) {
    return Status(card, names, length, state, protocol, atr, atrLength);
}

LONG WINAPI SCardStatusW(ULONG_PTR card, LPWSTR names, DWORD* length, DWORD* state, DWORD* protocol,
                         BYTE* atr, DWORD* atrLength) {
    return Status(card, names, length, state, protocol, atr, atrLength);
}

LONG WINAPI SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST sendPci, LPCBYTE send,
                          DWORD sendLength, LPSCARD_IO_REQUEST receivePci, LPBYTE receive,
                          LPDWORD receiveLength) {
    if (sendPci == nullptr || send == nullptr || receiveLength == nullptr || sendLength < 4 ||
        sendLength > 0xFFFF)
        return kInvalidParameter;
    Slot* slot = nullptr;
    std::unique_lock<std::mutex> lock;
    LONG rc = WithCard(card, &slot, &lock);
    if (rc != kSuccess)
        return rc;
    std::vector<uint8_t> answer;
    if (!Exchange(*slot, std::vector<uint8_t>(send, send + sendLength), &answer))
        return kRemovedCard;
    if (receive == nullptr || *receiveLength < answer.size()) {
        *receiveLength = static_cast<DWORD>(answer.size());
        return kInsufficientBuffer;
    }
    std::memcpy(receive, answer.data(), answer.size());
    *receiveLength = static_cast<DWORD>(answer.size());
    if (receivePci != nullptr)
        *receivePci = *sendPci;
    return kSuccess;
}

LONG WINAPI SCardGetStatusChangeA(ULONG_PTR context, DWORD timeoutMs, ReaderStateA* states,
                                  DWORD count) {
    return GetStatusChange(context, timeoutMs, states, count, NameA);
}

LONG WINAPI SCardGetStatusChangeW(ULONG_PTR context, DWORD timeoutMs, ReaderStateW* states,
                                  DWORD count) {
    return GetStatusChange(context, timeoutMs, states, count, NameW);
}

}  // extern "C"
