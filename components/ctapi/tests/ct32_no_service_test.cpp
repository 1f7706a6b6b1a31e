// The driver without a PC/SC service: CTest points PCSCLITE_CSOCK_NAME at a
// socket that does not exist. Also the trace switches, whose lines these
// failures produce.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
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

}  // namespace
