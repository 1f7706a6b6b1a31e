// Loading libraries, module handles and string tables.
#include "platform/library.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/folders.h"
#include "platform/lasterror.h"
#include "platform/string_table.h"
#include "platform/tests/test_support.h"

namespace {

using ml::FromUtf8;

constexpr DWORD kFromAddress =
    GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;

class Library : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(language_ != nullptr && plain_ != nullptr); }
    void TearDown() override {
        EXPECT_TRUE(FreeLibrary(language_));
        EXPECT_TRUE(plain_ == nullptr || FreeLibrary(plain_));
    }
    std::u16string Load(UINT id, int capacity = 256) {
        std::u16string buffer(static_cast<size_t>(capacity), u'#');
        int n = LoadStringW(language_, id, buffer.data(), capacity);
        EXPECT_EQ(buffer[static_cast<size_t>(n)], 0);
        return buffer.substr(0, static_cast<size_t>(n));
    }
    std::u16string FileName(HMODULE module) {
        char16_t path[MAX_PATH];
        DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
        EXPECT_GT(n, 0u);
        return std::u16string(path, n);
    }
    HMODULE language_ = LoadLibraryW(FromUtf8(ML_TEST_LANGUAGE_LIBRARY).c_str());
    HMODULE plain_ = LoadLibraryW(FromUtf8(ML_TEST_PLAIN_LIBRARY).c_str());
};

TEST_F(Library, ProcAddressAndModuleHandleFromAnAddress) {
    auto answer = reinterpret_cast<int (*)()>(GetProcAddress(plain_, "MlTestPlainAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(plain_, "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), ML_ERROR_PROC_NOT_FOUND);

    HMODULE found = nullptr;
    auto address = reinterpret_cast<LPCWSTR>(answer);
    ASSERT_TRUE(GetModuleHandleExW(kFromAddress, address, &found));
    EXPECT_EQ(found, plain_);
    EXPECT_EQ(FileName(plain_), FromUtf8(ML_TEST_PLAIN_LIBRARY));
    // An address of the program itself names the program.
    static int own = 0;
    ASSERT_TRUE(GetModuleHandleExW(kFromAddress, reinterpret_cast<LPCWSTR>(&own), &found));
    EXPECT_EQ(FileName(found), FileName(nullptr));

    // A counted handle keeps the library loaded until it is freed too.
    HMODULE counted = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, address, &counted));
    EXPECT_TRUE(FreeLibrary(plain_));
    plain_ = nullptr;
    void* probe = ::dlopen(ML_TEST_PLAIN_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(probe, nullptr);
    ::dlclose(probe);
    EXPECT_TRUE(FreeLibrary(counted));
    EXPECT_EQ(::dlopen(ML_TEST_PLAIN_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST_F(Library, StringTableTextsTruncationAndFailures) {
    EXPECT_EQ(Load(1), u"Card inserted");
    EXPECT_EQ(Load(2), u"Line one\nLine two\tTabbed \\ done");
    EXPECT_EQ(Load(100), u"Gr\u00fc\u00dfe \u65e5\u672c \U0001F600 \"quoted\"");
    EXPECT_EQ(Load(65535), u"Last");
    // Cut at the capacity, with room for the terminator.
    EXPECT_EQ(Load(1, 14), u"Card inserted");
    EXPECT_EQ(Load(1, 13), u"Card inserte");

    // A missing number, an empty text, a library without a table, no room.
    for (auto [module, id, capacity, error] :
         {std::tuple{language_, 3u, 16, ML_ERROR_RESOURCE_NAME_NOT_FOUND},
          {language_, 200u, 16, DWORD{0}},
          {plain_, 1u, 16, ML_ERROR_RESOURCE_DATA_NOT_FOUND},
          {language_, 1u, 0, ML_ERROR_INVALID_PARAMETER}}) {
        char16_t buffer[16] = {u'#'};
        SetLastError(0);
        EXPECT_EQ(LoadStringW(module, id, buffer, capacity), 0) << id;
        EXPECT_EQ(GetLastError(), error) << id;
        EXPECT_EQ(buffer[0], capacity ? 0 : u'#') << id;
    }
    SetLastError(0);
    EXPECT_EQ(LoadStringW(language_, 1, nullptr, 16), 0);
    EXPECT_EQ(GetLastError(), ML_ERROR_INVALID_PARAMETER);
}

// The generator refuses a bad source, names the line and writes nothing.
TEST(Generator, BadSourcesFailWithTheLineNamed) {
    ml::test::TempDir dir;
    auto run = [&](const std::string& source, std::string& errors) {
        ml::test::WriteFile(dir / "in.txt", source);
        std::string command = std::string("'") + ML_STRING_TABLE_GEN + "' '" + (dir / "in.txt") +
                              "' '" + (dir / "out.cpp") + "' 2>'" + (dir / "err.txt") + "'";
        int status = std::system(command.c_str());
        errors = ml::test::ReadFile(dir / "err.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const std::pair<const char*, const char*> cases[] = {
        {"1\tone\n# note\n1\tagain\n",
         "in.txt:3: error: message number 1 already defined on line 1"},
        {"\n\n0x10\tsixteen\n", "in.txt:3: error: \"0x10\" is not a decimal"},
        {"1\tok\n2\tbad \xC3 utf-8\n", "in.txt:2: error: invalid UTF-8"},
    };
    std::string errors;
    for (const auto& [source, expected] : cases) {
        EXPECT_NE(run(source, errors), 0) << source;
        EXPECT_NE(errors.find(expected), std::string::npos) << errors;
        EXPECT_FALSE(std::filesystem::exists(dir / "out.cpp"));
    }
    EXPECT_EQ(run("\xEF\xBB\xBF"
                  "1\tone\r\n",
                  errors),
              0)
        << errors;
    EXPECT_NE(ml::test::ReadFile(dir / "out.cpp").find("{1u, u\"one\"}"), std::string::npos);
}

}  // namespace
