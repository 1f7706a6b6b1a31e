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
        std::optional<cardsim::Family> parsed = cardsim::ParseFamily(family);
        card_ =
            std::make_unique<cardsim::Card>(parsed.value_or(cardsim::Family::class80), imagePath);
        present_ = true;
        initResult_ = kOk;
        open_.clear();
        scripts_.clear();
        dataCalls_.clear();
        initCalls_.clear();
        closeCalls_.clear();
        traceCalls_.clear();
        events_.clear();
        holdDad_ = holdIns_ = kNoHold;
        held_ = false;
        released_ = false;
    }

    void SetCardPresent(bool present) override {
        std::lock_guard lock(mutex_);
        present_ = present;
    }

    void SetInitResult(int8_t result) override {
        std::lock_guard lock(mutex_);
        initResult_ = result;
    }

    void Script(int dad, int ins, mltest::CtScriptedAnswer answer, int times) override {
        std::lock_guard lock(mutex_);
        scripts_.push_back({dad, ins, std::move(answer), times});
    }

    void PutFile(uint16_t fid, const std::vector<uint8_t>& content) override {
        std::lock_guard lock(mutex_);
        if (!card_) {
            return;
        }
        const uint8_t hi = static_cast<uint8_t>(fid >> 8);
        const uint8_t lo = static_cast<uint8_t>(fid & 0xFF);
        const uint8_t size = static_cast<uint8_t>(content.size());
        const std::vector<uint8_t> del = {0x80, 0xE4, 0x00, 0x00, 0x02, hi, lo};
        card_->Transmit(del);
        const std::vector<uint8_t> create = {0x80, 0xE0, 0x00, 0x00, 0x0B, 0x81, 0x02, 0x00,
                                             size, 0x82, 0x01, 0x01, 0x83, 0x02, hi,   lo};
        card_->Transmit(create);
        std::vector<uint8_t> update = {0x00, 0xD6, 0x00, 0x00, size};
        update.insert(update.end(), content.begin(), content.end());
        card_->Transmit(update);
        card_->Reset();
    }

    std::optional<std::vector<uint8_t>> FileData(uint16_t fid) override {
        std::lock_guard lock(mutex_);
        if (!card_) {
            return std::nullopt;
        }
        return card_->FileData(fid);
    }

    std::vector<mltest::CtDataCall> DataCalls() override {
        std::lock_guard lock(mutex_);
        return dataCalls_;
    }
    std::vector<std::pair<uint16_t, uint16_t>> InitCalls() override {
        std::lock_guard lock(mutex_);
        return initCalls_;
    }
    std::vector<uint16_t> CloseCalls() override {
        std::lock_guard lock(mutex_);
        return closeCalls_;
    }
    std::vector<std::pair<int, int>> TraceOptionCalls() override {
        std::lock_guard lock(mutex_);
        return traceCalls_;
    }
    std::vector<std::string> Events() override {
        std::lock_guard lock(mutex_);
        return events_;
    }

    void HoldNext(int dad, int ins) override {
        std::lock_guard lock(mutex_);
        holdDad_ = dad;
        holdIns_ = ins;
        held_ = false;
        released_ = false;
    }
    void WaitHeld() override {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return held_; });
    }
    void Release() override {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

    // ---- the CT-API ----

    int8_t Init(uint16_t ctn, uint16_t pn) {
        std::lock_guard lock(mutex_);
        initCalls_.push_back({ctn, pn});
        if (initResult_ != kOk) {
            return initResult_;
        }
        if (open_.contains(ctn) || pn == 0) {
            return kErrInvalid;
        }
        open_.insert(ctn);
        return kOk;
    }

    int8_t Close(uint16_t ctn) {
        std::lock_guard lock(mutex_);
        closeCalls_.push_back(ctn);
        events_.push_back("close " + std::to_string(ctn));
        return open_.erase(ctn) == 1 ? kOk : kErrInvalid;
    }

    void SetTraceOptions(int level, int destination) {
        std::lock_guard lock(mutex_);
        traceCalls_.push_back({level, destination});
    }

    int8_t Data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command,
                uint16_t* lenr, uint8_t* response) {
        if (dad == nullptr || sad == nullptr || command == nullptr || lenr == nullptr ||
            response == nullptr || lenc < 4) {
            return kErrInvalid;
        }
        std::unique_lock lock(mutex_);
        const std::vector<uint8_t> apdu(command, command + lenc);
        dataCalls_.push_back({ctn, *dad, *sad, apdu, *lenr});
        events_.push_back("data " + std::to_string(ctn));
        int8_t result = Answer(ctn, *dad, apdu, lenr, response, lock);
        events_.push_back("data-end " + std::to_string(ctn));
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
        if (holdDad_ != kNoHold && Matches(holdDad_, dad) && Matches(holdIns_, apdu[1])) {
            holdDad_ = kNoHold;
            held_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return released_; });
        }
        if (!open_.contains(ctn)) {
            return kErrInvalid;
        }
        for (auto it = scripts_.begin(); it != scripts_.end(); ++it) {
            if (!Matches(it->dad, dad) || !Matches(it->ins, apdu[1])) {
                continue;
            }
            mltest::CtScriptedAnswer answer = it->answer;
            if (--it->times == 0) {
                scripts_.erase(it);
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
            if (!present_ || !card_) {
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

    std::vector<uint8_t> Terminal(const std::vector<uint8_t>& apdu) {
        if (apdu[0] != 0x20) {
            return {0x6E, 0x00};
        }
        if (apdu[1] != 0x10 && apdu[1] != 0x11) {
            return {0x6D, 0x00};
        }
        if (apdu[2] == 0x00) {
            return {0x90, 0x00};
        }
        if (apdu[2] != 0x01) {
            return {0x6A, 0x00};
        }
        if (!present_ || !card_) {
            return {0x64, 0xA1};
        }
        card_->Reset();
        std::vector<uint8_t> out;
        if (apdu[3] == 0x01) {
            out = card_->Atr();
        }
        out.push_back(0x90);
        out.push_back(0x01);
        return out;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<cardsim::Card> card_;
    bool present_ = false;
    int8_t initResult_ = kOk;
    std::set<uint16_t> open_;
    std::deque<ScriptEntry> scripts_;
    std::vector<mltest::CtDataCall> dataCalls_;
    std::vector<std::pair<uint16_t, uint16_t>> initCalls_;
    std::vector<uint16_t> closeCalls_;
    std::vector<std::pair<int, int>> traceCalls_;
    std::vector<std::string> events_;
    int holdDad_ = kNoHold;
    int holdIns_ = kNoHold;
    bool held_ = false;
    bool released_ = false;
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
