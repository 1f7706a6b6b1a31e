#include "options.h"

#include <charconv>
#include <string_view>

namespace cardsim {
namespace {

constexpr long kMaxCount = 1000000000L;
constexpr long kMaxDelayMs = 600000L;  // ten minutes

std::optional<long> ParseNumber(std::string_view text, long min, long max) {
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<unsigned> ParseHexExact(std::string_view text, std::size_t digits) {
    if (text.size() != digits) {
        return std::nullopt;
    }
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string UsageText() {
    return "Usage: mlcardsim --family generic|tcos12|class80 --image FILE [options]\n"
           "Emulates a smart card in a vpcd virtual reader of pcscd until ended by SIGTERM or\n"
           "SIGINT (card removed, exit status 0).\n"
           "\n"
           "  --family F          card family: generic (ISO 7816-4, class 00), tcos12 (TCOS 1.2,\n"
           "                      class B0) or class80 (create/delete in class 80)\n"
           "  --image FILE        the card's image file; a missing file starts an empty card\n"
           "  --slot N            vpcd slot: 0 = first reader, 1 = second (default 0); the TCP\n"
           "                      port is ML_VPCD_PORT (default 35963) plus N\n"
           "  --port P            TCP port of the vpcd slot, instead of the one from --slot\n"
           "  --stop-after N      answer N command APDUs, then answer every further one with a\n"
           "                      message too long for the reader: pcscd fails those transmits\n"
           "                      (SCARD_E_INSUFFICIENT_BUFFER) while the card stays inserted\n"
           "  --remove-after N    answer N command APDUs; when the next one arrives close the\n"
           "                      connection without answering (pcscd returns an empty answer,\n"
           "                      then the card is gone: pulled mid-operation) and exit 0\n"
           "  --answer-sw INS=SW  answer every command with instruction INS (2 hex digits) with\n"
           "                      status word SW (4 hex digits) alone; repeatable\n"
           "  --refuse-file FID=SW  answer every SELECT of file FID (4 hex digits), and every\n"
           "                      READ or UPDATE BINARY while it is selected, with status word SW\n"
           "                      alone; repeatable\n"
           "  --short-read N      READ BINARY hands out at most N data bytes with 90 00\n"
           "  --delay-ms MS       delay every answer to a command APDU by MS milliseconds\n"
           "  --verbose           log the traffic to stderr (headers and status words, no data)\n"
           "  --help              show this text\n"
           "\n"
           "Exit status: 0 card removed by signal or --remove-after; 1 reader closed the\n"
           "connection or I/O error; 2 bad argument; 3 bad image file; 4 vpcd not reachable.\n";
}

std::variant<Options, UsageError> ParseOptions(const std::vector<std::string>& args) {
    Options o;
    bool have_family = false;
    bool have_image = false;
    bool have_slot = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const std::size_t eq = name.find('='); name.starts_with("--") && eq != name.npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "--help" || name == "--verbose") {
            if (value) {
                return UsageError{name + " takes no value"};
            }
            (name == "--help" ? o.help : o.verbose) = true;
            continue;
        }
        static const char* const kWithValue[] = {
            "--family",       "--image",     "--slot",     "--port",        "--stop-after",
            "--remove-after", "--answer-sw", "--delay-ms", "--refuse-file", "--short-read"};
        bool known = false;
        for (const char* k : kWithValue) {
            known = known || name == k;
        }
        if (!known) {
            return UsageError{"unknown argument \"" + args[i] + "\""};
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                return UsageError{name + " needs a value"};
            }
            value = args[++i];
        }
        const std::string& v = *value;
        if (name == "--family") {
            const std::optional<Family> f = ParseFamily(v);
            if (!f) {
                return UsageError{"unknown family \"" + v + "\" (generic, tcos12 or class80)"};
            }
            o.family = *f;
            have_family = true;
        } else if (name == "--image") {
            if (v.empty()) {
                return UsageError{"--image needs a file name"};
            }
            o.image = v;
            have_image = true;
        } else if (name == "--slot") {
            const std::optional<long> n = ParseNumber(v, 0, 15);
            if (!n) {
                return UsageError{"--slot must be a number from 0 to 15, not \"" + v + "\""};
            }
            o.slot = static_cast<int>(*n);
            have_slot = true;
        } else if (name == "--port") {
            const std::optional<long> n = ParseNumber(v, 1, 65535);
            if (!n) {
                return UsageError{"--port must be a TCP port from 1 to 65535, not \"" + v + "\""};
            }
            o.port = static_cast<int>(*n);
        } else if (name == "--stop-after" || name == "--remove-after") {
            const std::optional<long> n = ParseNumber(v, 0, kMaxCount);
            if (!n) {
                return UsageError{name + " must be a count of commands, not \"" + v + "\""};
            }
            (name == "--stop-after" ? o.stop_after : o.remove_after) = *n;
        } else if (name == "--delay-ms") {
            const std::optional<long> n = ParseNumber(v, 0, kMaxDelayMs);
            if (!n) {
                return UsageError{"--delay-ms must be 0 to " + std::to_string(kMaxDelayMs) +
                                  " milliseconds, not \"" + v + "\""};
            }
            o.delay_ms = *n;
        } else if (name == "--answer-sw") {
            const std::size_t eq = v.find('=');
            const std::optional<unsigned> ins =
                eq == v.npos ? std::nullopt : ParseHexExact(std::string_view(v).substr(0, eq), 2);
            const std::optional<unsigned> sw =
                eq == v.npos ? std::nullopt : ParseHexExact(std::string_view(v).substr(eq + 1), 4);
            if (!ins || !sw) {
                return UsageError{"--answer-sw must be INS=SW1SW2 in hex, e.g. B0=6A82, not \"" +
                                  v + "\""};
            }
            o.answer_sw[static_cast<std::uint8_t>(*ins)] = static_cast<std::uint16_t>(*sw);
        } else if (name == "--refuse-file") {
            const std::size_t eq = v.find('=');
            const std::optional<unsigned> fid =
                eq == v.npos ? std::nullopt : ParseHexExact(std::string_view(v).substr(0, eq), 4);
            const std::optional<unsigned> sw =
                eq == v.npos ? std::nullopt : ParseHexExact(std::string_view(v).substr(eq + 1), 4);
            if (!fid || !sw) {
                return UsageError{
                    "--refuse-file must be FID=SW1SW2 in hex, e.g. 5544=6982, not \"" + v + "\""};
            }
            o.refuse_file[static_cast<std::uint16_t>(*fid)] = static_cast<std::uint16_t>(*sw);
        } else if (name == "--short-read") {
            const std::optional<long> n = ParseNumber(v, 0, 256);
            if (!n) {
                return UsageError{"--short-read must be a count of bytes from 0 to 256, not \"" +
                                  v + "\""};
            }
            o.short_read = *n;
        }
    }
    if (o.help) {
        return o;
    }
    if (!have_family) {
        return UsageError{"--family is required"};
    }
    if (!have_image) {
        return UsageError{"--image is required"};
    }
    if (have_slot && o.port) {
        return UsageError{"give --slot or --port, not both"};
    }
    return o;
}

std::variant<int, UsageError> VpcdPort(const Options& options, const char* env_port) {
    if (options.port) {
        return *options.port;
    }
    long base = 35963;
    if (env_port != nullptr && *env_port != '\0') {
        const std::optional<long> n = ParseNumber(env_port, 1, 65535);
        if (!n) {
            return UsageError{"ML_VPCD_PORT must be a TCP port, not \"" + std::string(env_port) +
                              "\""};
        }
        base = *n;
    }
    if (base + options.slot > 65535) {
        return UsageError{"ML_VPCD_PORT plus the slot is no TCP port"};
    }
    return static_cast<int>(base + options.slot);
}

}  // namespace cardsim
