// ct32.so (loaded with dlopen, as the module loads it) against pcscd, vpcd and the card emulator:
// terminal and card commands, removal and re-insertion, buffer sizes and the trace.
#include <PCSC/winscard.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cardsim/family.h"
#include "cardsim_process.h"
#include "ct32_loader.h"

namespace {

using namespace ct32test;
using Bytes = std::vector<uint8_t>;

const Bytes kResetTerminal = {0x20, 0x10, 0x00, 0x00, 0x00};
const Bytes kResetCardNoData = {0x20, 0x11, 0x01, 0x00};
const Bytes kResetCardAtr = {0x20, 0x10, 0x01, 0x01, 0x00};
const Bytes kCardStatus = {0x20, 0x13, 0x00, 0x80, 0x00};
const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
const Bytes kEject = {0x20, 0x15, 0x01, 0x00};

constexpr uint16_t kCtn = 1;

// Reader names in the order that SCardListReaders gives them, as the driver counts ports.
std::vector<std::string> ListReaders() {
    std::vector<std::string> readers;
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        return readers;
    }
    std::string multi(4096, '\0');
    DWORD size = static_cast<DWORD>(multi.size());
    if (SCardListReaders(context, nullptr, multi.data(), &size) == SCARD_S_SUCCESS) {
        for (const char* name = multi.c_str(); *name != '\0'; name += strlen(name) + 1) {
            readers.emplace_back(name);
        }
    }
    SCardReleaseContext(context);
    return readers;
}

// The ATR of an emulated card: a CardSimProcess is ready once pcsc-lite reports exactly this one.
const Bytes& AtrOf(const char* family) {
    return cardsim::AtrOf(*cardsim::ParseFamily(family));
}

class Ct32Driver : public ::testing::Test {
  protected:
    void SetUp() override {
        ML_REQUIRE_REAL_STACK();
        const auto readers = ListReaders();
        const auto it = std::find(readers.begin(), readers.end(), mltest::VpcdReaderName(0));
        ASSERT_NE(it, readers.end()) << "reader " << mltest::VpcdReaderName(0) << " not listed";
        port_ = static_cast<uint16_t>(it - readers.begin() + 1);
        ct_.emplace();
        ASSERT_EQ(ct_->init(kCtn, port_), kOk);
        char folder[] = "/tmp/ct32_driver_test_XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
    }
    void TearDown() override {
        if (ct_) {
            ct_->close(kCtn);
        }
        if (!folder_.empty()) {
            std::filesystem::remove_all(folder_);
        }
    }

    // A fresh card of `family`, its image kept in the test's own folder.
    mltest::CardSimOptions CardOf(const char* family, std::vector<std::string> args = {}) {
        return {family, folder_ + "/card" + std::to_string(++cards_) + ".img", 0, std::move(args)};
    }

    Exchange ToTerminal(Bytes command) { return Send(*ct_, kCtn, kTerminal, std::move(command)); }
    Exchange ToCard(Bytes command) { return Send(*ct_, kCtn, kCard, std::move(command)); }
    // Every command gets exactly its answer.
    void ExpectAnswers(uint8_t dad, const std::vector<std::pair<Bytes, Bytes>>& exchanges) {
        for (const auto& [command, answer] : exchanges) {
            const Exchange e = Send(*ct_, kCtn, dad, command);
            EXPECT_EQ(std::pair(e.result, e.answer), std::pair(kOk, answer))
                << testing::PrintToString(command);
        }
    }
    // One CT_data call into a 64-byte canary buffer with the given lenr.
    int8_t Call(uint8_t dad, Bytes command, uint16_t& lenr, Bytes& buffer, uint8_t sad = kHost) {
        buffer.assign(64, 0xCC);
        return ct_->data(kCtn, &dad, &sad, static_cast<uint16_t>(command.size()), command.data(),
                         &lenr, buffer.data());
    }

    // Card resets until pcscd, polling vpcd, has noticed that the slot is empty.
    Exchange ResetUntilNoCard() {
        Exchange reset;
        for (int i = 0; i < 100; ++i) {
            reset = ToTerminal(kResetCardNoData);
            if (reset.result != kOk || reset.Sw() != 0x9001) {
                break;
            }
            usleep(100 * 1000);
        }
        return reset;
    }

    uint16_t port_ = 0;
    std::optional<Ct32Library> ct_;
    std::string folder_;
    int cards_ = 0;
};

TEST_F(Ct32Driver, EmptySlotResetsTheTerminalAndReportsNoCard) {
    Exchange reset = ToTerminal(kResetTerminal);
    ASSERT_EQ(reset.result, kOk);
    EXPECT_EQ(reset.answer, (Bytes{0x90, 0x00}));
    EXPECT_EQ(reset.dad, kHost) << "dad and sad come back swapped";
    EXPECT_EQ(reset.sad, kTerminal);
    ExpectAnswers(kTerminal, {{{0x20, 0x11, 0x00, 0x00}, {0x90, 0x00}},  // INS 11, no Le
                              {kResetCardAtr, {0x64, 0xA1}},
                              {kCardStatus, {0x80, 0x01, 0x00, 0x90, 0x00}},
                              {{0x20, 0x12, 0x01, 0x01, 0x01, 0x00, 0x00}, {0x62, 0x00}}});
    EXPECT_EQ(ToCard(kSelectMf).result, kErrTrans) << "a card command without a card";
}

TEST_F(Ct32Driver, CardResetAnswersTheAtrAsP2AsksAndRefusesASmallBuffer) {
    mltest::CardSimProcess card(CardOf("generic"));
    const Bytes atr = AtrOf("generic");
    ASSERT_GE(atr.size(), 2u);
    ExpectAnswers(kTerminal, {{kResetCardNoData, {0x90, 0x01}},
                              {kCardStatus, {0x80, 0x01, 0x05, 0x90, 0x00}},  // present, active
                              {{0x20, 0x12, 0x01, 0x00}, {0x62, 0x01}}});     // REQUEST: active
    Exchange reset = ToTerminal(kResetCardAtr);
    EXPECT_EQ(reset.Sw(), 0x9001);
    EXPECT_EQ(reset.Data(), atr);
    reset = ToTerminal({0x20, 0x11, 0x01, 0x02, 0x00});
    EXPECT_EQ(reset.Sw(), 0x9001);
    const size_t historical = atr[1] & 0x0F;
    ASSERT_EQ(reset.Data().size(), historical);
    ASSERT_GE(atr.size(), historical + 3);
    // They come last, before the check byte TCK if there is one.
    EXPECT_TRUE(reset.Data() == Bytes(atr.end() - historical, atr.end()) ||
                reset.Data() == Bytes(atr.end() - historical - 1, atr.end() - 1));
    const Exchange maker = ToTerminal({0x20, 0x13, 0x00, 0x46, 0x00});
    ASSERT_GE(maker.answer.size(), 4u);
    EXPECT_EQ(maker.answer[0], 0x46);
    EXPECT_EQ(maker.answer[1], maker.answer.size() - 4) << "data object length";
    EXPECT_EQ(maker.Sw(), 0x9000);

    // An answer one byte larger than lenr: ERR_MEMORY, not a byte written.
    Bytes buffer;
    const uint16_t fits = static_cast<uint16_t>(atr.size() + 2);
    uint16_t lenr = fits - 1;
    EXPECT_EQ(Call(kTerminal, kResetCardAtr, lenr, buffer), kErrMemory);
    EXPECT_EQ(buffer, Bytes(64, 0xCC));
    EXPECT_EQ(lenr, fits - 1);
    lenr = fits;
    ASSERT_EQ(Call(kTerminal, kResetCardAtr, lenr, buffer), kOk);
    EXPECT_EQ(lenr, fits);
    lenr = 1;  // the same for an answer of the card
    EXPECT_EQ(Call(kCard, {0x00, 0xB0, 0x00, 0x00, 0x00}, lenr, buffer), kErrMemory);
    EXPECT_EQ(buffer, Bytes(64, 0xCC));

    // EJECT ICC: present, no longer active; REQUEST ICC activates it again.
    ExpectAnswers(kTerminal,
                  {{kEject, {0x90, 0x00}}, {kCardStatus, {0x80, 0x01, 0x01, 0x90, 0x00}}});
    EXPECT_EQ(ToCard(kSelectMf).result, kErrTrans);
    const Exchange request = ToTerminal({0x20, 0x12, 0x01, 0x01, 0x00});
    EXPECT_EQ(request.Sw(), 0x9001);
    EXPECT_EQ(request.Data(), atr);
}

TEST_F(Ct32Driver, RefusesUnknownCommandsTerminalNumbersAndPorts) {
    ExpectAnswers(kTerminal, {
                                 {{0x20, 0x99, 0x00, 0x00}, {0x6D, 0x00}},        // unknown INS
                                 {{0x80, 0x11, 0x00, 0x00}, {0x6E, 0x00}},        // class not 20
                                 {{0x20, 0x11, 0x05, 0x00}, {0x6A, 0x00}},        // unit 05
                                 {{0x20, 0x11, 0x01, 0x03, 0x00}, {0x6A, 0x00}},  // P2 03
                                 {{0x20, 0x11, 0x00, 0x01, 0x00}, {0x6A, 0x00}},  // ATR of the CT
                                 {{0x20, 0x13, 0x00, 0x47, 0x00}, {0x6A, 0x00}},  // unknown DO
                                 {{0x20, 0x11, 0x01, 0x01, 0x01, 0xAA}, {0x67, 0x00}},  // data
                                 {{0x20, 0x13, 0x00, 0x46, 0x05}, {0x67, 0x00}},  // Le too short
                                 // a wait whose data object runs past the data
                                 {{0x20, 0x15, 0x01, 0x00, 0x02, 0x80, 0x05}, {0x67, 0x00}},
                             });
    EXPECT_EQ(Send(*ct_, kCtn, 7, {0x20, 0x11, 0x00, 0x00}).result, kErrInvalid) << "dad 7";
    Bytes buffer;
    uint16_t lenr = 64;
    EXPECT_EQ(Call(kTerminal, kResetTerminal, lenr, buffer, kCard), kErrInvalid) << "sad: the card";

    // Terminal numbers and ports.
    EXPECT_EQ(ct_->init(kCtn, port_), kErrInvalid) << "terminal number already open";
    const uint16_t beyond = static_cast<uint16_t>(ListReaders().size() + 1);
    EXPECT_EQ(ct_->init(2, beyond), kErrCt) << "port beyond the readers present";
    EXPECT_EQ(ct_->close(2), kErrInvalid) << "never opened";
    EXPECT_EQ(Send(*ct_, 2, kTerminal, kResetTerminal).result, kErrInvalid) << "not opened";
}

// What card commands write and read is the terminal's real-stack test; here, that a reset resets.
TEST_F(Ct32Driver, CardCommandsPassAndAResetResetsTheCard) {
    mltest::CardSimProcess card(CardOf("class80"));
    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
    // Create 5511 (42 bytes) in the master file: the current file then.
    const Exchange created =
        ToCard({0x80, 0xE0, 0x00, 0x00, 0x23, 0x81, 0x02, 0x00, 0x2A, 0x82, 0x01, 0x01, 0x83, 0x02,
                0x55, 0x11, 0x85, 0x02, 0x01, 0x00, 0x86, 0x12, 0x60, 0x00, 0x00, 0x00, 0xFF, 0xFF,
                0xD6, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xB0, 0x00, 0x00, 0x00, 0xFF, 0xFF});
    ASSERT_EQ(created.answer, (Bytes{0x90, 0x00}));
    EXPECT_EQ(created.dad, kHost);
    EXPECT_EQ(created.sad, kCard) << "the card answers";
    const Bytes read = {0x00, 0xB0, 0x00, 0x00, 0x2A};
    EXPECT_EQ(ToCard(read).Sw(), 0x9000) << "the new file is the current one";
    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
    EXPECT_NE(ToCard(read).Sw(), 0x9000) << "after a reset the master file is selected";
}

TEST_F(Ct32Driver, RemovedCardIsNoticedAndAReinsertedOneServes) {
    auto card = std::make_unique<mltest::CardSimProcess>(CardOf("generic"));
    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
    const Exchange before = ToCard(kSelectMf);
    ASSERT_EQ(before.result, kOk);

    card->Remove();
    EXPECT_EQ(ToCard(kSelectMf).result, kErrTrans) << "the card has gone between two commands";
    const Exchange reset = ResetUntilNoCard();
    ASSERT_EQ(reset.result, kOk);
    EXPECT_EQ(reset.answer, (Bytes{0x64, 0xA1}));
    EXPECT_EQ(ToCard(kSelectMf).result, kErrTrans) << "no card, no session";

    card.reset();
    card = std::make_unique<mltest::CardSimProcess>(CardOf("generic"));
    EXPECT_EQ(ToCard(kSelectMf).result, kErrTrans) << "a new card is used only after its reset";
    ASSERT_EQ(ToTerminal(kResetCardNoData).answer, (Bytes{0x90, 0x01}));
    EXPECT_EQ(ToCard(kSelectMf).answer, before.answer);
}

TEST_F(Ct32Driver, CardThatFallsSilentFailsTheTransmission) {
    // The card reset's selection of the master file is the one command answered.
    mltest::CardSimProcess card(CardOf("generic", {"--stop-after", "1"}));
    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
    EXPECT_EQ(ToCard(kSelectMf).result, kErrTrans) << "no answer from the card";
}

TEST_F(Ct32Driver, ACardResetLeavesTheSessionsOfOtherApplicationsIntact) {
    mltest::CardSimProcess card(CardOf("class80"));
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context),
              SCARD_S_SUCCESS);
    SCARDHANDLE other = 0;
    DWORD protocol = 0;
    const std::string reader = mltest::VpcdReaderName(0);
    ASSERT_EQ(SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED,
                           SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &other, &protocol),
              SCARD_S_SUCCESS);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
        BYTE answer[258];
        DWORD length = sizeof answer;
        EXPECT_EQ(SCardTransmit(other, protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1,
                                kSelectMf.data(), static_cast<DWORD>(kSelectMf.size()), nullptr,
                                answer, &length),
                  SCARD_S_SUCCESS)
            << "the other application's session was reset";
    }
    SCardDisconnect(other, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
}

TEST_F(Ct32Driver, ACardThatRefusesTheMasterFileIsReset) {
    // Every selection is answered with 69 82: the reset falls back to a real one.
    mltest::CardSimProcess card(CardOf("class80", {"--answer-sw", "A4=6982"}));
    const Exchange reset = ToTerminal(kResetCardAtr);
    EXPECT_EQ(reset.Sw(), 0x9001);
    EXPECT_EQ(reset.Data(), AtrOf("class80"));
}

TEST_F(Ct32Driver, RequestIccWaitsForACardAndEjectForItsRemoval) {
    std::optional<Exchange> request;  // complete ATR, wait up to 60 s
    std::jthread requester([&] {
        request = ToTerminal({0x20, 0x12, 0x01, 0x01, 0x01, 0x3C, 0x00});
    });
    auto card = std::make_unique<mltest::CardSimProcess>(CardOf("generic"));
    requester.join();
    EXPECT_EQ(request->Sw(), 0x9001);
    EXPECT_EQ(request->Data(), AtrOf("generic"));

    std::optional<Exchange> eject;  // wait up to 60 s for the card to be taken
    std::jthread ejecter([&] { eject = ToTerminal({0x20, 0x15, 0x01, 0x00, 0x01, 0x3C}); });
    card->Remove();
    ejecter.join();
    EXPECT_EQ(eject->answer, (Bytes{0x90, 0x01})) << "card removed within the time";

    // Closing the terminal ends a wait for a card.
    std::jthread waiter([&] { request = ToTerminal({0x20, 0x12, 0x01, 0x00, 0x01, 0x78}); });
    usleep(300 * 1000);  // most likely waiting by now; the other order must work as well
    EXPECT_EQ(ct_->close(kCtn), kOk);
    waiter.join();
    EXPECT_NE(request->result, kOk) << "ended by the close, not by its two minutes";
    ct_.reset();
}

TEST_F(Ct32Driver, CallsFromSeveralThreadsAllGetTheirAnswers) {
    mltest::CardSimProcess card(CardOf("generic"));
    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
    ASSERT_EQ(ct_->init(2, port_), kOk);
    const Exchange expected = ToCard(kSelectMf);
    ASSERT_EQ(expected.result, kOk);
    std::vector<int> failures(4, 0);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 25; ++i) {
                    const Exchange status = Send(*ct_, 2, kTerminal, kCardStatus);
                    failures[t] += ToCard(kSelectMf).answer != expected.answer ||
                                   status.result != kOk || status.Sw() != 0x9000;
                }
            });
        }
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
    EXPECT_EQ(ct_->close(2), kOk);
    EXPECT_EQ(ct_->close(2), kErrInvalid) << "closed twice";
    EXPECT_EQ(Send(*ct_, 2, kTerminal, kResetTerminal).result, kErrInvalid);
    EXPECT_EQ(ToCard(kSelectMf).answer, expected.answer) << "terminal 1 still serves";
}

TEST_F(Ct32Driver, TraceHoldsNoDataOfTheCard) {
    if (std::getenv("CT32_TRACE_LEVEL") != nullptr) {
        GTEST_SKIP() << "CT32_TRACE_LEVEL set: the environment decides the level";
    }
    const std::string path = folder_ + "/trace.txt";
    setenv("CT32_TRACE_FILE", path.c_str(), 1);
    ct_->set_trace_options(2, 1);
    mltest::CardSimProcess card(CardOf("class80"));
    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
    // A "password" as the module would write it: UTF-16LE text of "Zq7Secret".
    Bytes update = {0x00, 0xD6, 0x00, 0x00, 18};
    for (const char c : std::string("Zq7Secret")) {
        update.insert(update.end(), {static_cast<uint8_t>(c), 0});
    }
    ToCard(update);  // whatever the card makes of it, the bytes went through the driver
    ToCard({0x00, 0xB0, 0x00, 0x00, 0x00});
    ct_->set_trace_options(0, 0);
    unsetenv("CT32_TRACE_FILE");

    const std::string traced = ReadFile(path);
    EXPECT_NE(traced.find("00 D6 00 00"), std::string::npos) << "calls are traced\n" << traced;
    EXPECT_EQ(traced.find("5A 00 71 00"), std::string::npos) << traced;  // "Zq" in hex
    EXPECT_EQ(traced.find("Zq7"), std::string::npos) << traced;
}

}  // namespace
