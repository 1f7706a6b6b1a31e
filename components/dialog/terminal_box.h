// The message box of the dialog manager, drawn on the user's terminal.
//
// The box is written to the process's controlling terminal (/dev/tty), not
// to its standard streams, and answered there with single keys:
//
//   == Caption [Warning] ==
//   Text of the box,
//   on as many lines as it has.
//
//   [O]K  [C]ancel   (Enter: OK, Esc: Cancel)
//
// Keys: the marked letter of a button (either case); Enter for the default
// button (MB_DEFBUTTON1..4, the first when out of range); Escape for Cancel
// when the box has one, for OK on an OK-only box, nothing otherwise. Other
// keys and escape sequences (arrow keys...) answer nothing and ring the bell.
//
// A box that gets no answer - end of input, a read error, a hang-up of the
// terminal, Ctrl-C, Ctrl-D, or the time limit - is answered with the most
// cautious button of its set: OK for OK, Cancel where the set has Cancel,
// Abort for Abort/Retry/Ignore, No for Yes/No.
//
// The terminal is put into raw mode (no echo, no line editing, no signals
// from Ctrl-C or Ctrl-Z) while the box is up and set back to exactly its
// previous mode on every path out: also when SIGINT, SIGTERM, SIGHUP or
// SIGQUIT ends the process while the box is up (the terminal is restored,
// then the process's own handling of the signal goes on), and around a stop
// by SIGTSTP (restored while stopped, raw again when continued). Signals
// the process ignores stay ignored.
//
// Text and caption are shown without terminal control characters: C0 and
// C1 controls, DEL and the Unicode direction overrides are removed; line
// breaks (CR LF, CR, LF, U+2028, U+2029) become line breaks of the text and
// blanks in the caption; lone surrogates become U+FFFD. The output is in the
// character set of the process locale.
#ifndef ML_COMPONENTS_DIALOG_TERMINAL_BOX_H_
#define ML_COMPONENTS_DIALOG_TERMINAL_BOX_H_

#include <string>
#include <string_view>

#include "platform/windef.h"

namespace logondm {

struct BoxRequest {
    std::u16string caption;
    std::u16string text;
    UINT type = 0;             // Windows message-box type value
    LONG timeoutSeconds = -1;  // > 0: time limit; otherwise none
};

// Shows the box on the controlling terminal and blocks until it is answered.
// S_OK and the button identifier in *result; E_INVALIDARG for a button set
// 7..15; LOGONDM_E_NOTERMINAL when there is no controlling terminal or this
// process is not in its foreground; LOGONDM_E_TERMINAL when the box could
// not be written. *result is left alone on failure. Boxes of one process are
// shown one at a time (a second caller waits).
HRESULT ShowTerminalBox(const BoxRequest& request, LONG* result);

// The text as the box shows it (see above); `multiline` false for captions.
std::u16string SanitizeForTerminal(std::u16string_view text, bool multiline);

}  // namespace logondm

#endif  // ML_COMPONENTS_DIALOG_TERMINAL_BOX_H_
