// Known folders, module paths, sessions, error texts, the last error and
// files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/codepage.h"
#include "platform/error_text.h"
#include "platform/file.h"
#include "platform/folders.h"
#include "platform/lasterror.h"
#include "platform/library.h"
#include "platform/session.h"
#include "platform/tests/test_support.h"

namespace {

using ml::test::ScopedEnv;
using ml::test::TempDir;

std::u16string W(const std::string& s) {
    return ml::FromUtf8(s);
}

std::u16string Text(DWORD code, DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM) {
    char16_t buffer[512];
    DWORD n = FormatMessageW(flags, nullptr, code, 0, buffer, 512, nullptr);
    return std::u16string(buffer, n);
}

TEST(LastError, IsPerThread) {
    SetLastError(1234);
    DWORD seen = 99;
    std::thread([&] { seen = GetLastError(); }).join();
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Folders, CommonDocuments) {
    char16_t path[MAX_PATH];
    {
        ScopedEnv env("ML_COMMON_DOCUMENTS", "/srv/docs");
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, 0, path), S_OK);
        EXPECT_EQ(std::u16string(path), u"/srv/docs");
    }
    {
        ScopedEnv env("ML_COMMON_DOCUMENTS", nullptr);
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, 0, path), S_OK);
        EXPECT_EQ(std::u16string(path), u"/var/lib/kestrel/documents");
    }
    {
        ScopedEnv env("ML_COMMON_DOCUMENTS", "/" + std::string(MAX_PATH, 'x'));
        EXPECT_TRUE(FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, 0, path)));
    }
    EXPECT_EQ(SHGetFolderPathW(nullptr, 0x0005, nullptr, 0, path), E_INVALIDARG);
}

TEST(Folders, ProgramPathAndTruncation) {
    char16_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::u16string(path, n), W(std::filesystem::read_symlink("/proc/self/exe").string()));

    char16_t small[5];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
    EXPECT_EQ(GetLastError(), ML_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(small), std::u16string(path, 4));
    EXPECT_EQ(ml::PathSeparator(), u'/');
}

TEST(Session, ProcessSessionAndConsoleSession) {
    DWORD session = 12345;
    std::string content = ml::test::ReadFile("/proc/self/sessionid");
    BOOL ok = ProcessIdToSessionId(GetCurrentProcessId(), &session);
    if (content.empty() || content == "4294967295") {
        EXPECT_FALSE(ok);  // no audit session: the caller falls back
    } else {
        ASSERT_TRUE(ok);
        EXPECT_EQ(std::to_string(session), content);
    }
    SetLastError(0);
    EXPECT_FALSE(ProcessIdToSessionId(0x7FFFFFF0u, &session));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));

    {
        ScopedEnv env("XDG_SESSION_ID", "17");
        EXPECT_EQ(WTSGetActiveConsoleSessionId(), 17u);
    }
    {
        ScopedEnv env("XDG_SESSION_ID", "c2");
        EXPECT_EQ(WTSGetActiveConsoleSessionId(), 0u);
    }
    {
        ScopedEnv env("XDG_SESSION_ID", nullptr);
        EXPECT_EQ(WTSGetActiveConsoleSessionId(), 0u);
    }
}

TEST(ErrorText, SystemPcscAndOwnCodes) {
    EXPECT_EQ(Text(ENOENT), u"No such file or directory\r\n");
    // The width flag turns line breaks into blanks, as on Windows.
    EXPECT_EQ(Text(ENOENT, FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                               FORMAT_MESSAGE_MAX_WIDTH_MASK),
              u"No such file or directory ");
    EXPECT_NE(Text(0x8010000Cu).find(u"smart card"), std::u16string::npos);  // no smart card
    EXPECT_FALSE(Text(ML_ERROR_NOT_OWNER).empty());
    EXPECT_EQ(Text(static_cast<DWORD>(0x80040154u)), u"Class not registered.\r\n");

    // The loader's own text of the last failure.
    EXPECT_EQ(LoadLibraryW(u"/nonexistent/libnothing.so"), nullptr);
    EXPECT_EQ(GetLastError(), ML_ERROR_MOD_NOT_FOUND);
    EXPECT_NE(Text(ML_ERROR_MOD_NOT_FOUND).find(u"libnothing.so"), std::u16string::npos);
}

TEST(ErrorText, UnknownCodesAndSmallBuffersFail) {
    char16_t buffer[8];
    SetLastError(0);
    EXPECT_EQ(
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x0ABCDEF1u, 0, buffer, 8, nullptr),
        0u);
    EXPECT_EQ(GetLastError(), ML_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x8010FFFFu, 0, buffer, 8, nullptr),
        0u);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 3999, 0, buffer, 8, nullptr), 0u);
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ENOENT, 0, buffer, 8, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ML_ERROR_INSUFFICIENT_BUFFER);
}

class Files : public ::testing::Test {
  protected:
    std::u16string Path(const std::string& name) { return W(dir_ / name); }
    TempDir dir_;
};

TEST_F(Files, CreateWriteReadSeek) {
    SetLastError(0);
    EXPECT_EQ(CreateFileW(Path("log").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));

    HANDLE file = CreateFileW(Path("log").c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "hello world", 11, &written, nullptr));
    EXPECT_EQ(written, 11u);
    LONGLONG size = 0, position = 0;
    ASSERT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size, 11);
    ASSERT_TRUE(SetFilePointerEx(file, 6, &position, FILE_BEGIN));
    EXPECT_EQ(position, 6);
    char buffer[16] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "world");
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 0u);
    ASSERT_TRUE(SetFilePointerEx(file, 0, &position, FILE_END));
    EXPECT_EQ(position, 11);
    EXPECT_EQ(WaitForSingleObject(file, 0), WAIT_FAILED);
    EXPECT_TRUE(CloseHandle(file));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), ML_ERROR_INVALID_HANDLE);
    EXPECT_FALSE(WriteFile(file, "x", 1, &written, nullptr));

    // A folder is not a file.
    EXPECT_EQ(
        CreateFileW(W(dir_.path()).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(
        CreateFileW(W(dir_.path()).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr),
        INVALID_HANDLE_VALUE);
}

TEST_F(Files, CopyDeleteAndAttributes) {
    ml::test::WriteFile(dir_ / "a.log", "first");
    ml::test::WriteFile(dir_ / "b.log", "second");
    SetLastError(0);
    EXPECT_FALSE(CopyFileW(Path("a.log").c_str(), Path("b.log").c_str(), TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EEXIST));
    EXPECT_EQ(ml::test::ReadFile(dir_ / "b.log"), "second");
    EXPECT_TRUE(CopyFileW(Path("a.log").c_str(), Path("b.log").c_str(), FALSE));
    EXPECT_EQ(ml::test::ReadFile(dir_ / "b.log"), "first");
    EXPECT_TRUE(CopyFileW(Path("a.log").c_str(), Path("c.log").c_str(), TRUE));
    EXPECT_EQ(ml::test::ReadFile(dir_ / "c.log"), "first");
    EXPECT_FALSE(CopyFileW(Path("missing").c_str(), Path("d.log").c_str(), FALSE));
    // No half copies are left behind.
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_.path()))
        ++files;
    EXPECT_EQ(files, 3u);

    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(Path("a.log").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    // FILETIME counts from 1601: any file of this century is past 2020.
    const FILETIME year2020{0x69050000u, 0x01D5C036u};
    EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &year2020), 1);
    EXPECT_EQ(CompareFileTime(&year2020, &data.ftLastWriteTime), -1);
    EXPECT_EQ(CompareFileTime(&year2020, &year2020), 0);
    ASSERT_TRUE(GetFileAttributesExW(W(dir_.path()).c_str(), GetFileExInfoStandard, &data));
    EXPECT_NE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);

    EXPECT_TRUE(DeleteFileW(Path("a.log").c_str()));
    SetLastError(0);
    EXPECT_FALSE(DeleteFileW(Path("a.log").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
    EXPECT_FALSE(GetFileAttributesExW(Path("a.log").c_str(), GetFileExInfoStandard, &data));
}

}  // namespace
