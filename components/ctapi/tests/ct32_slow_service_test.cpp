// The driver with a PC/SC service that accepts a client and then never
// answers: CTest points PCSCLITE_CSOCK_NAME at a socket this test serves.
// A CT_init waiting for it must not hold up calls on other terminals.
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
#include <thread>

#include "ct32_loader.h"

namespace {

using namespace ct32test;

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
