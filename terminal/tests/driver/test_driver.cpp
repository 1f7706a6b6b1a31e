// The test CT-API driver (see test_driver.h).
#include "test_driver.h"

#include <algorithm>
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

constexpr int8_t kOk = 0, kErrInvalid = -1, kErrTrans = -10, kErrMemory = -11;

class Driver final : public mltest::TestCtDriver {
    template <typename F>
    auto Locked(F f) {
        mltest::StandInWork work;
        std::lock_guard lock(mutex_);
        return f();
    }
    template <typename T>
    T Get(const T& value) {
        return Locked([&] { return value; });
    }

  public:
    void Reset(const std::string& family, const std::string& imagePath) override {
        Locked([&] {
            card_ = std::make_unique<cardsim::Card>(
                cardsim::ParseFamily(family).value_or(cardsim::Family::class80), imagePath);
            s_ = State{};
        });
    }
    void SetCardPresent(bool present) override {
        Locked([&] { s_.present = present; });
    }
    void Script(int dad, int ins, mltest::CtScriptedAnswer answer) override {
        Locked([&] { s_.scripts.push_back({dad, ins, std::move(answer)}); });
    }
    void PutFile(uint16_t fid, const std::vector<uint8_t>& content) override {
        const uint8_t hi = static_cast<uint8_t>(fid >> 8), lo = static_cast<uint8_t>(fid & 0xFF);
        const uint8_t size = static_cast<uint8_t>(content.size());
        std::vector<uint8_t> update = {0x00, 0xD6, 0x00, 0x00, size};
        update.insert(update.end(), content.begin(), content.end());
        Locked([&] {
            card_->Transmit(std::vector<uint8_t>{0x80, 0xE4, 0x00, 0x00, 0x02, hi, lo});
            card_->Transmit(std::vector<uint8_t>{0x80, 0xE0, 0x00, 0x00, 0x0B, 0x81, 0x02, 0x00,
                                                 size, 0x82, 0x01, 0x01, 0x83, 0x02, hi, lo});
            card_->Transmit(update);
            card_->Reset();
        });
    }
    std::vector<mltest::CtDataCall> DataCalls() override { return Get(s_.dataCalls); }
    std::vector<std::pair<uint16_t, uint16_t>> InitCalls() override { return Get(s_.initCalls); }
    std::vector<std::string> Events() override { return Get(s_.events); }

    void OnNext(int dad, int ins, std::function<void()> hook) override {
        Locked([&] { s_.hookOn = {dad, ins}, s_.hook = std::move(hook); });
    }

    // ---- the CT-API ----

    int8_t Init(uint16_t ctn, uint16_t pn) {
        return Locked([&] {
            s_.initCalls.push_back({ctn, pn});
            s_.events.push_back("init " + std::to_string(ctn) + " " + std::to_string(pn));
            return pn != 0 && s_.open.insert(ctn).second ? kOk : kErrInvalid;
        });
    }
    int8_t Close(uint16_t ctn) {
        return Locked([&] {
            s_.events.push_back("close " + std::to_string(ctn));
            return s_.open.erase(ctn) == 1 ? kOk : kErrInvalid;
        });
    }
    void SetTraceOptions(int level, int destination) {
        Locked([&] {
            s_.events.push_back("trace " + std::to_string(level) + " " +
                                std::to_string(destination));
        });
    }
    int8_t Data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command,
                uint16_t* lenr, uint8_t* response) {
        mltest::StandInWork work;
        std::unique_lock lock(mutex_);
        const std::vector<uint8_t> apdu(command, command + lenc);
        s_.dataCalls.push_back({ctn, *dad, *sad, apdu, *lenr});
        if (s_.hook && s_.hookOn == std::pair<int, int>{*dad, apdu[1]}) {
            const auto hook = std::exchange(s_.hook, nullptr);
            lock.unlock();
            hook();
            lock.lock();
        }
        const int8_t result = Answer(ctn, *dad, apdu, lenr, response);
        s_.events.push_back("data " + std::to_string(ctn));
        if (result == kOk) {
            std::swap(*dad, *sad);
        }
        return result;
    }

  private:
    int8_t Answer(uint16_t ctn, uint8_t dad, const std::vector<uint8_t>& apdu, uint16_t* lenr,
                  uint8_t* response) {
        if (!s_.open.contains(ctn)) {
            return kErrInvalid;
        }
        auto script = std::find_if(s_.scripts.begin(), s_.scripts.end(), [&](const Scripted& s) {
            return s.dad == dad && s.ins == apdu[1];
        });
        if (script != s_.scripts.end()) {
            const mltest::CtScriptedAnswer answer = script->answer;
            s_.scripts.erase(script);
            if (answer.result == kOk) {
                std::memcpy(response, answer.response.data(),
                            std::min<size_t>(answer.response.size(), *lenr));
                *lenr =
                    answer.reportedLength.value_or(static_cast<uint16_t>(answer.response.size()));
            }
            return answer.result;
        }
        // RESET CT: 90 00 (terminal), or the ATR if P2 is 01 and 90 01 (card; 64 A1 if none).
        std::vector<uint8_t> out;
        if (dad == 1 && apdu[2] != 0x00 && !s_.present) {
            out = {0x64, 0xA1};
        } else if (dad == 1) {
            if (apdu[2] != 0x00) {
                card_->Reset();
                out = apdu[3] == 0x01 ? card_->Atr() : out;
            }
            out.insert(out.end(), {0x90, apdu[2]});
        } else if (dad != 0) {
            return kErrInvalid;
        } else if (!s_.present) {
            return kErrTrans;
        } else {
            out = card_->Transmit(apdu);
        }
        if (out.size() > *lenr) {
            return kErrMemory;
        }
        std::memcpy(response, out.data(), out.size());
        *lenr = static_cast<uint16_t>(out.size());
        return kOk;
    }

    struct Scripted {
        int dad, ins;
        mltest::CtScriptedAnswer answer;
    };
    // Everything a test sets or the driver records; Reset starts afresh.
    struct State {
        bool present = true;
        std::set<uint16_t> open;
        std::deque<Scripted> scripts;
        std::vector<mltest::CtDataCall> dataCalls;
        std::vector<std::pair<uint16_t, uint16_t>> initCalls;
        std::vector<std::string> events;
        std::pair<int, int> hookOn;
        std::function<void()> hook;
    };

    std::mutex mutex_;
    std::unique_ptr<cardsim::Card> card_;
    State s_;
};

Driver g_driver;

}  // namespace

ML_EXPORT mltest::TestCtDriver* MlTestCtDriver() {
    return &g_driver;
}

#ifndef ML_TEST_DRIVER_WITHOUT_CT_INIT
ML_EXPORT int8_t CT_init(uint16_t ctn, uint16_t pn) {
    return g_driver.Init(ctn, pn);
}
#endif

#ifndef ML_TEST_DRIVER_WITHOUT_CT_DATA
ML_EXPORT int8_t CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command,
                         uint16_t* lenr, uint8_t* response) {
    return g_driver.Data(ctn, dad, sad, lenc, command, lenr, response);
}
#endif

#ifndef ML_TEST_DRIVER_WITHOUT_CT_CLOSE
ML_EXPORT int8_t CT_close(uint16_t ctn) {
    return g_driver.Close(ctn);
}
#endif

#ifndef ML_TEST_DRIVER_WITHOUT_CT_SET_TRACE_OPTIONS
ML_EXPORT void CT_SetTraceOptions(int level, int destination) {
    g_driver.SetTraceOptions(level, destination);
}
#endif
