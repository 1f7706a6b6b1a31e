// Test support: runs the card emulator mlcardsim in a vpcd reader (port ML_VPCD_PORT + slot) of
// the pcscd of PCSCLITE_CSOCK_NAME. Real-stack tests start with ML_REQUIRE_REAL_STACK(), then
// insert a card with a CardSimProcess (owned by one thread; no call blocks more than seconds).
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace mltest {

// "Virtual PCD 00 00" for slot 0, "Virtual PCD 00 01" for slot 1.
std::string VpcdReaderName(int slot);

// True when a pcsc-lite context can be established and the readers listed.
bool PcscdReachable();

// Skips a real-stack test when pcscd is not reachable; ML_REQUIRE_PCSCD=1 fails it instead.
#define ML_REQUIRE_REAL_STACK()                                                            \
    do {                                                                                   \
        if (!::mltest::PcscdReachable()) {                                                 \
            const char* required = ::std::getenv("ML_REQUIRE_PCSCD");                      \
            if (required != nullptr && ::std::string(required) == "1") {                   \
                FAIL() << "pcscd is not reachable and ML_REQUIRE_PCSCD=1";                 \
            }                                                                              \
            GTEST_SKIP() << "pcscd is not reachable (ML_REQUIRE_PCSCD=1 makes this fail)"; \
        }                                                                                  \
    } while (0)

struct CardSimOptions {
    std::string family;                   // "generic", "tcos12" or "class80"
    std::string image;                    // image file of the card; missing = empty card
    int slot = 0;                         // vpcd slot (reader) to insert the card into
    std::vector<std::string> extra_args;  // further mlcardsim arguments (fault modes)
};

// One running mlcardsim: the card is in the reader while the object lives.
class CardSimProcess {
  public:
    // Returns once pcsc-lite reports the card (with the family's ATR) in the reader. Throws
    // std::runtime_error with a clear message when pcscd is not reachable, the reader is
    // unknown or holds a card already, or mlcardsim ends or does not show up in time.
    explicit CardSimProcess(CardSimOptions opts);
    ~CardSimProcess();  // Remove(); never throws
    CardSimProcess(const CardSimProcess&) = delete;
    CardSimProcess& operator=(const CardSimProcess&) = delete;
    // Pulls the card: ends mlcardsim (SIGTERM) unless it ended by itself, then waits until the
    // reader reports empty; throws std::runtime_error if it does not. Again: only the wait.
    void Remove();

    const CardSimOptions& options() const { return opts_; }

  private:
    bool Running();
    void End();

    CardSimOptions opts_;
    std::string reader_;
    pid_t pid_ = -1;  // 0 once ended
    int exit_status_ = -1;
};

}  // namespace mltest
