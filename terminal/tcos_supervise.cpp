// CTCOSCard: construction and destruction, the start-up and supervision
// timers, and the supervision pass with its notices to the host.
#include <mutex>
#include <utility>
#include <vector>

#include "infrastructure/error_handler.h"
#include "infrastructure/log_file.h"
#include "infrastructure/notice_engine.h"
#include "infrastructure/trace.h"
#include "platform/framework.h"
#include "platform/handle.h"
#include "platform/message.h"
#include "platform/named_objects.h"
#include "platform/secure_memory.h"
#include "terminal/tcos_card.h"

CTCOSCard* g_pTCOSCard = nullptr;
UINT_PTR g_nTCOSInitTimer = 0;
UINT_PTR g_nTCOSSuperviseTimer = 0;

namespace {

constexpr UINT kTimerPeriodMs = 250;
constexpr char16_t kMethodSupervise[] = u"CTCOSCard::TCOSSuperviseCard()";

// Guards g_pTCOSCard and the two timer identifiers, and is held by each timer
// procedure for its whole run, set-up or pass included.
//
// Why: the platform's KillTimer, called from another thread, waits for a
// procedure of that timer that runs at that moment, but a procedure kills
// its own timer first thing and then goes on with the set-up or the pass; a
// destructor on another thread would find no timer to wait for and free the
// object (and unload the driver) under the running pass. With this lock the
// destructor waits for the procedure to end, takes the object out of
// g_pTCOSCard and the timer identifiers out of the globals, and only then
// kills the timers; a procedure that starts later finds no object and does
// nothing. The destructor kills the timers after releasing the lock, because
// a procedure of such a timer may be waiting for the lock at that moment and
// KillTimer would wait for that procedure in turn.
//
// Recursive, since a pass re-arms its timer (which takes the lock) while its
// procedure holds it.
std::recursive_mutex& TimerLock() {
    static std::recursive_mutex lock;
    return lock;
}

// Kills a timer of the calling thread's procedure when it is not the one the
// globals name (a late WM_TIMER of a timer that has been replaced).
void KillStrayTimer(UINT_PTR p_nIDEvent, UINT_PTR p_nKnown) {
    if (p_nIDEvent != 0 && p_nIDEvent != p_nKnown) {
        KillTimer(nullptr, p_nIDEvent);
    }
}

// The terminal's results and entries.
constexpr ml_notice::NoticeTable kNotices{
    .codes = {{CT_OK, ml_notice::Seen::kCard},
              {CT_NOCARD, ml_notice::Seen::kNoCard},
              {CT_WRONGVERSION, ml_notice::Seen::kUnknownCard},
              {CT_FOULCARD, ml_notice::Seen::kCardError}},
    .method = kMethodSupervise,
    .insertHeldMethod = u"CTCOSCard::TCOSSuperviseCard",
    .separator = true,
    .unknownTag = ml_trace::kError,
    .unknownText = u"Card error (CT_WRONGVERSION)",
    .cardErrorText = u"Card error (CT_FOULCARD)",
    .details =
        [](int64_t p_nCode) {
            return std::vector<TraceParam>{TraceParam(u"Error Number (-1==CT_ERROR)",
                                                      ml_trace::kInt, ml_trace::kError,
                                                      static_cast<int>(p_nCode))};
        },
};

}  // namespace

CTCOSCard::CTCOSCard()
    : m_hDriver(nullptr),
      m_dwThreadId(0),
      m_LoginData{},
      m_nLastMessage(0),
      m_nCardState(CT_NOCARD),
      m_nCtn(0),
      m_nLastErrorCode(0),
      m_pfnCT_init(nullptr),
      m_pfnCT_data(nullptr),
      m_pfnCT_close(nullptr),
      m_pfnCT_SetTraceOptions(nullptr),
      m_pfnCT_BeginTransaction(nullptr),
      m_pfnCT_EndTransaction(nullptr),
      m_hLogonEvent(nullptr),
      m_hLogoffEvent(nullptr) {
    m_dwThreadId = GetCurrentThreadId();
    m_hLogonEvent = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGON_IN_PROCESS);
    m_hLogoffEvent = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGOFF_IN_PROCESS);
    std::lock_guard lock(TimerLock());
    g_pTCOSCard = this;
    if (g_nTCOSInitTimer == 0) {
        g_nTCOSInitTimer = SetTimer(nullptr, 0, kTimerPeriodMs, TCOSInitTimer);
    }
}

CTCOSCard::~CTCOSCard() {
    UINT_PTR initTimer = 0;
    UINT_PTR superviseTimer = 0;
    {
        // Waits for a set-up or pass that runs now (see TimerLock).
        std::lock_guard lock(TimerLock());
        if (g_pTCOSCard == this || g_pTCOSCard == nullptr) {
            g_pTCOSCard = nullptr;
            initTimer = std::exchange(g_nTCOSInitTimer, 0);
            superviseTimer = std::exchange(g_nTCOSSuperviseTimer, 0);
        }
    }
    if (initTimer != 0) {
        KillTimer(nullptr, initTimer);
    }
    if (superviseTimer != 0) {
        KillTimer(nullptr, superviseTimer);
    }
    try {
        if (m_nCtn != 0 && m_pfnCT_close != nullptr) {
            m_pfnCT_close(static_cast<uint16_t>(m_nCtn));
        }
        m_nCtn = 0;
        if (m_hDriver != nullptr) {
            FreeLibrary(m_hDriver);
        }
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CTCOSCard::~CTCOSCard() - Exception ***");
    }
    m_hDriver = nullptr;
    m_pfnCT_init = nullptr;
    m_pfnCT_data = nullptr;
    m_pfnCT_close = nullptr;
    m_pfnCT_SetTraceOptions = nullptr;
    m_pfnCT_BeginTransaction = nullptr;
    m_pfnCT_EndTransaction = nullptr;
    if (m_hLogonEvent != nullptr) {
        CloseHandle(m_hLogonEvent);
        m_hLogonEvent = nullptr;
    }
    if (m_hLogoffEvent != nullptr) {
        CloseHandle(m_hLogoffEvent);
        m_hLogoffEvent = nullptr;
    }
    // A memset here would be dropped: the object's lifetime ends with it.
    SecureZeroMemory(&m_LoginData, sizeof m_LoginData);
}

void CALLBACK CTCOSCard::TCOSInitTimer(HWND, UINT, UINT_PTR p_nIDEvent, DWORD) {
    // Dispatched by the host's message loop: the module's own state, so that
    // the driver and the texts are looked for beside the module.
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    try {
        std::lock_guard lock(TimerLock());
        UINT_PTR timer = std::exchange(g_nTCOSInitTimer, 0);
        if (timer != 0) {
            KillTimer(nullptr, timer);
        }
        KillStrayTimer(p_nIDEvent, timer);
        CTCOSCard* card = g_pTCOSCard;
        if (card == nullptr) {
            return;
        }
        card->SetUpDriver();
        // Without a driver nothing is supervised and no notice is posted.
        if (card->m_hDriver != nullptr) {
            card->ArmSuperviseTimer();
        }
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CTCOSCard::TCOSInitTimer() - Exception ***");
    }
}

void CALLBACK CTCOSCard::TCOSSuperviseTimerProc(HWND, UINT, UINT_PTR p_nIDEvent, DWORD) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    try {
        std::lock_guard lock(TimerLock());
        UINT_PTR timer = std::exchange(g_nTCOSSuperviseTimer, 0);
        if (timer != 0) {
            KillTimer(nullptr, timer);
        }
        KillStrayTimer(p_nIDEvent, timer);
        if (g_pTCOSCard != nullptr) {
            g_pTCOSCard->TCOSSuperviseCard();
        }
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CTCOSCard::TCOSSuperviseTimerProc() - Exception ***");
    }
}

void CTCOSCard::StopSuperviseTimer() {
    UINT_PTR timer = 0;
    {
        std::lock_guard lock(TimerLock());
        timer = std::exchange(g_nTCOSSuperviseTimer, 0);
    }
    if (timer != 0) {
        KillTimer(nullptr, timer);
    }
}

void CTCOSCard::ArmSuperviseTimer() {
    std::lock_guard lock(TimerLock());
    // A pass of an object that is no longer the module's (being destroyed)
    // arms nothing.
    if (g_pTCOSCard != this || g_nTCOSSuperviseTimer != 0) {
        return;
    }
    g_nTCOSSuperviseTimer = SetTimer(nullptr, 0, kTimerPeriodMs, TCOSSuperviseTimerProc);
}

void CTCOSCard::TCOSSuperviseCard() {
    try {
        m_nCardState = ResetCard();
        // A card already announced is not read again; the engine posts
        // nothing for it.
        if (m_nCardState == CT_OK && m_nLastMessage != CARD_INSERTED) {
            m_nCardState =
                ReadFiles(m_LoginData.szUserName, m_LoginData.szDomain, m_LoginData.szPassword);
        }
        ml_notice::Announce(
            kNotices, {m_dwThreadId, m_hLogonEvent, m_hLogoffEvent, m_LoginData, m_nLastMessage},
            m_nCardState);
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CTCOSCard::TCOSSuperviseCard() - Exception ***");
    }
    // A pass that only reset the card (a card already announced) ends its
    // sequence here.
    EndSequence();
    ArmSuperviseTimer();
}
