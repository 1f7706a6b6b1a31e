// Generates the C++ source of a language library's string table from its
// UTF-8 text source:
//
//     ml_string_table_gen SOURCE.txt OUTPUT.cpp
//
// Source format: one message per line, "NUMBER<TAB>TEXT"; empty lines and
// lines starting with "#" are skipped; in TEXT "\n", "\t" and "\\" stand for
// a line feed, a tab and a backslash. Errors name the file and line
// ("file:line: error: ...") and leave no output behind.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

namespace {

struct Failure {
    size_t line;
    std::string what;
};

// Decodes UTF-8 into code points; throws on a bad sequence.
std::u32string DecodeUtf8(const std::string& text, size_t line) {
    std::u32string out;
    for (size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        size_t len = b < 0x80             ? 1
                     : (b & 0xE0) == 0xC0 ? 2
                     : (b & 0xF0) == 0xE0 ? 3
                     : (b & 0xF8) == 0xF0 ? 4
                                          : 0;
        if (len == 0 || i + len > text.size())
            throw Failure{line, "invalid UTF-8"};
        char32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        for (size_t k = 1; k < len; ++k) {
            auto cb = static_cast<unsigned char>(text[i + k]);
            if ((cb & 0xC0) != 0x80)
                throw Failure{line, "invalid UTF-8"};
            c = (c << 6) | (cb & 0x3F);
        }
        static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            throw Failure{line, "invalid UTF-8"};
        out += c;
        i += len;
    }
    return out;
}

// The text as the body of a u"" literal: printable ASCII as it is, the rest
// as escapes, so the generated file is plain ASCII.
std::string Literal(const std::u32string& text) {
    std::string out;
    char buffer[16];
    for (char32_t c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (c < 0xA0) {
            // Universal names below U+00A0 are not allowed: octal instead.
            std::snprintf(buffer, sizeof buffer, "\\%03o", static_cast<unsigned>(c));
            out += buffer;
        } else if (c < 0x10000) {
            std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(c));
            out += buffer;
        } else {
            std::snprintf(buffer, sizeof buffer, "\\U%08X", static_cast<unsigned>(c));
            out += buffer;
        }
    }
    return out;
}

std::map<uint32_t, std::u32string> Parse(std::istream& in) {
    std::map<uint32_t, std::u32string> table;
    std::map<uint32_t, size_t> definedAt;
    std::string line;
    for (size_t number = 1; std::getline(in, line); ++number) {
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0)
            line.erase(0, 3);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        size_t tab = line.find('\t');
        if (tab == std::string::npos)
            throw Failure{number, "no tab between number and text"};
        std::string digits = line.substr(0, tab);
        if (digits.empty() || digits.size() > 10 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            throw Failure{number, "\"" + digits + "\" is not a decimal message number"};
        uint64_t id = std::stoull(digits);
        if (id > UINT32_MAX)
            throw Failure{number, "message number " + digits + " is too large"};
        std::string text;
        for (size_t i = tab + 1; i < line.size(); ++i) {
            if (line[i] != '\\') {
                text += line[i];
                continue;
            }
            char next = i + 1 < line.size() ? line[i + 1] : '\0';
            if (next == 'n') {
                text += '\n';
            } else if (next == 't') {
                text += '\t';
            } else if (next == '\\') {
                text += '\\';
            } else {
                throw Failure{number, "unknown escape \"\\" + std::string(next ? 1 : 0, next) +
                                          "\" (only \\n, \\t and \\\\ exist)"};
            }
            ++i;
        }
        auto key = static_cast<uint32_t>(id);
        if (auto it = definedAt.find(key); it != definedAt.end())
            throw Failure{number, "message number " + digits + " already defined on line " +
                                      std::to_string(it->second)};
        definedAt[key] = number;
        table[key] = DecodeUtf8(text, number);
    }
    return table;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: ml_string_table_gen SOURCE.txt OUTPUT.cpp\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::cerr << argv[1] << ": error: cannot open the file\n";
        return 1;
    }
    std::map<uint32_t, std::u32string> table;
    try {
        table = Parse(in);
    } catch (const Failure& failure) {
        std::cerr << argv[1] << ":" << failure.line << ": error: " << failure.what << "\n";
        return 1;
    }
    std::ostringstream out;
    out << "// Generated by ml_string_table_gen from " << argv[1] << ". Do not edit.\n"
        << "#include \"platform/string_table.h\"\n\n"
        << "namespace {\n"
        << "constexpr MlStringEntry kEntries[] = {\n";
    for (const auto& [id, text] : table)
        out << "    {" << id << "u, u\"" << Literal(text) << "\"},\n";
    if (table.empty())
        out << "    {0u, nullptr},\n";
    out << "};\n"
        << "}  // namespace\n\n"
        << "extern \"C\" __attribute__((visibility(\"default\"))) const MlStringEntry* "
           "MlStringTable(\n"
        << "    size_t* count) {\n"
        << "    if (count != nullptr) *count = " << table.size() << ";\n"
        << "    return kEntries;\n"
        << "}\n";
    std::string temp = std::string(argv[2]) + ".tmp";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file << out.str();
        if (!file.flush()) {
            std::cerr << argv[2] << ": error: cannot write the file\n";
            std::remove(temp.c_str());
            return 1;
        }
    }
    if (std::rename(temp.c_str(), argv[2]) != 0) {
        std::cerr << argv[2] << ": error: cannot write the file\n";
        std::remove(temp.c_str());
        return 1;
    }
    return 0;
}
