// mlcardsim: puts an emulated card into a vpcd virtual reader of pcscd.
//
// The card is inserted by connecting to the vpcd slot's TCP port on 127.0.0.1 and removed by
// closing that connection. Every message is a 2-byte big-endian length and that many bytes.
// SIGTERM and SIGINT remove the card and end the program with status 0.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cardsim/card.h"
#include "options.h"
#include "session.h"

namespace {

using cardsim::Bytes;
using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitIo = 1;
constexpr int kExitUsage = 2;
constexpr int kExitImage = 3;
constexpr int kExitNoVpcd = 4;
constexpr auto kConnectPatience = std::chrono::seconds(5);

bool g_verbose = false;

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
    if (!g_verbose) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::fputs("mlcardsim: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

// Waits until `fd` is readable or a signal arrives on `sigfd`, at most `timeout_ms` (-1 = no
// limit). Returns 1 readable, 0 timed out, -1 signal, -2 poll failure.
int WaitReadable(int fd, int sigfd, int timeout_ms) {
    for (;;) {
        pollfd fds[2] = {{sigfd, POLLIN, 0}, {fd, POLLIN, 0}};
        const int n = ::poll(fds, fd >= 0 ? 2 : 1, timeout_ms);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -2;
        }
        if (n == 0) {
            return 0;
        }
        if (fds[0].revents & POLLIN) {
            return -1;
        }
        return 1;
    }
}

// Sleeps `ms` milliseconds unless a signal comes first; false when it did.
bool Sleep(int sigfd, long ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) {
            return true;
        }
        if (WaitReadable(-1, sigfd, static_cast<int>(left)) == -1) {
            return false;
        }
    }
}

enum class Got { message, closed, signal, error };

// Reads exactly `n` bytes, giving way to a signal.
Got ReadExactly(int fd, int sigfd, std::uint8_t* buf, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const int w = WaitReadable(fd, sigfd, -1);
        if (w == -1) {
            return Got::signal;
        }
        if (w < 0) {
            return Got::error;
        }
        const ssize_t r = ::recv(fd, buf + done, n - done, 0);
        if (r == 0) {
            return Got::closed;
        }
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return errno == ECONNRESET ? Got::closed : Got::error;
        }
        done += static_cast<std::size_t>(r);
    }
    return Got::message;
}

Got ReadMessage(int fd, int sigfd, Bytes& message) {
    std::uint8_t header[2];
    Got got = ReadExactly(fd, sigfd, header, sizeof header);
    if (got != Got::message) {
        return got;
    }
    message.assign(static_cast<std::size_t>(header[0] << 8 | header[1]), 0);
    return message.empty() ? Got::message : ReadExactly(fd, sigfd, message.data(), message.size());
}

bool SendMessage(int fd, const Bytes& bytes) {
    Bytes frame;
    frame.reserve(bytes.size() + 2);
    frame.push_back(static_cast<std::uint8_t>(bytes.size() >> 8));
    frame.push_back(static_cast<std::uint8_t>(bytes.size()));
    frame.insert(frame.end(), bytes.begin(), bytes.end());
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Connects to 127.0.0.1:port, retrying while nobody listens. Returns the socket, -1 when vpcd
// did not answer in time (errno of the last attempt kept in `last_error`), -2 on a signal.
int Connect(int port, int sigfd, int& last_error) {
    const auto deadline = Clock::now() + kConnectPatience;
    for (;;) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            last_error = errno;
            return -1;
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        last_error = errno;
        ::close(fd);
        if (Clock::now() >= deadline) {
            return -1;
        }
        if (!Sleep(sigfd, 100)) {
            return -2;
        }
    }
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    char buf[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
    }
    return out;
}

// Describes a command without its data: the header, Lc and the status word of the answer.
void LogCommand(std::span<const std::uint8_t> apdu, const cardsim::Reply& reply) {
    if (!g_verbose) {
        return;
    }
    const std::string header = Hex(apdu.first(std::min<std::size_t>(apdu.size(), 4)));
    if (reply.kind == cardsim::Reply::Kind::close) {
        Log("command %s (%zu bytes): not answered, card pulled", header.c_str(), apdu.size());
    } else if (reply.bytes.size() == cardsim::kMuteAnswerSize) {
        Log("command %s (%zu bytes): oversized answer, card mute", header.c_str(), apdu.size());
    } else {
        Log("command %s (%zu bytes) -> %04X, %zu data bytes", header.c_str(), apdu.size(),
            cardsim::StatusOf(reply.bytes), reply.bytes.size() - 2);
    }
}

// The folder that will receive the image file at the first change.
std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

int Run(const cardsim::Options& options, int port) {
    std::optional<cardsim::Card> card;
    try {
        card.emplace(options.family, options.image);
    } catch (const cardsim::ImageError& e) {
        std::fprintf(stderr, "mlcardsim: %s\n", e.what());
        return kExitImage;
    }
    // Without this a mistyped folder would only show as failed writes (65 81) much later.
    if (const std::string folder = FolderOf(options.image); ::access(folder.c_str(), W_OK) != 0) {
        std::fprintf(stderr, "mlcardsim: cannot write image %s: folder %s: %s\n",
                     options.image.c_str(), folder.c_str(), std::strerror(errno));
        return kExitImage;
    }
    cardsim::Session session(*card, options);

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    if (::sigprocmask(SIG_BLOCK, &stop, nullptr) != 0) {
        std::fprintf(stderr, "mlcardsim: cannot block signals: %s\n", std::strerror(errno));
        return kExitIo;
    }
    // A signal ignored by the parent would never reach the signalfd.
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    const int sigfd = ::signalfd(-1, &stop, SFD_CLOEXEC);
    if (sigfd < 0) {
        std::fprintf(stderr, "mlcardsim: cannot watch signals: %s\n", std::strerror(errno));
        return kExitIo;
    }

    int last_error = 0;
    const int fd = Connect(port, sigfd, last_error);
    if (fd == -2) {
        return kExitOk;
    }
    if (fd < 0) {
        std::fprintf(stderr,
                     "mlcardsim: no vpcd reader on 127.0.0.1:%d (%s); is pcscd with the vpcd "
                     "driver running, and ML_VPCD_PORT set to its port?\n",
                     port, std::strerror(last_error));
        return kExitNoVpcd;
    }
    Log("%s card inserted on 127.0.0.1:%d",
        std::string(cardsim::FamilyName(options.family)).c_str(), port);

    Bytes message;
    for (;;) {
        const Got got = ReadMessage(fd, sigfd, message);
        if (got == Got::signal) {
            Log("signal: card removed");
            ::close(fd);
            return kExitOk;
        }
        if (got == Got::closed) {
            std::fprintf(stderr, "mlcardsim: the reader closed the connection (pcscd ended?)\n");
            ::close(fd);
            return kExitIo;
        }
        if (got == Got::error) {
            std::fprintf(stderr, "mlcardsim: reading from the reader failed: %s\n",
                         std::strerror(errno));
            ::close(fd);
            return kExitIo;
        }
        const cardsim::Reply reply = session.OnMessage(message);
        if (message.size() == 1) {
            if (message[0] != 0x04) {  // pcscd asks for the ATR at every presence poll
                Log("control %02X", message[0]);
            }
        } else {
            LogCommand(message, reply);
        }
        if (reply.kind == cardsim::Reply::Kind::close) {
            Log("--remove-after reached: card removed");
            ::close(fd);
            return kExitOk;
        }
        if (reply.kind != cardsim::Reply::Kind::send) {
            continue;
        }
        if (reply.is_command_answer && options.delay_ms > 0 && !Sleep(sigfd, options.delay_ms)) {
            Log("signal: card removed");
            ::close(fd);
            return kExitOk;
        }
        if (!SendMessage(fd, reply.bytes)) {
            std::fprintf(stderr, "mlcardsim: writing to the reader failed: %s\n",
                         std::strerror(errno));
            ::close(fd);
            return kExitIo;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto parsed = cardsim::ParseOptions(args);
    if (const auto* error = std::get_if<cardsim::UsageError>(&parsed)) {
        std::fprintf(stderr, "mlcardsim: %s\nTry 'mlcardsim --help'.\n", error->message.c_str());
        return kExitUsage;
    }
    const cardsim::Options& options = std::get<cardsim::Options>(parsed);
    if (options.help) {
        std::fputs(cardsim::UsageText().c_str(), stdout);
        return kExitOk;
    }
    g_verbose = options.verbose;
    const auto port = cardsim::VpcdPort(options, std::getenv("ML_VPCD_PORT"));
    if (const auto* error = std::get_if<cardsim::UsageError>(&port)) {
        std::fprintf(stderr, "mlcardsim: %s\n", error->message.c_str());
        return kExitUsage;
    }
    return Run(options, std::get<int>(port));
}
