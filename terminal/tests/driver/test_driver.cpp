// The test CT-API driver (see test_driver.h).
#include "test_driver.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>

#include "cardsim/card.h"
#include "cardsim/family.h"
#include "platform/testing/stand_in_work.h"

#define ML_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int8_t kOk = 0;
constexpr int8_t kErrInvalid = -1;
constexpr int8_t kErrTrans = -10;
constexpr int8_t kErrMemory = -11;

struct ScriptEntry {
    int dad;
    int ins;
    mltest::CtScriptedAnswer answer;
    int times;
};

class Driver final : public mltest::TestCtDriver {
  public:
    void Reset(const std::string& family, const std::string& imagePath) override {
        std::lock_guard lock(mutex_);
        auto parsed = cardsim::ParseFamily(family).value_or(cardsim::Family::class80);
        card_ = std::make_unique<cardsim::Card>(parsed, imagePath);
        s_ = State{};
    }
    void SetCardPresent(bool present) override { Set(s_.present, present); }
    void SetInitResult(int8_t result) override { Set(s_.initResult, result); }
    void Script(int dad, int ins, mltest::CtScriptedAnswer answer, int times) override {
        std::lock_guard lock(mutex_);
        s_.scripts.push_back({dad, ins, std::move(answer), times});
    }

    void PutFile(uint16_t fid, const std::vector<uint8_t>& content) override {
        std::lock_guard lock(mutex_);
        const uint8_t hi = static_cast<uint8_t>(fid >> 8);
        const uint8_t lo = static_cast<uint8_t>(fid & 0xFF);
        const uint8_t size = static_cast<uint8_t>(content.size());
        card_->Transmit(std::vector<uint8_t>{0x80, 0xE4, 0x00, 0x00, 0x02, hi, lo});
        card_->Transmit(std::vector<uint8_t>{0x80, 0xE0, 0x00, 0x00, 0x0B, 0x81, 0x02, 0x00, size,
                                             0x82, 0x01, 0x01, 0x83, 0x02, hi, lo});
        std::vector<uint8_t> update = {0x00, 0xD6, 0x00, 0x00, size};
        update.insert(update.end(), content.begin(), content.end());
        card_->Transmit(update);
        card_->Reset();
    }
    std::optional<std::vector<uint8_t>> FileData(uint16_t fid) override {
        std::lock_guard lock(mutex_);
        return card_->FileData(fid);
    }

    std::vector<mltest::CtDataCall> DataCalls() override { return Get(s_.dataCalls); }
    std::vector<std::pair<uint16_t, uint16_t>> InitCalls() override { return Get(s_.initCalls); }
    std::vector<uint16_t> CloseCalls() override { return Get(s_.closeCalls); }
    std::vector<std::pair<int, int>> TraceOptionCalls() override { return Get(s_.traceCalls); }
    std::vector<std::string> Events() override { return Get(s_.events); }

    void HoldNext(int dad, int ins) override {
        std::lock_guard lock(mutex_);
        s_.holdDad = dad;
        s_.holdIns = ins;
        s_.held = s_.released = false;
    }
    void WaitHeld() override {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return s_.held; });
    }
    void Release() override {
        Set(s_.released, true);
        changed_.notify_all();
    }

    // ---- the CT-API ----

    int8_t Init(uint16_t ctn, uint16_t pn) {
        std::lock_guard lock(mutex_);
        s_.initCalls.push_back({ctn, pn});
        if (s_.initResult != kOk) {
            return s_.initResult;
        }
        if (s_.open.contains(ctn) || pn == 0) {
            return kErrInvalid;
        }
        s_.open.insert(ctn);
        return kOk;
    }

    int8_t Close(uint16_t ctn) {
        std::lock_guard lock(mutex_);
        s_.closeCalls.push_back(ctn);
        s_.events.push_back("close " + std::to_string(ctn));
        return s_.open.erase(ctn) == 1 ? kOk : kErrInvalid;
    }

    void SetTraceOptions(int level, int destination) {
        std::lock_guard lock(mutex_);
        s_.traceCalls.push_back({level, destination});
    }

    int8_t Data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command,
                uint16_t* lenr, uint8_t* response) {
        if (dad == nullptr || sad == nullptr || command == nullptr || lenr == nullptr ||
            response == nullptr || lenc < 4) {
            return kErrInvalid;
        }
        mltest::StandInWork work;
        std::unique_lock lock(mutex_);
        const std::vector<uint8_t> apdu(command, command + lenc);
        s_.dataCalls.push_back({ctn, *dad, *sad, apdu, *lenr});
        s_.events.push_back("data " + std::to_string(ctn));
        int8_t result = Answer(ctn, *dad, apdu, lenr, response, lock);
        s_.events.push_back("data-end " + std::to_string(ctn));
        if (result == kOk) {
            std::swap(*dad, *sad);
        }
        return result;
    }

  private:
    static constexpr int kNoHold = -2;

    static bool Matches(int want, uint8_t have) { return want == kAny || want == have; }

    int8_t Answer(uint16_t ctn, uint8_t dad, const std::vector<uint8_t>& apdu, uint16_t* lenr,
                  uint8_t* response, std::unique_lock<std::mutex>& lock) {
        if (s_.holdDad != kNoHold && Matches(s_.holdDad, dad) && Matches(s_.holdIns, apdu[1])) {
            s_.holdDad = kNoHold;
            s_.held = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return s_.released; });
        }
        if (!s_.open.contains(ctn)) {
            return kErrInvalid;
        }
        for (auto it = s_.scripts.begin(); it != s_.scripts.end(); ++it) {
            if (!Matches(it->dad, dad) || !Matches(it->ins, apdu[1])) {
                continue;
            }
            mltest::CtScriptedAnswer answer = it->answer;
            if (--it->times == 0) {
                s_.scripts.erase(it);
            }
            if (answer.result != kOk) {
                return answer.result;
            }
            const size_t written = std::min<size_t>(answer.response.size(), *lenr);
            std::memcpy(response, answer.response.data(), written);
            *lenr = answer.reportedLength.value_or(static_cast<uint16_t>(answer.response.size()));
            return kOk;
        }
        std::vector<uint8_t> out;
        if (dad == 1) {
            out = Terminal(apdu);
        } else if (dad == 0) {
            if (!s_.present || !card_) {
                return kErrTrans;
            }
            out = card_->Transmit(apdu);
        } else {
            return kErrInvalid;
        }
        if (out.size() > *lenr) {
            return kErrMemory;
        }
        std::memcpy(response, out.data(), out.size());
        *lenr = static_cast<uint16_t>(out.size());
        return kOk;
    }

    // RESET CT of the terminal (P1 00) or of card 1 (P1 01, P2 01 asks for the ATR).
    std::vector<uint8_t> Terminal(const std::vector<uint8_t>& apdu) {
        std::vector<uint8_t> out;
        if (apdu[2] != 0x00) {
            if (!s_.present || !card_) {
                return {0x64, 0xA1};
            }
            card_->Reset();
            out = apdu[3] == 0x01 ? card_->Atr() : out;
        }
        out.insert(out.end(), {0x90, apdu[2]});
        return out;
    }

    // Everything a test sets or the driver records; Reset starts afresh.
    struct State {
        bool present = true;
        int8_t initResult = kOk;
        std::set<uint16_t> open;
        std::deque<ScriptEntry> scripts;
        std::vector<mltest::CtDataCall> dataCalls;
        std::vector<std::pair<uint16_t, uint16_t>> initCalls;
        std::vector<uint16_t> closeCalls;
        std::vector<std::pair<int, int>> traceCalls;
        std::vector<std::string> events;
        int holdDad = kNoHold;
        int holdIns = kNoHold;
        bool held = false;
        bool released = false;
    };

    template <typename T>
    T Get(const T& value) {
        std::lock_guard lock(mutex_);
        return value;
    }
    template <typename T>
    void Set(T& field, T value) {
        std::lock_guard lock(mutex_);
        field = value;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<cardsim::Card> card_;
    State s_;
};

Driver& TheDriver() {
    static Driver driver;
    return driver;
}

}  // namespace

ML_EXPORT mltest::TestCtDriver* MlTestCtDriver() {
    return &TheDriver();
}

#ifndef ML_TEST_DRIVER_WITHOUT_CT_INIT
ML_EXPORT int8_t CT_init(uint16_t ctn, uint16_t pn) {
    return TheDriver().Init(ctn, pn);
}
#endif

#ifndef ML_TEST_DRIVER_WITHOUT_CT_DATA
ML_EXPORT int8_t CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command,
                         uint16_t* lenr, uint8_t* response) {
    return TheDriver().Data(ctn, dad, sad, lenc, command, lenr, response);
}
#endif

#ifndef ML_TEST_DRIVER_WITHOUT_CT_CLOSE
ML_EXPORT int8_t CT_close(uint16_t ctn) {
    return TheDriver().Close(ctn);
}
#endif

#ifndef ML_TEST_DRIVER_WITHOUT_CT_SET_TRACE_OPTIONS
ML_EXPORT void CT_SetTraceOptions(int level, int destination) {
    TheDriver().SetTraceOptions(level, destination);
}
#endif
