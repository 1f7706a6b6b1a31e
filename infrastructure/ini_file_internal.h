// The look-up tables behind CIniFile.
#ifndef ML_INFRASTRUCTURE_INI_FILE_INTERNAL_H_
#define ML_INFRASTRUCTURE_INI_FILE_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "infrastructure/ini_file.h"

namespace ml_ini_detail {
// The first position of each name of a list kept elsewhere, under a folding
// rule (A..Z only, or none): open addressing over (hash, position) slots,
// so a look-up costs one hash of the name and, as a rule, one comparison.
class NameIndex {
  public:
    // Position of the first recorded name equal to `name`, or -1.
    int Find(std::u16string_view name, const std::vector<std::u16string>& names, bool fold) const;
    // The position of an equal recorded name; else records `name` at
    // `position` (where the caller puts it into `names`) and returns it.
    int FindOrAdd(std::u16string_view name, int position, const std::vector<std::u16string>& names,
                  bool fold);
    void Clear();

  private:
    struct Slot {
        uint32_t hash;
        int32_t position;  // -1: empty
    };
    // The slot holding an equal name, or the empty slot where it would go.
    size_t Probe(uint32_t hash, std::u16string_view name, const std::vector<std::u16string>& names,
                 bool fold) const;
    void Grow();

    std::vector<Slot> slots_;
    size_t count_ = 0;
};
}  // namespace ml_ini_detail

struct CIniFile::Section {
    std::vector<std::u16string> keys;
    std::vector<std::u16string> values;
    std::vector<std::u16string> comments;
    ml_ini_detail::NameIndex keyIndex;  // folded key name -> first index
};

#endif  // ML_INFRASTRUCTURE_INI_FILE_INTERNAL_H_
