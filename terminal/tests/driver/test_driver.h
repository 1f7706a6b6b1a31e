// A CT-API driver for the terminal tests: ct32.so with the card emulator's
// card logic in process and answers a test scripts through MlTestCtDriver.
// RESET CT of the terminal answers 90 00; of card 1, the ATR and 90 01 (64 A1
// without a card). Card commands go to the card (ERR_TRANS without one); an
// unopened terminal number gives ERR_INVALID. Variants lack entry points
// (ML_TEST_DRIVER_WITHOUT_CT_INIT, _CT_DATA, _CT_CLOSE, _CT_SET_TRACE_OPTIONS).
// The test loads the same file as the terminal object (dlopen gives the same
// instance); every member may be called from any thread.
#ifndef ML_TERMINAL_TESTS_DRIVER_TEST_DRIVER_H_
#define ML_TERMINAL_TESTS_DRIVER_TEST_DRIVER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace mltest {

// One CT_data call as the driver received it.
struct CtDataCall {
    uint16_t ctn = 0;
    uint8_t dad = 0;
    uint8_t sad = 0;
    std::vector<uint8_t> command;  // the lenc command bytes
    uint16_t lenr = 0;             // *lenr on entry
    bool operator==(const CtDataCall&) const = default;
};

// A scripted outcome of one CT_data call instead of the terminal's or card's.
struct CtScriptedAnswer {
    int8_t result = 0;
    // Written to the response buffer (at most *lenr bytes) when result is 0.
    std::vector<uint8_t> response;
    // *lenr on return; the size of `response` when not set.
    std::optional<uint16_t> reportedLength;
};

class TestCtDriver {
  public:
    static constexpr int kAny = -1;

    // A fresh state with a present card of `family` kept in `imagePath`.
    virtual void Reset(const std::string& family, const std::string& imagePath) = 0;
    virtual void SetCardPresent(bool present) = 0;
    // The result of the next CT_init calls (0 opens the terminal).
    virtual void SetInitResult(int8_t result) = 0;
    // The next `times` CT_data calls with this dad and instruction byte
    // (kAny for either) get `answer`. Scripts are matched in the order set.
    virtual void Script(int dad, int ins, CtScriptedAnswer answer, int times = 1) = 0;
    // Puts a transparent file with exactly `content` on the card (class80).
    virtual void PutFile(uint16_t fid, const std::vector<uint8_t>& content) = 0;
    // The content of a file of the card; nullopt when it does not exist.
    virtual std::optional<std::vector<uint8_t>> FileData(uint16_t fid) = 0;

    virtual std::vector<CtDataCall> DataCalls() = 0;
    virtual std::vector<std::pair<uint16_t, uint16_t>> InitCalls() = 0;
    virtual std::vector<uint16_t> CloseCalls() = 0;
    virtual std::vector<std::pair<int, int>> TraceOptionCalls() = 0;
    // In order: "data <ctn>", "data-end <ctn>" around CT_data, "close <ctn>".
    virtual std::vector<std::string> Events() = 0;

    // The next CT_data call with this dad and INS waits, once recorded, until
    // Release(); WaitHeld() returns once a call waits.
    virtual void HoldNext(int dad, int ins) = 0;
    virtual void WaitHeld() = 0;
    virtual void Release() = 0;

  protected:
    ~TestCtDriver() = default;
};

using MlTestCtDriverFn = TestCtDriver* (*)();
inline constexpr char kTestCtDriverSymbol[] = "MlTestCtDriver";

}  // namespace mltest

#endif  // ML_TERMINAL_TESTS_DRIVER_TEST_DRIVER_H_
