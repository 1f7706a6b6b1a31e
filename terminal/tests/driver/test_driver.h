// A CT-API driver for the terminal tests (ct32 with the card emulator in
// process), scripted through MlTestCtDriver from any thread. Variants lack
// entry points: ML_TEST_DRIVER_WITHOUT_CT_INIT, _CT_DATA, _CT_CLOSE, _CT_SET_TRACE_OPTIONS.
#ifndef ML_TERMINAL_TESTS_DRIVER_TEST_DRIVER_H_
#define ML_TERMINAL_TESTS_DRIVER_TEST_DRIVER_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace mltest {

// One CT_data call as the driver received it (lenr: *lenr on entry).
struct CtDataCall {
    uint16_t ctn = 0;
    uint8_t dad = 0;
    uint8_t sad = 0;
    std::vector<uint8_t> command;
    uint16_t lenr = 0;
    bool operator==(const CtDataCall&) const = default;
};

// A scripted outcome of one CT_data call: the result, and with result 0 the
// response (cut to *lenr) and *lenr on return (the response's size if unset).
struct CtScriptedAnswer {
    int8_t result = 0;
    std::vector<uint8_t> response;
    std::optional<uint16_t> reportedLength;
};

class TestCtDriver {
  public:
    // A fresh state with a present card of `family` kept in `imagePath`.
    virtual void Reset(const std::string& family, const std::string& imagePath) = 0;
    virtual void SetCardPresent(bool present) = 0;
    // The next CT_data call with this dad and instruction byte gets `answer`.
    virtual void Script(int dad, int ins, CtScriptedAnswer answer) = 0;
    // A transparent file with exactly `content` on the card.
    virtual void PutFile(uint16_t fid, const std::vector<uint8_t>& content) = 0;

    virtual std::vector<CtDataCall> DataCalls() = 0;
    virtual std::vector<std::pair<uint16_t, uint16_t>> InitCalls() = 0;
    // In order: "init <ctn> <pn>", "trace <level> <destination>", "data <ctn>"
    // at the end of a CT_data call, "close <ctn>".
    virtual std::vector<std::string> Events() = 0;

    // The next CT_data call with this dad and INS runs `hook` once recorded.
    virtual void OnNext(int dad, int ins, std::function<void()> hook) = 0;

  protected:
    ~TestCtDriver() = default;
};

using MlTestCtDriverFn = TestCtDriver* (*)();
inline constexpr char kTestCtDriverSymbol[] = "MlTestCtDriver";

}  // namespace mltest

#endif  // ML_TERMINAL_TESTS_DRIVER_TEST_DRIVER_H_
