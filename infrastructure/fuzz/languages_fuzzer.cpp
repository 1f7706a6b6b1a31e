// Any bytes as "languages.ini": no crash, the three lists stay parallel.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "infrastructure/language_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::u16string text = ml_infra::DecodeTextFile(bytes);
    CLanguageTable table = ml_infra::ParseLanguageTable(text);
    if (table.names.size() != table.languageIds.size() ||
        table.names.size() != table.letters.size()) {
        std::abort();
    }
    for (const std::u16string& name : table.names) {
        if (name.find_first_of(u"\r\n\t") != std::u16string::npos ||
            (!name.empty() && (name[0] == u' ' || name[0] == u';'))) {
            std::abort();
        }
    }
    return 0;
}
