// The module's two log objects, for test programs that do not link the
// module's frame.
#include "infrastructure/log_file.h"

CDebugFile theDebugFile;
CErrorFile theErrorFile;
