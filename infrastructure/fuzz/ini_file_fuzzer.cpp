// Any bytes as a settings file: no crash, look-ups agree with first matches.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <unordered_map>

#include "infrastructure/ini_file.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

void CheckLookups(const CIniFile& ini) {
    const auto& names = ini.GetSectionNames();
    // The first section of each name under folding.
    std::unordered_map<std::u16string, int> firsts;
    for (int i = 0; i < static_cast<int>(names.size()); ++i) {
        const int first = firsts.try_emplace(ini.FoldCase(names[i]), i).first->second;
        Check(ini.FindSection(names[i]) == first);
        const auto& keys = ini.GetKeyNames(i);
        Check(keys.size() == ini.GetValues(i).size());
        for (int k = 0; k < static_cast<int>(keys.size()); ++k) {
            // Keys of one section are unique under folding (last value wins).
            Check(ini.FindKey(i, keys[k]) == k);
            Check(first != i || ini.GetValue(names[i], keys[k]) == ini.GetValues(i)[k]);
            ini.GetValueInt(names[i], keys[k], 7);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CIniFile ini;
    Check(!ini.ReadBytes(bytes) || ini.GetSectionCount() > 0);
    CheckLookups(ini);
    // The same names compared exactly, then folded again.
    for (bool exact : {true, false}) {
        ini.SetPath(u"", exact);
        CheckLookups(ini);
    }
    int32_t value = 0;
    CIniFile::ParseInt(std::u16string(bytes.begin(), bytes.end()), value);
    return 0;
}
