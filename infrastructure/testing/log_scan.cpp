#include "infrastructure/testing/log_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/codepage.h"

namespace mltest {

size_t ExpectNoSecretInLogs(const std::string& directory, std::u16string_view secret) {
    if (secret.empty()) {
        ADD_FAILURE() << "ExpectNoSecretInLogs needs a non-empty secret";
        return 0;
    }
    std::vector<std::string> forms;
    forms.push_back(ml::ToUtf8(secret));
    std::string ansi = ml::ToAnsi(secret);
    if (ansi != forms[0]) {
        forms.push_back(ansi);
    }
    std::string utf16;
    for (char16_t c : secret) {
        utf16.push_back(static_cast<char>(c & 0xFF));
        utf16.push_back(static_cast<char>(c >> 8));
    }
    forms.push_back(utf16);

    size_t scanned = 0;
    std::error_code error;
    namespace fs = std::filesystem;
    for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        if (!it->is_regular_file(error)) {
            continue;
        }
        std::ifstream in(it->path(), std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ++scanned;
        for (size_t form = 0; form < forms.size(); ++form) {
            size_t at = content.find(forms[form]);
            if (at != std::string::npos) {
                ADD_FAILURE() << "a password was written to " << it->path().string() << " at byte "
                              << at << " (form " << form << ")";
            }
        }
    }
    if (error) {
        ADD_FAILURE() << "cannot scan " << directory << ": " << error.message();
    }
    return scanned;
}

std::vector<std::string> LogEntries(const std::string& text) {
    // Header and line of each entry, the empty lines before entries left out.
    std::vector<std::string> lines, entries;
    for (size_t start = 0, end = 0; start <= text.size(); start = end + 2) {
        end = std::min(text.find("\r\n", start), text.size());
        if (end > start) {
            lines.push_back(text.substr(start, end - start));
        }
    }
    for (size_t i = 0; i + 1 < lines.size(); i += 2) {
        const std::string& header = lines[i];
        std::string method = header.substr(std::min(header.find(" - ") + 3, header.size()));
        method.resize(std::min(method.find(" \t\t\t[ThreadID: "), method.size()));
        const size_t from = std::min(lines[i + 1].find_first_not_of('\t'), lines[i + 1].size());
        entries.push_back(method + "|" + lines[i + 1].substr(from));
    }
    return entries;
}

}  // namespace mltest
