/* String tables of language libraries (stand-in for string resources).
 *
 * A language library exports one symbol, ML_STRING_TABLE_SYMBOL, a function
 * that hands out its table of (number, UTF-16 text) entries. Language
 * libraries are generated at build time from a plain UTF-8 text source per
 * language by the CMake function ml_add_language_library (cmake/
 * MlLanguage.cmake); nobody writes the table by hand.
 *
 * Source format: one message per line, "NUMBER<TAB>TEXT"; empty lines and
 * lines starting with "#" are skipped; in TEXT, "\n", "\t" and "\\" stand
 * for a line feed, a tab and a backslash. A number that appears twice, a line
 * without a tab or a number that is not decimal fails the build with the line
 * named.
 *
 * Windows: string tables are real string-table resources of resource-only
 * libraries, compiled by windres from the same text sources, and
 * LoadStringW is the system's; MlStringTable does not exist there.
 */
#ifndef ML_PLATFORM_STRING_TABLE_H_
#define ML_PLATFORM_STRING_TABLE_H_

#include "platform/windef.h"

typedef struct MlStringEntry {
    UINT id;
    const WCHAR* text; /* terminated */
} MlStringEntry;

/* const MlStringEntry* MlStringTable(size_t* count); entries sorted by id. */
typedef const MlStringEntry* (*MlStringTableFn)(size_t* count);
#define ML_STRING_TABLE_SYMBOL "MlStringTable"

ML_EXTERN_C_BEGIN
/* Copies text number `id` of the library into `buffer`: at most
 * bufferMax - 1 characters and a terminator. Returns the number of
 * characters copied; 0 with the last error set when the library has no table
 * (ML_ERROR_RESOURCE_DATA_NOT_FOUND), no text of that number
 * (ML_ERROR_RESOURCE_NAME_NOT_FOUND), or buffer is NULL or bufferMax < 1
 * (ML_ERROR_INVALID_PARAMETER). An empty text also returns 0. */
ML_PLATFORM_API int WINAPI LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax);
ML_EXTERN_C_END

#endif /* ML_PLATFORM_STRING_TABLE_H_ */
