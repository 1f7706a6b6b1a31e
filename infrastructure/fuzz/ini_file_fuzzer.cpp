// Any bytes as a settings file: the reader must not crash, and its hashed
// look-ups must agree with the first-match rules.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "infrastructure/ini_file.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void CheckLookups(const CIniFile& ini) {
    const auto& names = ini.GetSectionNames();
    for (size_t i = 0; i < names.size(); ++i) {
        int first = ini.FindSection(names[i]);
        Check(first >= 0 && static_cast<size_t>(first) <= i);
        Check(ini.FoldCase(names[static_cast<size_t>(first)]) == ini.FoldCase(names[i]));
        for (size_t j = 0; j < static_cast<size_t>(first); ++j) {
            Check(ini.FoldCase(names[j]) != ini.FoldCase(names[i]));
        }
        const auto& keys = ini.GetKeyNames(static_cast<int>(i));
        Check(keys.size() == ini.GetValues(static_cast<int>(i)).size());
        for (size_t k = 0; k < keys.size(); ++k) {
            // Keys of one section are unique under folding (last value wins).
            Check(ini.FindKey(static_cast<int>(i), keys[k]) == static_cast<int>(k));
            if (first == static_cast<int>(i)) {
                Check(ini.GetValue(names[i], keys[k]) == ini.GetValues(static_cast<int>(i))[k]);
                ini.GetValueInt(names[i], keys[k], 7);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CIniFile ini;
    bool ok = ini.ReadBytes(bytes);
    Check(ok == false || ini.GetSectionCount() > 0);
    CheckLookups(ini);
    // The same names compared exactly, then folded again.
    ini.SetPath(u"", true);
    CheckLookups(ini);
    ini.SetPath(u"", false);
    CheckLookups(ini);
    int32_t value = 0;
    CIniFile::ParseInt(std::u16string(bytes.begin(), bytes.end()), value);
    return 0;
}
