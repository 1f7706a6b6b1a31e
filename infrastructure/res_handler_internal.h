// What the parts of CResHandler share.
#ifndef ML_INFRASTRUCTURE_RES_HANDLER_INTERNAL_H_
#define ML_INFRASTRUCTURE_RES_HANDLER_INTERNAL_H_

#include <cstddef>
#include <string>

namespace ml_infra {
// Index of the language letter in a library path: the character in front of
// the library suffix (any case) at its end; npos when the path has none.
size_t LanguageLetterPosition(const std::u16string& p_strPath);
}  // namespace ml_infra

#endif  // ML_INFRASTRUCTURE_RES_HANDLER_INTERNAL_H_
