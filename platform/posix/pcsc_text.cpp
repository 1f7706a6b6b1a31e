// pcsc-lite's texts of its result codes. Kept apart because pcsc-lite's own
// Windows-like types differ from ours in size.
#include <PCSC/pcsclite.h>

#include <cstdint>

namespace ml::posix {

const char* PcscText(uint32_t code) {
    return pcsc_stringify_error(static_cast<LONG>(code));
}

}  // namespace ml::posix
