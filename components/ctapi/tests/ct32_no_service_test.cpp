// The driver without a working PC/SC service (PCSCLITE_CSOCK_NAME names a socket that is not
// there until the last case serves it and never answers), and the trace of these failures.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>

#include "ct32_loader.h"

namespace {

using namespace ct32test;

TEST(Ct32WithoutService, ArgumentsAreCheckedBeforeTheTerminalNumber) {
    Ct32Library ct;
    uint8_t dad = kTerminal;
    uint8_t sad = kHost;
    uint8_t command[] = {0x20, 0x11, 0x00, 0x00};
    uint8_t response[16];
    uint16_t lenr = sizeof response;
    EXPECT_EQ(ct.init(7, 0), kErrInvalid) << "ports count from 1";
    EXPECT_EQ(ct.data(7, nullptr, &sad, 4, command, &lenr, response), kErrInvalid);
    EXPECT_EQ(ct.data(7, &dad, &sad, 4, command, nullptr, response), kErrInvalid);
    EXPECT_EQ(ct.data(7, &dad, &sad, 4, nullptr, &lenr, response), kErrInvalid);
    EXPECT_EQ(ct.data(7, &dad, &sad, 3, command, &lenr, response), kErrInvalid);
    EXPECT_EQ(dad, kTerminal) << "dad and sad are swapped only on success";
    EXPECT_EQ(sad, kHost);
    EXPECT_EQ(lenr, sizeof response);
}

TEST(Ct32Trace, GoesToTheNamedFileAndStopsAtLevelZero) {
    if (std::getenv("CT32_TRACE_LEVEL") != nullptr) {
        GTEST_SKIP() << "CT32_TRACE_LEVEL set: the environment decides the level";
    }
    char path[] = "/tmp/ct32_trace_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("CT32_TRACE_FILE", path, 1);

    Ct32Library ct;
    ct.set_trace_options(1, 1);
    EXPECT_EQ(ct.init(3, 1), kErrHtsi);
    const std::string traced = ReadFile(path);
    EXPECT_NE(traced.find("SCardEstablishContext"), std::string::npos) << traced;
    EXPECT_NE(traced.find("0x8010001D"), std::string::npos) << "the raw PC/SC code\n" << traced;

    ct.set_trace_options(0, 1);
    EXPECT_EQ(ct.init(3, 1), kErrHtsi) << "a failed CT_init leaves nothing behind";
    EXPECT_EQ(ReadFile(path), traced) << "level 0 writes nothing";
    ct.set_trace_options(0, 0);
    unsetenv("CT32_TRACE_FILE");
    unlink(path);
}

// A CT_init waiting for the silent service must not hold up calls on other
// terminals.
TEST(Ct32SlowService, AnOpeningTerminalStallsNoOtherCall) {
    const char* path = std::getenv("PCSCLITE_CSOCK_NAME");
    ASSERT_NE(path, nullptr);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    unlink(path);
    const int server = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(server, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(std::strlen(path), sizeof address.sun_path);
    std::strcpy(address.sun_path, path);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(server, 4), 0);

    Ct32Library ct;
    std::future<int8_t> opening = std::async(std::launch::async, [&] { return ct.init(1, 1); });
    // The first CT_init is inside pcsc-lite now, waiting for an answer.
    const int client = accept(server, nullptr, nullptr);
    ASSERT_GE(client, 0);

    struct Others {
        int8_t again, data, close;
    };
    std::future<Others> others = std::async(std::launch::async, [&] {
        return Others{ct.init(1, 1), Send(ct, 2, kTerminal, {0x20, 0x13, 0x00, 0x80}).result,
                      ct.close(2)};
    });
    // Only a failure waits this long: the calls need no answer from pcscd.
    const bool done = others.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(done) << "calls on other terminals waited for the opening one";
    // pcsc-lite then gives up: no service.
    close(client);
    close(server);
    unlink(path);
    EXPECT_EQ(opening.get(), kErrHtsi);
    const Others result = others.get();
    EXPECT_EQ(result.again, kErrInvalid) << "the terminal number is taken while it opens";
    EXPECT_EQ(result.data, kErrInvalid);
    EXPECT_EQ(result.close, kErrInvalid);
    EXPECT_EQ(ct.close(1), kErrInvalid) << "the failed opening leaves nothing behind";
}

}  // namespace
