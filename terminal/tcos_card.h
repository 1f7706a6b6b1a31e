// CTCOSCard: the card terminal with a TCOS card, driven through a CT-API
// driver (ct32) that the object loads at run time.
//
// Life of the object:
//   constructor      opens the two logon/logoff events and arms the one-shot
//                    start-up timer (250 ms) of the calling thread;
//   TCOSInitTimer    finds, loads and binds the driver, opens terminal 1 on
//                    the port "CurrentPort" of "mlsettings.ini" (default 1),
//                    resets the terminal and, if the driver loaded, arms the
//                    supervision timer;
//   supervision      every 250 ms (from the end of one pass to the start of
//                    the next) TCOSSuperviseCard resets the card, reads the
//                    login files of a new card and posts WM_COMMAND notices
//                    (CARD_INSERTED, CARD_REMOVED, CARD_ERROR, CARD_UNKNOWN;
//                    see include/mlcardmanx.h) to the creating thread;
//   destructor       stops both timers, closes the terminal, unloads the
//                    driver and closes the events.
//
// Where the driver is looked for: the registry value "Path" of
// HKEY_LOCAL_MACHINE "SOFTWARE\Kestrel\APPSW\Vireo" followed by "bin" (the
// driver's installation); without that value (or with an empty one) the
// directory of the module itself (GetModuleFileNameW of AfxGetInstanceHandle),
// never the current directory of the process.
//
// Failures are written to the trace and error logs by ReportError, each error
// code once until another code has been written.
//
// Threads: the object belongs to the thread that creates it. That thread
// must run a message loop: both timers fire there and the notices are posted
// there; the card operations and TCOSSuperviseCard/StopSuperviseTimer are
// called on it. The timer procedures hold a process-wide lock for their whole
// run, and the destructor takes the same lock, so the object may also be
// destroyed on another thread: the destructor waits for a pass that runs at
// that moment, and no timer procedure touches the object afterwards.
#ifndef ML_TERMINAL_TCOS_CARD_H_
#define ML_TERMINAL_TCOS_CARD_H_

#include <string>

#include "include/mlcardmanx.h"
#include "platform/secure_memory.h"
#include "platform/windef.h"
#include "terminal/ct_driver.h"
#include "terminal/ct_result.h"

// Capacities of the login data, in UTF-16 units with the terminator.
inline constexpr size_t kTCOSUserNameChars = 43;
inline constexpr size_t kTCOSDomainChars = 33;
inline constexpr size_t kTCOSPasswordChars = 101;

// Where the terminal object finds the full path of "mlsettings.ini". The
// application sets it before it creates the object; unset, the path is empty
// and the settings read fails (the port number is then 1).
using SettingsINIFileSource = std::u16string (*)();
void SetTCOSSettingsINIFileSource(SettingsINIFileSource source);

class CTCOSCard {
  public:
    // Sets g_pTCOSCard to the new object and arms the start-up timer (when
    // none is pending). Loads nothing yet.
    CTCOSCard();
    virtual ~CTCOSCard();
    CTCOSCard(const CTCOSCard&) = delete;
    CTCOSCard& operator=(const CTCOSCard&) = delete;

    // ---- terminal set-up ----

    // Opens terminal p_nCtn on port p_nPort (CT_init); true when the driver
    // answered 0. A port that does not fit the driver's 16-bit port number is
    // not passed on and counts as a failed CT_init.
    bool InitCom(int p_nCtn, int p_nPort);
    // Resets the terminal itself (CT-BCS 20 10 00 00 00); true when CT_data
    // answered 0.
    bool ResetTerminal();
    // Writes one failure to the logs with the English text of message
    // p_nMessage, unless p_nErrorCode is the code written last. Code 14 is
    // written as information to the debug log only.
    void ReportError(const std::u16string& p_strMethod, int p_nMessage, int p_nErrorCode,
                     int p_nRawValue);
    // The full path the driver is loaded from (empty when none can be
    // formed).
    static std::u16string GetDriverPath();

    // ---- card operations (CT result codes) ----

    // Resets the card: CT_OK (a processor card is present), CT_NOCARD,
    // CT_FOULCARD or CT_ERROR.
    int ResetCard();
    // Selects file p_wFileID: CT_OK, CT_NOFILE, CT_WRONGVERSION or CT_ERROR.
    int SelectFile(WORD p_wFileID);
    // Creates the three login files: CT_OK, CT_FILEEXISTS or CT_ERROR.
    int CreateFiles();
    // Deletes the three login files, whatever each answer: CT_OK or CT_ERROR.
    int DeleteFiles();
    // Writes the three texts (terminated; null counts as empty), each cut to
    // its file (21, 16 and 50 characters; each cut is reported): CT_OK,
    // CT_NOFILE, CT_WRONGVERSION, CT_FILEERROR or CT_ERROR. The user-name
    // file is cleared first and written last, so that a write cut short
    // leaves a set that reads as CT_EMPTYFILE.
    int WriteFiles(LPCWSTR p_szUserName, LPCWSTR p_szDomain, LPCWSTR p_szPassword);
    // Reads the three files into the arrays; each always holds a terminated
    // text afterwards (empty when not read). CT_OK, CT_NOFILE,
    // CT_WRONGVERSION, CT_ERROR, or CT_EMPTYFILE (all three empty) when the
    // user name is empty: such a set is no login data.
    int ReadFiles(WCHAR (&p_szUserName)[kTCOSUserNameChars], WCHAR (&p_szDomain)[kTCOSDomainChars],
                  WCHAR (&p_szPassword)[kTCOSPasswordChars]);
    // Writes the files in place when all three are there with their sizes;
    // when one is missing or of another size, deletes and creates them and
    // writes them; a card that refuses a selection is not written. Texts longer than 42, 32 and 100
    // characters are taken up to that length. The result of the last WriteFiles.
    int WriteLoginData(LPCWSTR p_szUserName, LPCWSTR p_szDomain, LPCWSTR p_szPassword);

    // ---- supervision ----

    // One supervision pass; re-arms the supervision timer at its end.
    void TCOSSuperviseCard();
    // Stops the supervision timer if it runs.
    void StopSuperviseTimer();
    // The CT result code of the last supervision step.
    int GetCardState() const { return m_nCardState; }

    // Timer procedures (arguments ignored).
    static void CALLBACK TCOSInitTimer(HWND p_hWnd, UINT p_nMsg, UINT_PTR p_nIDEvent,
                                       DWORD p_dwTime);
    static void CALLBACK TCOSSuperviseTimerProc(HWND p_hWnd, UINT p_nMsg, UINT_PTR p_nIDEvent,
                                                DWORD p_dwTime);

  private:
    // Result of one CT_data exchange. The response (a login file's content,
    // a password among them) is wiped when the exchange ends.
    struct Exchange {
        ~Exchange() { SecureZeroMemory(response, sizeof response); }

        int8_t result = 0;  // the driver's result
        // The response length the driver reported; usable only when
        // HasStatusWord().
        uint16_t length = 0;
        BYTE response[ml_ct::kResponseBufferSize];

        // A response of 2..500 bytes: the last two are SW1 SW2.
        bool HasStatusWord() const { return length >= 2 && length <= ml_ct::kResponseBufferSize; }
        WORD StatusWord() const {
            return static_cast<WORD>(response[length - 2] << 8 | response[length - 1]);
        }
    };

    // Driver set-up: path, loading, binding, trace options, port number,
    // InitCom and ResetTerminal.
    void SetUpDriver();
    int ReadCurrentPort();
    // One CT_data call with fresh buffers. The caller has checked that
    // CT_data is bound.
    void Transmit(uint8_t p_nDad, BYTE (&p_command)[ml_ct::kCommandBufferSize], size_t p_nLength,
                  Exchange& p_exchange);
    // A sequence of card commands that no other application interrupts
    // (two hosts on one terminal): it begins with the card reset or the
    // write and ends with the read, the write or the pass. Nothing when the
    // driver lacks the extension.
    void BeginSequence();
    void EndSequence();
    // The select command and what its status word makes of it; a missing
    // file is reported unless p_bQuietIfMissing.
    int SendSelect(WORD p_wFileID, bool p_bQuietIfMissing);
    // CT_OK when all three login files are there with their sizes, CT_NOFILE
    // (not reported) when one is missing or of another size, else the
    // failure of a selection.
    int ProbeLoginFiles();
    // Arms the supervision timer when none runs (this object only).
    void ArmSuperviseTimer();

    HMODULE m_hDriver;
    DWORD m_dwThreadId;
    LoginDataBlock m_LoginData;
    int m_nLastMessage;
    int m_nCardState;
    int m_nCtn;
    int m_nLastErrorCode;
    PFN_CT_init m_pfnCT_init;
    PFN_CT_data m_pfnCT_data;
    PFN_CT_close m_pfnCT_close;
    PFN_CT_SetTraceOptions m_pfnCT_SetTraceOptions;
    PFN_CT_Transaction m_pfnCT_BeginTransaction;
    PFN_CT_Transaction m_pfnCT_EndTransaction;
    HANDLE m_hLogonEvent;
    HANDLE m_hLogoffEvent;
};

// The terminal object of the module (null when there is none). Set by the
// constructor, cleared by the destructor of that object; read by the timer
// procedures under their lock.
extern CTCOSCard* g_pTCOSCard;
// Identifiers of the start-up and supervision timers (0 = none).
extern UINT_PTR g_nTCOSInitTimer;
extern UINT_PTR g_nTCOSSuperviseTimer;

#endif  // ML_TERMINAL_TCOS_CARD_H_
