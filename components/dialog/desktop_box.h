// The message box on the desktop: the component runs the program
// mldialog-gtk (GTK 4) for it, so that no host process loads a toolkit.
//
// Chosen at run time: when the session has a display (WAYLAND_DISPLAY or
// DISPLAY set and not empty) and the program is installed, the box is shown
// on the desktop; else on the terminal (terminal_box.h). The program is
// looked for relative to the component's own library (the build names the
// places: the installation's bin folder, the build tree's). The text goes to
// the program on standard input, the caption and type on its command line,
// the answer comes back on its standard output.
#ifndef ML_COMPONENTS_DIALOG_DESKTOP_BOX_H_
#define ML_COMPONENTS_DIALOG_DESKTOP_BOX_H_

#include <string>

#include "components/dialog/terminal_box.h"
#include "platform/windef.h"

namespace logondm {

// The desktop program to run, or empty when the session has no display or
// the program is not installed.
std::string DesktopProgram();

// Runs `program` for the box and blocks until it answers. S_OK and the
// button identifier in *result; LOGONDM_E_NOTERMINAL when the program could
// not show the box (it could not be started, found no display, or answered
// nothing usable), so that the caller may ask on the terminal instead.
HRESULT ShowDesktopBox(const std::string& program, const BoxRequest& request, LONG* result);

}  // namespace logondm

#endif  // ML_COMPONENTS_DIALOG_DESKTOP_BOX_H_
