/* Thread message queues and thread timers, as on Windows without windows.
 *
 * A thread's queue exists from its first call of any function here except
 * GetCurrentThreadId (posting to another thread does not create that
 * thread's queue either) and lives until the thread ends. A thread that
 * wants messages before it first waits for one calls PeekMessageW once, as
 * on Windows. The module's card objects run on the thread that loaded the
 * module: their timers fire there, and their notices are posted there, so
 * that thread must run a message loop:
 *
 *     MSG msg;
 *     while (GetMessageW(&msg, NULL, 0, 0) > 0) DispatchMessageW(&msg);
 *
 * Order of retrieval, as on Windows:
 *  - posted messages first, in the order they were posted;
 *  - a due timer yields one WM_TIMER (wParam = timer id, lParam = its
 *    TIMERPROC) only when no posted message waits; a timer never has more
 *    than one WM_TIMER pending, however late the thread is (missed periods
 *    are coalesced), and after it was retrieved the timer is next due one
 *    period later;
 *  - WM_QUIT, once PostQuitMessage was called, when nothing else waits.
 *
 * Window handles do not exist here: every hwnd argument must be NULL
 * (anything else fails with ML_ERROR_INVALID_PARAMETER).
 *
 * Time comes from the platform clock (clock.h), so a test clock drives the
 * timers of every queue.
 *
 * Thread safety: PostThreadMessageW and KillTimer may be called from any
 * thread. KillTimer from another thread returns only once a call of that
 * timer's procedure that is running at that moment has returned; inside the
 * procedure itself (on the owner thread) it does not wait. DispatchMessageW
 * of a WM_TIMER whose timer was killed after it was retrieved calls nothing.
 * The other functions act on the calling thread's own queue.
 *
 * Windows: the system's thread messages and timers (user32), driven by the
 * system's clock. MlGetThreadMessageFd does not exist there: a host with its
 * own loop waits with MsgWaitForMultipleObjectsEx(QS_ALLINPUT).
 */
#ifndef ML_PLATFORM_MESSAGE_H_
#define ML_PLATFORM_MESSAGE_H_

#include "platform/windef.h"

#define WM_NULL 0x0000
#define WM_QUIT 0x0012
#define WM_COMMAND 0x0111
#define WM_TIMER 0x0113
#define WM_USER 0x0400

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001

#define USER_TIMER_MINIMUM 0x0000000A
#define USER_TIMER_MAXIMUM 0x7FFFFFFF

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

/* The layout of Windows's MSG: the system writes every field, pt included. */
typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time; /* platform clock, milliseconds, when the message was queued */
    POINT pt;   /* the cursor on Windows; always 0, 0 here */
} MSG;

typedef void(CALLBACK* TIMERPROC)(HWND hwnd, UINT message, UINT_PTR idEvent, DWORD time);

ML_EXTERN_C_BEGIN

/* The calling thread's identifier (on Linux its kernel thread id). Does not
 * create a queue, so any thread may ask, for example to trace it. */
ML_PLATFORM_API DWORD WINAPI GetCurrentThreadId(void);

/* Appends a message to the queue of thread `idThread`. Fails with
 * ML_ERROR_INVALID_THREAD_ID when that thread has no queue (never called a
 * function here, or has ended). Never blocks. */
ML_PLATFORM_API BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT msg, WPARAM wParam,
                                               LPARAM lParam);

/* Posts WM_QUIT with the exit code to the calling thread. */
ML_PLATFORM_API void WINAPI PostQuitMessage(int nExitCode);

/* With hwnd NULL: starts a timer of the calling thread that becomes due every
 * uElapse milliseconds (clamped to USER_TIMER_MINIMUM..USER_TIMER_MAXIMUM)
 * and returns its identifier, never 0 and never reused while the process
 * runs. When nIDEvent names a live timer of this thread, that timer is reset
 * to the new period and procedure and nIDEvent is returned. 0 on failure. */
ML_PLATFORM_API UINT_PTR WINAPI SetTimer(HWND hwnd, UINT_PTR nIDEvent, UINT uElapse,
                                         TIMERPROC proc);

/* Destroys the timer and drops its pending WM_TIMER. Any thread. FALSE with
 * ML_ERROR_NO_SUCH_TIMER when the timer does not exist. */
ML_PLATFORM_API BOOL WINAPI KillTimer(HWND hwnd, UINT_PTR uIDEvent);

/* Waits until a message is available and removes it. Returns 0 for WM_QUIT,
 * -1 on error (hwnd not NULL), a positive value otherwise. Filtering by
 * wMsgFilterMin/Max as on Windows; 0 and 0 take every message. */
ML_PLATFORM_API BOOL WINAPI GetMessageW(MSG* msg, HWND hwnd, UINT wMsgFilterMin,
                                        UINT wMsgFilterMax);

/* As GetMessageW without waiting: TRUE when a message was available. */
ML_PLATFORM_API BOOL WINAPI PeekMessageW(MSG* msg, HWND hwnd, UINT wMsgFilterMin,
                                         UINT wMsgFilterMax, UINT wRemoveMsg);

/* Calls the timer procedure of a WM_TIMER (when its timer still exists);
 * returns 0. Other messages have no window to go to and are ignored. */
ML_PLATFORM_API LRESULT WINAPI DispatchMessageW(const MSG* msg);

/* Beyond Windows: a file descriptor that is readable whenever the calling
 * thread's queue has work (a posted message, a due timer, WM_QUIT), so that a
 * host with its own poll, GLib or Qt loop can drive the queue: when it is
 * readable, run PeekMessageW/DispatchMessageW until PeekMessageW returns
 * FALSE. It may be readable once more after the queue was emptied (a
 * spurious wake-up), never unreadable while work waits. Owned by the queue;
 * do not close it. -1 on failure. */
ML_PLATFORM_API int MlGetThreadMessageFd(void);

ML_EXTERN_C_END

#endif /* ML_PLATFORM_MESSAGE_H_ */
