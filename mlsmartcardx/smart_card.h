// CSmartCard: supervision of the configured PC/SC reader and the notices to
// the host.
//
// The object polls its reader with a thread timer of the thread that
// constructed it (the host's loading thread): every 250 ms a pass
// (SuperviseCard) reads the login data from the card with SmartCardReadFiles
// and, when the outcome differs from the last notice posted, posts a
// WM_COMMAND thread message to that thread (codes and lParam in
// include/mlcardmanx.h). The constructing thread must run a message loop: it
// receives both the timer messages and the notices.
//
// Ownership: the object owns its LoginDataBlock, whose address CARD_INSERTED
// carries. The block is rewritten at the start of every pass and lives as
// long as the object; the host copies the strings while it handles the
// notice and never keeps or frees the address. A notice still queued when
// the object is destroyed points to freed memory: a host that unloads the
// module drops the notices it has not handled yet.
//
// Events: with CARD_INSERTED the pass sets "Global\mlevent_logoninprocess",
// with CARD_REMOVED "Global\mlevent_logoffinprocess"; it never resets them.
// While either is set, insert and remove notices wait (the pass decides again
// 250 ms later); error and unknown-card notices do not wait.
//
// Threads: construction, SuperviseCard and StopSuperviseTimer belong to the
// constructing thread (SuperviseCard re-arms the timer on the calling
// thread). The destructor may run on any thread: it waits for a pass under
// way to end, and no pass starts against the object afterwards. There is at
// most one object per process.
#ifndef ML_MLSMARTCARDX_SMART_CARD_H_
#define ML_MLSMARTCARDX_SMART_CARD_H_

#include <atomic>
#include <string>

#include "include/mlcardmanx.h"
#include "platform/windef.h"

class CSmartCard {
  public:
    // Copies the reader name, records the calling thread as the target of
    // the notices, makes this object the current one (g_pSmartCard), opens or
    // creates the two events and, unless a timer runs already, starts the
    // 250 ms supervision timer. Never fails: an event that cannot be opened
    // counts as never set, a timer that cannot be started is tried again at
    // the end of every direct SuperviseCard call.
    explicit CSmartCard(const std::u16string& p_strReaderName);
    // Any thread. Waits for a pass under way, kills the timer, clears the
    // current-object pointer and closes the events.
    virtual ~CSmartCard();

    CSmartCard(const CSmartCard&) = delete;
    CSmartCard& operator=(const CSmartCard&) = delete;

    // One supervision pass. Blocks for the card reads: up to three attempts,
    // 250 ms apart, when the card cannot be read. Re-arms the timer at its
    // end if none runs. Constructing thread only.
    void SuperviseCard();
    // Kills the supervision timer; the next SuperviseCard call starts it
    // again. Constructing thread.
    void StopSuperviseTimer();

  private:
    friend void CALLBACK SuperviseTimerProc(HWND, UINT, UINT_PTR, DWORD);

    // The pass itself; the caller holds the supervision lock.
    void SupervisePass();

    int32_t m_nLastMessage;
    LoginDataBlock m_LoginData;
    std::u16string m_strReaderName;
    DWORD m_dwThreadId;
    HANDLE m_hLogonEvent;
    HANDLE m_hLogoffEvent;
};

// The supervision timer of the current object (0 = none running) and the
// current object (null = none). Written only under the supervision lock;
// atomic so that any thread may read them, e.g.
//     if (CSmartCard* card = g_pSmartCard) card->StopSuperviseTimer();
// (on the constructing thread, while the object lives).
extern std::atomic<UINT_PTR> g_nSuperviseTimer;
extern std::atomic<CSmartCard*> g_pSmartCard;

// The timer procedure: kills the running timer, then runs a pass of the
// current object, which re-arms the timer at its end. Its arguments are
// ignored.
void CALLBACK SuperviseTimerProc(HWND p_hwnd, UINT p_uMsg, UINT_PTR p_idEvent, DWORD p_dwTime);

#endif  // ML_MLSMARTCARDX_SMART_CARD_H_
