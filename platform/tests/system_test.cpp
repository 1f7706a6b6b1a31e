// Known folders, module paths, sessions, error texts, the last error and
// files.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/codepage.h"
#include "platform/error_text.h"
#include "platform/file.h"
#include "platform/folders.h"
#include "platform/lasterror.h"
#include "platform/library.h"
#include "platform/scard.h"
#include "platform/session.h"
#include "platform/tests/test_support.h"

namespace {

using ml::FromUtf8;
using ml::test::ScopedEnv;

std::u16string Text(DWORD code, DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM, DWORD capacity = 512) {
    char16_t buffer[512];
    DWORD n = FormatMessageW(flags, nullptr, code, 0, buffer, capacity, nullptr);
    return std::u16string(buffer, n);
}

TEST(System, LastErrorFoldersAndSessions) {
    SetLastError(1234);
    DWORD seen = 99;
    std::thread([&] { seen = GetLastError(); }).join();
    EXPECT_EQ(seen, 0u) << "the last error is per thread";
    EXPECT_EQ(GetLastError(), 1234u);

    char16_t path[MAX_PATH];
    for (auto [value, expected] :
         {std::pair<const char*, const char16_t*>{"/srv/docs", u"/srv/docs"},
          {nullptr, u"/var/lib/kestrel/documents"}}) {
        ScopedEnv env("ML_COMMON_DOCUMENTS", value);
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, 0, path), S_OK);
        EXPECT_EQ(std::u16string(path), expected);
    }
    {
        ScopedEnv env("ML_COMMON_DOCUMENTS", "/" + std::string(MAX_PATH, 'x'));
        EXPECT_TRUE(FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, 0, path)));
    }

    // The program's path, also cut to a small buffer.
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::u16string(path, n),
              FromUtf8(std::filesystem::read_symlink("/proc/self/exe").string()));
    char16_t small[5];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
    EXPECT_EQ(GetLastError(), ML_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(small), std::u16string(path, 4));

    DWORD session = 12345;
    std::string content = ml::test::ReadFile("/proc/self/sessionid");
    BOOL ok = ProcessIdToSessionId(GetCurrentProcessId(), &session);
    if (content.empty() || content == "4294967295") {
        EXPECT_FALSE(ok);  // no audit session: the caller falls back
    } else {
        ASSERT_TRUE(ok);
        EXPECT_EQ(std::to_string(session), content);
    }
    EXPECT_FALSE(ProcessIdToSessionId(0x7FFFFFF0u, &session));
    for (auto [value, expected] :
         {std::pair<const char*, DWORD>{"17", 17}, {"c2", 0}, {nullptr, 0}}) {
        ScopedEnv env("XDG_SESSION_ID", value);
        EXPECT_EQ(WTSGetActiveConsoleSessionId(), expected) << (value ? value : "unset");
    }
}

TEST(ErrorText, SystemPcscAndOwnCodesAndFailures) {
    EXPECT_EQ(Text(ENOENT), u"No such file or directory\r\n");
    EXPECT_EQ(Text(static_cast<DWORD>(0x80040154u)), u"Class not registered.\r\n");
    EXPECT_FALSE(Text(ML_ERROR_NOT_OWNER).empty());
    // Every PC/SC result of scard.h has a text of its own, with the meaning
    // Windows gives the code (pcsc-lite's texts differ for some).
    std::istringstream header(ml::test::ReadFile(ML_SCARD_HEADER));
    std::map<std::u16string, std::string> seen;
    const std::regex result(R"(#define (SCARD_[EFPW]_\w+) \(\(LONG\)(0x[0-9A-Fa-f]+)u\))");
    std::smatch m;
    for (std::string line; std::getline(header, line);) {
        if (!std::regex_search(line, m, result))
            continue;
        const std::u16string text = Text(std::stoul(m[2], nullptr, 16));
        EXPECT_FALSE(text.empty()) << m[1];
        if (auto [it, added] = seen.emplace(text, m[1]); !added && !text.empty())
            ADD_FAILURE() << m[1] << " has the text of " << it->second;
    }
    EXPECT_EQ(seen.size(), 60u) << "results found in " ML_SCARD_HEADER;
    EXPECT_EQ(Text(static_cast<DWORD>(SCARD_E_UNSUPPORTED_FEATURE)),
              u"This smart card does not support the requested feature.\r\n");
    // The loader's own text of the last failure; the width flag turns every
    // line break into a blank, a CR LF pair into one.
    EXPECT_EQ(LoadLibraryW(u"/nonexistent/a\rb\nc.so"), nullptr);
    EXPECT_EQ(GetLastError(), ML_ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(
        Text(ML_ERROR_MOD_NOT_FOUND, FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                         FORMAT_MESSAGE_MAX_WIDTH_MASK),
        u"/nonexistent/a b c.so: cannot open shared object file: No such file or directory ");

    // Unknown codes and small buffers fail.
    for (auto [code, error] : {std::pair<DWORD, DWORD>{0x0ABCDEF1u, ML_ERROR_INVALID_PARAMETER},
                               {3999u, ML_ERROR_INVALID_PARAMETER},
                               {ENOENT, ML_ERROR_INSUFFICIENT_BUFFER}}) {
        SetLastError(0);
        EXPECT_EQ(Text(code, FORMAT_MESSAGE_FROM_SYSTEM, 8), u"") << code;
        EXPECT_EQ(GetLastError(), error) << code;
    }
}

class Files : public ::testing::Test {
  protected:
    std::u16string Path(const std::string& name = "") {
        return FromUtf8(name.empty() ? dir_.path() : dir_ / name);
    }
    HANDLE Open(const std::string& name, DWORD access, DWORD disposition) {
        return CreateFileW(Path(name).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    std::string ReadAll(HANDLE file) {
        char buffer[32] = {};
        DWORD read = 0;
        EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
        return std::string(buffer, read);
    }
    ml::test::TempDir dir_;
};

TEST_F(Files, CreateWriteReadSeekAndAppend) {
    SetLastError(0);
    EXPECT_EQ(Open("log", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
    HANDLE file = Open("log", GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "hello world", 11, &written, nullptr));
    EXPECT_EQ(written, 11u);
    LONGLONG position = 0;
    ASSERT_TRUE(SetFilePointerEx(file, 6, &position, FILE_BEGIN));
    EXPECT_EQ(position, 6);
    EXPECT_EQ(ReadAll(file), "world");
    EXPECT_EQ(ReadAll(file), "");
    EXPECT_TRUE(CloseHandle(file));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), ML_ERROR_INVALID_HANDLE);

    // Two appending handles learn the same end; with plain writing the
    // second entry would land on the first.
    HANDLE first = Open("log", FILE_APPEND_DATA, OPEN_ALWAYS);
    HANDLE second = Open("log", FILE_APPEND_DATA, OPEN_ALWAYS);
    for (HANDLE appender : {first, second}) {
        ASSERT_TRUE(SetFilePointerEx(appender, 0, &position, FILE_END));
        EXPECT_EQ(position, 11);
    }
    ASSERT_TRUE(WriteFile(first, "one;", 4, &written, nullptr));
    ASSERT_TRUE(WriteFile(second, "two;", 4, &written, nullptr));
    CloseHandle(first);
    CloseHandle(second);
    file = Open("log", GENERIC_READ, OPEN_EXISTING);
    EXPECT_EQ(ReadAll(file), "hello worldone;two;");
    CloseHandle(file);
    EXPECT_EQ(Open("", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE) << "a folder";
}

TEST_F(Files, CopyDeleteAndAttributes) {
    ml::test::WriteFile(dir_ / "a.log", "first");
    ml::test::WriteFile(dir_ / "b.log", "second");
    auto copy = [&](const char* from, const char* to, BOOL failIfExists) {
        SetLastError(0);
        BOOL ok = CopyFileW(Path(from).c_str(), Path(to).c_str(), failIfExists);
        return ok ? ml::test::ReadFile(dir_ / to) : "error " + std::to_string(GetLastError());
    };
    EXPECT_EQ(copy("a.log", "b.log", TRUE), "error " + std::to_string(EEXIST));
    EXPECT_EQ(ml::test::ReadFile(dir_ / "b.log"), "second");
    EXPECT_EQ(copy("a.log", "b.log", FALSE), "first");
    EXPECT_EQ(copy("a.log", "c.log", TRUE), "first");
    EXPECT_NE(copy("missing", "d.log", FALSE).rfind("error ", 0), std::string::npos);
    auto entries = std::filesystem::directory_iterator(dir_.path());
    EXPECT_EQ(std::distance(begin(entries), end(entries)), 3) << "no half copies are left";

    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(Path("a.log").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    // FILETIME counts from 1601: any file of this century is past 2020.
    const FILETIME year2020{0x69050000u, 0x01D5C036u};
    EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &year2020), 1);
    EXPECT_EQ(CompareFileTime(&year2020, &data.ftLastWriteTime), -1);

    EXPECT_TRUE(DeleteFileW(Path("a.log").c_str()));
    SetLastError(0);
    EXPECT_FALSE(DeleteFileW(Path("a.log").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
    EXPECT_FALSE(GetFileAttributesExW(Path("a.log").c_str(), GetFileExInfoStandard, &data));
}

}  // namespace
