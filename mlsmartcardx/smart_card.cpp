#include "mlsmartcardx/smart_card.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "infrastructure/error_handler.h"
#include "infrastructure/log_file.h"
#include "infrastructure/notice_engine.h"
#include "infrastructure/trace.h"
#include "mlsmartcardx/mlsmartcard.h"
#include "platform/clock.h"
#include "platform/handle.h"
#include "platform/message.h"
#include "platform/named_objects.h"
#include "platform/scard.h"
#include "platform/secure_memory.h"

std::atomic<UINT_PTR> g_nSuperviseTimer{0};
std::atomic<CSmartCard*> g_pSmartCard{nullptr};

namespace {

constexpr UINT kSupervisePeriodMs = 250;
constexpr int kReadAttempts = 3;
constexpr DWORD kRetryPauseMs = 250;

constexpr char16_t kPassMethod[] = u"CSmartCard::SuperviseCard()";

// The supervision lock. A pass holds it from start to end, whether the timer
// procedure or a direct SuperviseCard call runs it; the constructor, the
// destructor and StopSuperviseTimer hold it while they change
// g_nSuperviseTimer and g_pSmartCard.
//
// It is what makes destruction from another thread safe. The timer procedure
// kills its own timer before the pass, so while a pass runs there is no timer
// that KillTimer could wait for, and the pass re-arms a new one at its end.
// The destructor therefore first takes the lock, which waits for a pass under
// way to end, and under it takes the timer identifier and clears the current
// object; from then on no pass can reach the object. It kills that timer
// only after releasing the lock: KillTimer from another thread waits for a
// running call of the timer's procedure, and that call may itself be waiting
// for the lock (it then finds no current object and returns at once).
//
// A pass writes trace entries while it holds the lock, so the lock order is:
// this lock, then a log object's lock, then the "mldebug.ini" mutex.
std::mutex g_superviseLock;

// Copies a terminated string into a field of the block, cut to the field's
// capacity, always terminated. A null source leaves the field as it is.
template <size_t N>
void CopyField(WCHAR (&p_field)[N], const WCHAR* p_src) {
    if (p_src == nullptr) {
        return;
    }
    size_t i = 0;
    for (; i + 1 < N && p_src[i] != 0; ++i) {
        p_field[i] = p_src[i];
    }
    p_field[i] = 0;
}

HANDLE OpenInProcessEvent(LPCWSTR p_szName) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, p_szName);
    if (event == nullptr) {
        CCmnErrorHandler::LogLastError(u"CSmartCard::CSmartCard()");
    }
    return event;
}

// The number and the platform's text of a failed read.
std::vector<TraceParam> ErrorDetails(LONG p_lResult, std::u16string_view p_strTag) {
    return {TraceParam(u"Error Number", ml_trace::kHex, p_strTag, p_lResult),
            TraceParam(u"Error Text", ml_trace::kText, p_strTag,
                       CCmnErrorHandler::GetSystemErrorText(static_cast<DWORD>(p_lResult)))};
}

// The card library's results and the reader's entries.
constexpr ml_notice::NoticeTable kNotices{
    .codes = {{SCARD_S_SUCCESS, ml_notice::Seen::kCard},
              {SCARD_W_REMOVED_CARD, ml_notice::Seen::kNoCard},
              {SCARD_E_UNKNOWN_CARD, ml_notice::Seen::kUnknownCard},
              {SCARD_W_UNRESPONSIVE_CARD, ml_notice::Seen::kCardError}},
    .method = kPassMethod,
    .insertHeldMethod = u"CSmartCard::SuperviseCard",
    .separator = false,
    .unknownTag = ml_trace::kInfo,
    .unknownText = u"Card inserted (SCARD_E_UNKNOWN_CARD)",
    .cardErrorText = u"Card error (SCARD_W_UNRESPONSIVE_CARD)",
    .details =
        [](int64_t p_nCode) { return ErrorDetails(static_cast<LONG>(p_nCode), ml_trace::kError); },
};

}  // namespace

CSmartCard::CSmartCard(const std::u16string& p_strReaderName)
    : m_nLastMessage(0),
      m_LoginData{},
      m_strReaderName(p_strReaderName),
      m_dwThreadId(GetCurrentThreadId()),
      m_hLogonEvent(OpenInProcessEvent(ML_EVENT_LOGON_IN_PROCESS)),
      m_hLogoffEvent(OpenInProcessEvent(ML_EVENT_LOGOFF_IN_PROCESS)) {
    std::lock_guard lock(g_superviseLock);
    g_pSmartCard.store(this);
    if (g_nSuperviseTimer.load() == 0) {
        g_nSuperviseTimer.store(SetTimer(nullptr, 0, kSupervisePeriodMs, SuperviseTimerProc));
    }
}

CSmartCard::~CSmartCard() {
    UINT_PTR timer = 0;
    {
        std::lock_guard lock(g_superviseLock);
        timer = g_nSuperviseTimer.exchange(0);
        m_dwThreadId = 0;
        CSmartCard* self = this;
        g_pSmartCard.compare_exchange_strong(self, nullptr);
    }
    if (timer != 0) {
        KillTimer(nullptr, timer);
    }
    SecureZeroMemory(&m_LoginData, sizeof m_LoginData);
    if (m_hLogonEvent != nullptr) {
        CloseHandle(m_hLogonEvent);
    }
    if (m_hLogoffEvent != nullptr) {
        CloseHandle(m_hLogoffEvent);
    }
}

void CSmartCard::SuperviseCard() {
    std::lock_guard lock(g_superviseLock);
    SupervisePass();
}

void CSmartCard::StopSuperviseTimer() {
    UINT_PTR timer = 0;
    {
        std::lock_guard lock(g_superviseLock);
        timer = g_nSuperviseTimer.exchange(0);
    }
    if (timer != 0) {
        KillTimer(nullptr, timer);
    }
}

void CALLBACK SuperviseTimerProc(HWND /*p_hwnd*/, UINT /*p_uMsg*/, UINT_PTR /*p_idEvent*/,
                                 DWORD /*p_dwTime*/) {
    std::lock_guard lock(g_superviseLock);
    // On the timer's own thread KillTimer does not wait.
    if (UINT_PTR timer = g_nSuperviseTimer.exchange(0)) {
        KillTimer(nullptr, timer);
    }
    if (CSmartCard* card = g_pSmartCard.load()) {
        card->SupervisePass();
    }
}

void CSmartCard::SupervisePass() {
    try {
        std::memset(&m_LoginData, 0, sizeof m_LoginData);

        LPWSTR userName = nullptr;
        LPWSTR domain = nullptr;
        LPWSTR password = nullptr;
        DWORD passwordCapacity = 0;
        LONG lRet = SCARD_S_SUCCESS;
        for (int attempt = 1; attempt <= kReadAttempts; ++attempt) {
            lRet = SmartCardReadFiles(m_strReaderName.c_str(), &userName, &domain, &password,
                                      &passwordCapacity, nullptr);
            if (lRet == SCARD_S_SUCCESS || lRet == SCARD_W_REMOVED_CARD) {
                break;
            }
            if (attempt < kReadAttempts) {
                Trace(u"CSmartCard::SuperviseCard() - SmartCardReadFiles()",
                      theDebugFile.IsTraceOn(), FALSE, ErrorDetails(lRet, ml_trace::kInfo));
                Sleep(kRetryPauseMs);
            }
        }

        CopyField(m_LoginData.szUserName, userName);
        CopyField(m_LoginData.szDomain, domain);
        CopyField(m_LoginData.szPassword, password);
        // The handed-out texts leave nothing of the record in freed memory.
        SecureZeroMemory(userName, kUserNameBytes + 4);
        SecureZeroMemory(domain, kDomainBytes + 4);
        SecureZeroMemory(password, kPasswordBytes + 4);
        std::free(userName);
        std::free(domain);
        std::free(password);

        ml_notice::Announce(
            kNotices, {m_dwThreadId, m_hLogonEvent, m_hLogoffEvent, m_LoginData, m_nLastMessage},
            lRet);
    } catch (...) {
        Trace(u"*** CSmartCard::SuperviseCard() - Exception ***", theDebugFile.IsTraceOn(), TRUE);
    }

    // Re-armed at the end, so passes never overlap and the period counts from
    // the end of one pass to the start of the next.
    if (g_nSuperviseTimer.load() == 0) {
        g_nSuperviseTimer.store(SetTimer(nullptr, 0, kSupervisePeriodMs, SuperviseTimerProc));
    }
}
