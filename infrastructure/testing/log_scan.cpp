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
    std::string utf16;
    for (char16_t c : secret)
        utf16 += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    const std::string forms[] = {ml::ToUtf8(secret), ml::ToAnsi(secret), utf16};

    size_t scanned = 0;
    std::error_code error;
    namespace fs = std::filesystem;
    for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        if (!it->is_regular_file(error))
            continue;
        std::ifstream in(it->path(), std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ++scanned;
        for (size_t form = 0; form < std::size(forms); ++form) {
            // The ANSI form is looked for only where it differs from UTF-8.
            const size_t at =
                form == 1 && forms[1] == forms[0] ? std::string::npos : content.find(forms[form]);
            if (at != std::string::npos)
                ADD_FAILURE() << "a password was written to " << it->path().string() << " at byte "
                              << at << " (form " << form << ")";
        }
    }
    if (error)
        ADD_FAILURE() << "cannot scan " << directory << ": " << error.message();
    return scanned;
}

LogTail::LogTail(std::string path, std::string method)
    : path_(std::move(path)), method_(std::move(method)) {
    Next();
}

std::vector<std::string> LogTail::Next() {
    std::ifstream in(path_, std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    // Header and line of each entry; the empty lines before entries left out.
    std::vector<std::string> lines, entries;
    for (size_t start = std::min(seen_, text.size()), end = 0; start < text.size();
         start = end + 2) {
        end = std::min(text.find("\r\n", start), text.size());
        if (end > start)
            lines.push_back(text.substr(start, end - start));
    }
    seen_ = text.size();
    for (size_t i = 0; i + 1 < lines.size(); i += 2) {
        std::string method = lines[i].substr(std::min(lines[i].find(" - ") + 3, lines[i].size()));
        method.resize(std::min(method.find(" \t\t\t[ThreadID: "), method.size()));
        if (!method.starts_with(method_))
            continue;
        if (!method_.empty() && i >= 2 && lines[i - 2].ends_with(" - "))
            entries.push_back("|");
        const std::string& line = lines[i + 1];
        entries.push_back(method + "|" +
                          line.substr(std::min(line.find_first_not_of('\t'), line.size())));
    }
    return entries;
}

}  // namespace mltest
