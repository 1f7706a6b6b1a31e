// Loading libraries, module handles and string tables.
#include "platform/library.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "platform/codepage.h"
#include "platform/error_text.h"
#include "platform/folders.h"
#include "platform/lasterror.h"
#include "platform/string_table.h"
#include "platform/tests/test_support.h"

namespace {

std::u16string W(const std::string& s) {
    return ml::FromUtf8(s);
}

class Library : public ::testing::Test {
  protected:
    void SetUp() override {
        language_ = LoadLibraryW(W(ML_TEST_LANGUAGE_LIBRARY).c_str());
        plain_ = LoadLibraryW(W(ML_TEST_PLAIN_LIBRARY).c_str());
        ASSERT_NE(language_, nullptr);
        ASSERT_NE(plain_, nullptr);
    }
    void TearDown() override {
        if (language_) {
            EXPECT_TRUE(FreeLibrary(language_));
        }
        if (plain_) {
            EXPECT_TRUE(FreeLibrary(plain_));
        }
    }
    std::u16string Load(UINT id, int capacity = 256) {
        std::u16string buffer(static_cast<size_t>(capacity), u'#');
        int n = LoadStringW(language_, id, buffer.data(), capacity);
        EXPECT_EQ(buffer[static_cast<size_t>(n)], 0);
        return buffer.substr(0, static_cast<size_t>(n));
    }
    HMODULE language_ = nullptr;
    HMODULE plain_ = nullptr;
};

TEST_F(Library, ProcAddressAndLoaderErrors) {
    auto answer = reinterpret_cast<int (*)()>(GetProcAddress(plain_, "MlTestPlainAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);

    SetLastError(0);
    EXPECT_EQ(GetProcAddress(plain_, "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), ML_ERROR_PROC_NOT_FOUND);
    char16_t text[512];
    ASSERT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ML_ERROR_PROC_NOT_FOUND, 0, text,
                             512, nullptr),
              0u);
    EXPECT_NE(std::u16string(text).find(u"NoSuchFunction"), std::u16string::npos);

    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(u"libdoesnotexist.so"), nullptr);
    EXPECT_EQ(GetLastError(), ML_ERROR_MOD_NOT_FOUND);
}

TEST_F(Library, ModuleHandleFromAnAddress) {
    auto answer = GetProcAddress(plain_, "MlTestPlainAnswer");
    HMODULE found = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(answer), &found));
    EXPECT_EQ(found, plain_);

    char16_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(plain_, path, MAX_PATH);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::u16string(path, n), W(ML_TEST_PLAIN_LIBRARY));

    // An address of the program itself names the program.
    static int own = 0;
    ASSERT_TRUE(GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&own), &found));
    char16_t program[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(found, path, MAX_PATH), 0u);
    ASSERT_GT(GetModuleFileNameW(nullptr, program, MAX_PATH), 0u);
    EXPECT_EQ(std::u16string(path), std::u16string(program));
}

TEST_F(Library, CountedModuleHandleIsBalancedByFreeLibrary) {
    auto answer = GetProcAddress(plain_, "MlTestPlainAnswer");
    HMODULE counted = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                   reinterpret_cast<LPCWSTR>(answer), &counted));
    EXPECT_TRUE(FreeLibrary(plain_));
    plain_ = nullptr;
    // Still loaded: the counted handle holds it.
    void* probe = ::dlopen(ML_TEST_PLAIN_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(probe, nullptr);
    ::dlclose(probe);
    EXPECT_TRUE(FreeLibrary(counted));
    EXPECT_EQ(::dlopen(ML_TEST_PLAIN_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST_F(Library, StringTableTexts) {
    EXPECT_EQ(Load(1), u"Card inserted");
    EXPECT_EQ(Load(2), u"Line one\nLine two\tTabbed \\ done");
    EXPECT_EQ(Load(100), u"Gr\u00fc\u00dfe \u65e5\u672c \U0001F600 \"quoted\"");
    EXPECT_EQ(Load(65535), u"Last");
}

TEST_F(Library, StringTableFailures) {
    char16_t buffer[16];
    SetLastError(0);
    EXPECT_EQ(LoadStringW(language_, 3, buffer, 16), 0);
    EXPECT_EQ(GetLastError(), ML_ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(buffer[0], 0);
    // An empty text also gives 0, without an error.
    SetLastError(0);
    EXPECT_EQ(LoadStringW(language_, 200, buffer, 16), 0);
    EXPECT_EQ(GetLastError(), 0u);

    SetLastError(0);
    EXPECT_EQ(LoadStringW(plain_, 1, buffer, 16), 0);
    EXPECT_EQ(GetLastError(), ML_ERROR_RESOURCE_DATA_NOT_FOUND);

    SetLastError(0);
    EXPECT_EQ(LoadStringW(language_, 1, nullptr, 16), 0);
    EXPECT_EQ(GetLastError(), ML_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(LoadStringW(language_, 1, buffer, 0), 0);
}

TEST_F(Library, StringTableTruncatesAtCapacity) {
    EXPECT_EQ(Load(1, 5), u"Card");
    EXPECT_EQ(Load(1, 1), u"");
    EXPECT_EQ(Load(1, 14), u"Card inserted");
    EXPECT_EQ(Load(1, 13),
              u"Card insert"
              u"e");
}

// The generator refuses a bad source and names the line.
class Generator : public ::testing::Test {
  protected:
    // Runs the generator; returns its exit status and its error output.
    int Run(const std::string& source, std::string& errors) {
        ml::test::WriteFile(dir_ / "in.txt", source);
        std::string command = std::string("'") + ML_STRING_TABLE_GEN + "' '" + (dir_ / "in.txt") +
                              "' '" + (dir_ / "out.cpp") + "' 2>'" + (dir_ / "err.txt") + "'";
        int status = std::system(command.c_str());
        errors = ml::test::ReadFile(dir_ / "err.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ml::test::TempDir dir_;
};

TEST_F(Generator, BadSourcesFailWithTheLineNamed) {
    struct Case {
        const char* source;
        const char* expected;
    } cases[] = {
        {"1\tone\n# note\n1\tagain\n",
         "in.txt:3: error: message number 1 already defined on line 1"},
        {"1\tone\n2 two\n", "in.txt:2: error: no tab"},
        {"\n\n0x10\tsixteen\n", "in.txt:3: error: \"0x10\" is not a decimal"},
        {"-1\tminus\n", "in.txt:1: error"},
        {"4294967296\tbig\n", "in.txt:1: error: message number 4294967296 is too large"},
        {"1\tbad \\q escape\n", "in.txt:1: error: unknown escape"},
        {"1\tok\n2\tbad \xC3 utf-8\n", "in.txt:2: error: invalid UTF-8"},
    };
    for (const auto& c : cases) {
        std::string errors;
        EXPECT_NE(Run(c.source, errors), 0) << c.source;
        EXPECT_NE(errors.find(c.expected), std::string::npos) << errors;
        EXPECT_FALSE(std::filesystem::exists(dir_ / "out.cpp"));
    }
    std::string errors;
    EXPECT_EQ(Run("\xEF\xBB\xBF"
                  "1\tone\r\n",
                  errors),
              0)
        << errors;
    EXPECT_NE(ml::test::ReadFile(dir_ / "out.cpp").find("{1u, u\"one\"}"), std::string::npos);
}

}  // namespace
