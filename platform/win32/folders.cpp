// The common documents folder and module paths are the system's
// (SHGetFolderPathW, GetModuleFileNameW); only the separator is ours.
#include "platform/folders.h"

namespace ml {

char16_t PathSeparator() {
    return u'\\';
}

}  // namespace ml
