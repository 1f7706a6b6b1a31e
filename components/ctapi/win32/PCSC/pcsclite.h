/* pcsc-lite's own additions have no counterpart on Windows: everything the
 * driver uses comes with <PCSC/winscard.h>. */
#include <PCSC/winscard.h>

/* pcsc-lite's limits, which the driver sizes its buffers by: the longest
 * ATR, and an extended APDU (64 KiB of data, header, Lc, Le) with SW1 SW2. */
#ifndef MAX_ATR_SIZE
#define MAX_ATR_SIZE 33
#endif
#ifndef MAX_BUFFER_SIZE_EXTENDED
#define MAX_BUFFER_SIZE_EXTENDED (4 + 3 + (1 << 16) + 3 + 2)
#endif
