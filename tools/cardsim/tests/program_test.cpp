// mlcardsim as a program: its command line, exit statuses and the vpcd protocol, against a
// fake vpcd slot that this test serves itself (no pcscd needed).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "cardsim/card.h"
#include "test_util.h"

namespace cardsim {
namespace {

using test::H;

constexpr int kIoTimeoutMs = 10000;  // only a guard against a hanging test

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, kIoTimeoutMs) == 1;
}

// A listening TCP socket on 127.0.0.1 standing in for one vpcd slot.
class FakeVpcd {
  public:
    FakeVpcd() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len), 0);
        EXPECT_EQ(::listen(listener_, 1), 0);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~FakeVpcd() {
        ::close(card_);
        ::close(listener_);
    }
    std::string port(int less = 0) const { return std::to_string(port_ - less); }
    bool Accept() {
        card_ = Readable(listener_) ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        return card_ >= 0;
    }
    void Send(std::string_view hex) {
        const Bytes message = H(hex);
        Bytes frame = {static_cast<std::uint8_t>(message.size() >> 8),
                       static_cast<std::uint8_t>(message.size())};
        frame.insert(frame.end(), message.begin(), message.end());
        ASSERT_EQ(::send(card_, frame.data(), frame.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(frame.size()));
    }
    // The next message from the card; nullopt when it closed the connection.
    std::optional<Bytes> Receive() {
        Bytes header(2);
        if (!ReadExactly(header)) {
            return std::nullopt;
        }
        Bytes message(static_cast<std::size_t>(header[0] << 8 | header[1]));
        return message.empty() || ReadExactly(message) ? std::optional(message) : std::nullopt;
    }
    std::optional<Bytes> Ask(std::string_view hex) {
        Send(hex);
        return Receive();
    }

  private:
    bool ReadExactly(Bytes& buf) {
        if (!Readable(card_)) {
            ADD_FAILURE() << "no message from mlcardsim";
            return false;
        }
        return ::recv(card_, buf.data(), buf.size(), MSG_WAITALL) == ssize_t(buf.size());
    }

    int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int card_ = -1;
    int port_ = 0;
};

// One run of `mlcardsim --family FAMILY --image IMAGE ARGS...`, its output in IMAGE.log.
class Program {
  public:
    Program(const char* family, const std::string& image, std::vector<std::string> args,
            const char* vpcd_port = nullptr)
        : log_(image + ".log") {
        args.insert(args.begin(), {ML_CARDSIM_PROGRAM, "--family", family, "--image", image});
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::alarm(3 * kIoTimeoutMs / 1000);  // a hanging mlcardsim ends with SIGALRM
            vpcd_port ? ::setenv("ML_VPCD_PORT", vpcd_port, 1) : ::unsetenv("ML_VPCD_PORT");
            std::vector<char*> argv;
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
    }
    void Signal(int sig) { ::kill(pid_, sig); }

    // Returns the exit status, or -1 for an end by a signal.
    int Wait() {
        int status = 0;
        ::waitpid(std::exchange(pid_, -1), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Output() const { return test::ReadText(log_); }

  private:
    std::string log_;
    pid_t pid_ = -1;
};

class ProgramTest : public ::testing::Test {
  protected:
    test::TempDir dir_;
    std::string image_ = dir_.File("card.img");
};

TEST_F(ProgramTest, HelpAndExitStatusesOfBadArgumentsAndImages) {
    EXPECT_EQ(Program("generic", image_, {"--help"}).Wait(), 0);
    // Arguments, ML_VPCD_PORT, image text, exit status, complaint.
    using Case = std::tuple<std::vector<std::string>, const char*, const char*, int, std::string>;
    const Case cases[] = {
        {{"--slot", "x"}, nullptr, nullptr, 2, "--slot must be a number"},
        {{}, "port", nullptr, 2, "ML_VPCD_PORT"},
        {{"--port", "1"}, nullptr, "mlcardsim-image 1\nx\n", 3, image_ + " line 2"},
        {{"--image", dir_.File("no/x"), "--port", "1"}, nullptr, nullptr, 3, "cannot write image"},
    };
    for (const auto& [args, vpcd_port, image_text, status, complaint] : cases) {
        SCOPED_TRACE(complaint);
        if (image_text != nullptr) {
            test::WriteText(image_, image_text);
        }
        Program p("class80", image_, args, vpcd_port);
        EXPECT_EQ(p.Wait(), status);
        EXPECT_NE(p.Output().find(complaint), std::string::npos);
    }
}

TEST_F(ProgramTest, MissingVpcdExitsWithStatus4AfterRetrying) {
    const std::string port = FakeVpcd().port();  // free a moment ago, closed
    Program p("generic", image_, {"--port", port});
    EXPECT_EQ(p.Wait(), 4);
    EXPECT_NE(p.Output().find("no vpcd reader on 127.0.0.1:" + port), std::string::npos);
}

TEST_F(ProgramTest, ConversationUntilTheReaderCloses) {
    std::optional<FakeVpcd> vpcd(std::in_place);
    // Slot 1 of a vpcd whose first slot is one port below.
    Program p("class80", image_, {"--slot", "1", "--verbose"}, vpcd->port(1).c_str());
    ASSERT_TRUE(vpcd->Accept());
    EXPECT_EQ(vpcd->Ask("04"), AtrOf(Family::class80));
    EXPECT_EQ(vpcd->Ask("00 A4 02 0C 02 2F 02"), H("90 00"));
    // Power off, power on, reset and unknown control codes get no answer; a power-on resets the
    // card, so the next command finds no current EF.
    for (const char* quiet : {"00", "01", "02", "7F"}) {
        vpcd->Send(quiet);
    }
    for (const auto& [command, answer] :
         {std::pair{"00 B0 00 00 01", "69 86"},
          {"80 E0 00 00 23 81 02 00 04 82 01 01 83 02 55 33 85 02 01 00 86 12 60 00 00 00 FF "
           "FF D6 00 00 00 FF FF B0 00 00 00 FF FF",
           "90 00"},
          {"00 D6 00 00 04 C3 A7 E5 91", "90 00"},  // a "password"
          {"00 B0 00 00 04", "C3 A7 E5 91 90 00"}}) {
        EXPECT_EQ(vpcd->Ask(command), H(answer)) << command;
    }
    vpcd.reset();  // as when pcscd ends
    EXPECT_EQ(p.Wait(), 1);
    const std::string log = p.Output();
    EXPECT_NE(log.find("the reader closed the connection"), std::string::npos) << log;
    EXPECT_NE(log.find("00D60000"), std::string::npos) << "--verbose logs the traffic";
    for (const char* secret : {"C3A7E591", "C3 A7", "c3a7"}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << "file content in the log:\n" << log;
    }
    EXPECT_EQ(Card(Family::class80, image_).FileData(0x5533), H("C3 A7 E5 91"));
}

TEST_F(ProgramTest, FaultModes) {
    FakeVpcd vpcd;
    Program p(
        "generic", image_,
        {"--port", vpcd.port(), "--stop-after", "2", "--answer-sw", "A4=6A82", "--delay-ms", "20"});
    ASSERT_TRUE(vpcd.Accept());
    EXPECT_EQ(vpcd.Ask("00 A4 00 00 02 3F 00"), H("6A 82")) << "--answer-sw";
    EXPECT_EQ(vpcd.Ask("04"), AtrOf(Family::generic)) << "control codes are not counted";
    EXPECT_EQ(vpcd.Ask("00 B0 00 00 01"), H("69 86"));
    EXPECT_EQ(vpcd.Ask("00 B0 00 00 01").value_or(Bytes{}).size(), 0xFFFFu) << "--stop-after";
    EXPECT_EQ(vpcd.Ask("04"), AtrOf(Family::generic)) << "the card stays";
    p.Signal(SIGINT);
    EXPECT_EQ(vpcd.Receive(), std::nullopt) << "the card is removed by closing";
    EXPECT_EQ(p.Wait(), 0);

    FakeVpcd vpcd2;
    Program pulled("generic", image_,
                   {"--port", vpcd2.port(), "--remove-after", "2", "--refuse-file", "5511=6982"});
    ASSERT_TRUE(vpcd2.Accept());
    EXPECT_EQ(vpcd2.Ask("00 A4 02 0C 02 55 11"), H("69 82")) << "--refuse-file";
    EXPECT_EQ(vpcd2.Ask("00 A4 00 0C 02 3F 00"), H("90 00"));
    EXPECT_EQ(vpcd2.Ask("00 B0 00 00 01"), std::nullopt) << "--remove-after: pulled, no answer";
    EXPECT_EQ(pulled.Wait(), 0);
}

}  // namespace
}  // namespace cardsim
