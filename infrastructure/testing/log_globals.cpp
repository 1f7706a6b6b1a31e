// The module's two log objects, for test programs without the module's frame.
#include "infrastructure/log_file.h"

CDebugFile theDebugFile;
CErrorFile theErrorFile;
