// The command line of mlcardsim.
//
// Pure parsing, no I/O; safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cardsim/family.h"

namespace cardsim {

struct Options {
    Family family = Family::generic;
    std::string image;
    int slot = 0;
    std::optional<int> port;  // overrides ML_VPCD_PORT + slot
    std::optional<long> stop_after;
    std::optional<long> remove_after;
    std::map<std::uint8_t, std::uint16_t> answer_sw;     // instruction byte -> status word
    std::map<std::uint16_t, std::uint16_t> refuse_file;  // file identifier -> status word
    std::optional<long> short_read;                      // most data bytes a READ BINARY gives
    long delay_ms = 0;
    bool verbose = false;
    bool help = false;
};

// A command line that cannot be run; `message` says why, in one line.
struct UsageError {
    std::string message;
};

// Parses the arguments after the program name. Accepts "--name value" and "--name=value".
std::variant<Options, UsageError> ParseOptions(const std::vector<std::string>& args);

// The text of --help.
std::string UsageText();

// The TCP port of the vpcd slot: --port if given, else the port of slot 0 from `env_port`
// (the value of ML_VPCD_PORT, default 35963) plus the slot. UsageError for a bad value.
std::variant<int, UsageError> VpcdPort(const Options& options, const char* env_port);

}  // namespace cardsim
