// mlcardsim as a program: its command line, exit statuses and the vpcd protocol, against a
// fake vpcd slot that this test serves itself (no pcscd needed).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "cardsim/card.h"
#include "test_util.h"

extern char** environ;

namespace cardsim {
namespace {

using test::H;

constexpr int kIoTimeoutMs = 10000;  // only a guard against a hanging test

// A listening TCP socket on 127.0.0.1 standing in for one vpcd slot.
class FakeVpcd {
  public:
    FakeVpcd() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener_, 1) != 0) {
            ADD_FAILURE() << "cannot listen";
        }
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~FakeVpcd() {
        if (card_ >= 0) {
            ::close(card_);
        }
        ::close(listener_);
    }
    int port() const { return port_; }

    bool Accept() {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, kIoTimeoutMs) != 1) {
            return false;
        }
        card_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return card_ >= 0;
    }
    void Send(const Bytes& message) {
        Bytes frame = {static_cast<std::uint8_t>(message.size() >> 8),
                       static_cast<std::uint8_t>(message.size())};
        frame.insert(frame.end(), message.begin(), message.end());
        ASSERT_EQ(::send(card_, frame.data(), frame.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(frame.size()));
    }
    // The next message from the card; nullopt when it closed the connection.
    std::optional<Bytes> Receive() {
        std::uint8_t header[2];
        if (!ReadExactly(header, 2)) {
            return std::nullopt;
        }
        Bytes message(static_cast<std::size_t>(header[0] << 8 | header[1]));
        if (!ReadExactly(message.data(), message.size())) {
            return std::nullopt;
        }
        return message;
    }
    void CloseCard() {
        ::close(card_);
        card_ = -1;
    }

  private:
    bool ReadExactly(std::uint8_t* buf, std::size_t n) {
        std::size_t done = 0;
        while (done < n) {
            pollfd p{card_, POLLIN, 0};
            if (::poll(&p, 1, kIoTimeoutMs) != 1) {
                ADD_FAILURE() << "no message from mlcardsim";
                return false;
            }
            const ssize_t r = ::recv(card_, buf + done, n - done, 0);
            if (r <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(r);
        }
        return true;
    }

    int listener_ = -1;
    int card_ = -1;
    int port_ = 0;
};

// One run of mlcardsim with its output captured.
class Program {
  public:
    explicit Program(std::vector<std::string> args, std::vector<std::string> env_extra = {}) {
        args.insert(args.begin(), ML_CARDSIM_PROGRAM);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::string_view(*e).starts_with("ML_VPCD_PORT=")) {
                continue;
            }
            env.emplace_back(*e);
        }
        env.insert(env.end(), env_extra.begin(), env_extra.end());
        std::vector<char*> envp;
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);

        int out[2];
        int err[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        EXPECT_EQ(::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
        ::close(out_);
        ::close(err_);
    }
    void Signal(int sig) { ::kill(pid_, sig); }

    // Waits for the end (at most kIoTimeoutMs, then kills); returns the exit status, or -1.
    int Wait() {
        int status = 0;
        for (int i = 0; i < kIoTimeoutMs / 10; ++i) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            ::usleep(10000);
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        ADD_FAILURE() << "mlcardsim did not end";
        return -1;
    }
    std::string Stdout() { return Drain(out_); }
    std::string Stderr() { return Drain(err_); }

  private:
    static std::string Drain(int fd) {
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) {
            text.append(buf, static_cast<std::size_t>(n));
        }
        return text;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
};

class ProgramTest : public ::testing::Test {
  protected:
    test::TempDir dir_;
    std::string image_ = dir_.File("card.img");
};

TEST_F(ProgramTest, HelpListsEveryOption) {
    Program p({"--help"});
    EXPECT_EQ(p.Wait(), 0);
    const std::string text = p.Stdout();
    for (const char* option : {"--family", "--image", "--slot", "--port", "--stop-after",
                               "--remove-after", "--answer-sw", "--delay-ms", "--verbose"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
}

TEST_F(ProgramTest, BadArgumentExitsWithStatus2) {
    Program p({"--family", "class80", "--image", image_, "--slot", "x"});
    EXPECT_EQ(p.Wait(), 2);
    EXPECT_NE(p.Stderr().find("--slot must be a number"), std::string::npos);

    Program env({"--family", "class80", "--image", image_}, {"ML_VPCD_PORT=port"});
    EXPECT_EQ(env.Wait(), 2);
    EXPECT_NE(env.Stderr().find("ML_VPCD_PORT"), std::string::npos);
}

TEST_F(ProgramTest, CorruptImageExitsWithStatus3) {
    test::WriteText(image_, "mlcardsim-image 1\nfamily class80\nef 55 00\nend\n");
    Program p({"--family", "class80", "--image", image_, "--port", "1"});
    EXPECT_EQ(p.Wait(), 3);
    const std::string err = p.Stderr();
    EXPECT_NE(err.find(image_ + " line 3"), std::string::npos) << err;
}

TEST_F(ProgramTest, ImageInAMissingFolderExitsWithStatus3) {
    Program p({"--family", "class80", "--image", dir_.File("none/card.img"), "--port", "1"});
    EXPECT_EQ(p.Wait(), 3);
    EXPECT_NE(p.Stderr().find("cannot write image"), std::string::npos);
}

TEST_F(ProgramTest, MissingVpcdExitsWithStatus4AfterRetrying) {
    int port = 0;
    {
        FakeVpcd closed;  // a port that was free a moment ago and is closed again
        port = closed.port();
    }
    Program p({"--family", "generic", "--image", image_, "--port", std::to_string(port)});
    EXPECT_EQ(p.Wait(), 4);
    EXPECT_NE(p.Stderr().find("no vpcd reader on 127.0.0.1:" + std::to_string(port)),
              std::string::npos);
}

TEST_F(ProgramTest, SignalWhileWaitingForVpcdEndsQuietly) {
    int port = 0;
    {
        FakeVpcd closed;
        port = closed.port();
    }
    Program p({"--family", "generic", "--image", image_, "--port", std::to_string(port)});
    ::usleep(300000);
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
}

TEST_F(ProgramTest, ConversationAndRemovalBySignal) {
    FakeVpcd vpcd;
    // Slot 1 of a vpcd whose first slot is one port below.
    Program p({"--family", "class80", "--image", image_, "--slot", "1", "--verbose"},
              {"ML_VPCD_PORT=" + std::to_string(vpcd.port() - 1)});
    ASSERT_TRUE(vpcd.Accept());
    vpcd.Send(H("04"));
    EXPECT_EQ(vpcd.Receive(), AtrOf(Family::class80));
    vpcd.Send(H("01"));  // power on: no answer
    vpcd.Send(H("00 A4 00 0C 02 3F 00"));
    EXPECT_EQ(vpcd.Receive(), H("90 00"));
    vpcd.Send(
        H("80 E0 00 00 23 81 02 00 04 82 01 01 83 02 55 33 85 02 01 00 86 12 60 00 00 "
          "00 FF FF D6 00 00 00 FF FF B0 00 00 00 FF FF"));
    EXPECT_EQ(vpcd.Receive(), H("90 00"));
    vpcd.Send(H("00 D6 00 00 04 C3 A7 E5 91"));  // a "password"
    EXPECT_EQ(vpcd.Receive(), H("90 00"));
    vpcd.Send(H("00 B0 00 00 04"));
    EXPECT_EQ(vpcd.Receive(), H("C3 A7 E5 91 90 00"));

    p.Signal(SIGTERM);
    EXPECT_EQ(vpcd.Receive(), std::nullopt) << "the card is removed by closing";
    EXPECT_EQ(p.Wait(), 0);
    const std::string log = p.Stderr();
    EXPECT_NE(log.find("00D60000"), std::string::npos) << "--verbose logs the traffic";
    for (const char* secret : {"C3A7E591", "C3 A7", "c3a7"}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << "file content in the log:\n" << log;
    }
    EXPECT_EQ(Card(Family::class80, image_).FileData(0x5533), H("C3 A7 E5 91"));
}

TEST_F(ProgramTest, StopAfterGivesOversizedAnswers) {
    FakeVpcd vpcd;
    Program p({"--family", "generic", "--image", image_, "--port", std::to_string(vpcd.port()),
               "--stop-after", "2", "--answer-sw", "A4=6A82", "--delay-ms", "20"});
    ASSERT_TRUE(vpcd.Accept());
    vpcd.Send(H("00 A4 00 00 02 3F 00"));
    EXPECT_EQ(vpcd.Receive(), H("6A 82")) << "--answer-sw";
    vpcd.Send(H("04"));
    EXPECT_EQ(vpcd.Receive(), AtrOf(Family::generic)) << "control codes are not counted";
    vpcd.Send(H("00 B0 00 00 01"));
    EXPECT_EQ(vpcd.Receive(), H("69 86"));
    vpcd.Send(H("00 B0 00 00 01"));
    const std::optional<Bytes> mute = vpcd.Receive();
    ASSERT_TRUE(mute);
    EXPECT_EQ(mute->size(), 0xFFFFu);
    vpcd.Send(H("04"));
    EXPECT_EQ(vpcd.Receive(), AtrOf(Family::generic)) << "the card stays";
    p.Signal(SIGINT);
    EXPECT_EQ(vpcd.Receive(), std::nullopt);
    EXPECT_EQ(p.Wait(), 0);
}

TEST_F(ProgramTest, RemoveAfterClosesTheConnection) {
    FakeVpcd vpcd;
    Program p({"--family", "generic", "--image", image_, "--port", std::to_string(vpcd.port()),
               "--remove-after", "1"});
    ASSERT_TRUE(vpcd.Accept());
    vpcd.Send(H("00 A4 00 00 02 3F 00"));
    EXPECT_EQ(vpcd.Receive()->size(), 14u);
    vpcd.Send(H("00 B0 00 00 01"));
    EXPECT_EQ(vpcd.Receive(), std::nullopt) << "pulled instead of answering";
    EXPECT_EQ(p.Wait(), 0);
}

TEST_F(ProgramTest, ReaderClosingTheConnectionExitsWithStatus1) {
    FakeVpcd vpcd;
    Program p({"--family", "tcos12", "--image", image_, "--port", std::to_string(vpcd.port())});
    ASSERT_TRUE(vpcd.Accept());
    vpcd.Send(H("04"));
    EXPECT_EQ(vpcd.Receive(), AtrOf(Family::tcos12));
    vpcd.CloseCard();
    EXPECT_EQ(p.Wait(), 1);
    EXPECT_NE(p.Stderr().find("the reader closed the connection"), std::string::npos);
}

}  // namespace
}  // namespace cardsim
