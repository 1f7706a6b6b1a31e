// ct32.so against pcscd, the vpcd reader and the card emulator: the
// terminal commands, card commands, removal and re-insertion, buffer sizes
// and the trace. The driver is loaded with dlopen, as the module loads it.
#include <PCSC/winscard.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cardsim_process.h"
#include "ct32_loader.h"

namespace {

using namespace ct32test;
using Bytes = std::vector<uint8_t>;

const Bytes kResetTerminal = {0x20, 0x10, 0x00, 0x00, 0x00};
const Bytes kResetCardNoData = {0x20, 0x11, 0x01, 0x00};
const Bytes kResetCardAtr = {0x20, 0x10, 0x01, 0x01, 0x00};
const Bytes kResetCardHistorical = {0x20, 0x11, 0x01, 0x02, 0x00};
const Bytes kCardStatus = {0x20, 0x13, 0x00, 0x80, 0x00};

constexpr uint16_t kCtn = 1;

// Readers in the order that SCardListReaders gives them, as the driver counts.
std::vector<std::string> ListReaders() {
    std::vector<std::string> readers;
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        return readers;
    }
    DWORD size = 0;
    if (SCardListReaders(context, nullptr, nullptr, &size) == SCARD_S_SUCCESS) {
        std::string multi(size, '\0');
        if (SCardListReaders(context, nullptr, multi.data(), &size) == SCARD_S_SUCCESS) {
            for (const char* name = multi.c_str(); *name != '\0'; name += strlen(name) + 1) {
                readers.emplace_back(name);
            }
        }
    }
    SCardReleaseContext(context);
    return readers;
}

// The driver's port number of a vpcd slot: its 1-based place in the list.
uint16_t PortOf(int slot) {
    const std::vector<std::string> readers = ListReaders();
    const std::string name = mltest::VpcdReaderName(slot);
    for (size_t i = 0; i < readers.size(); ++i) {
        if (readers[i] == name) {
            return static_cast<uint16_t>(i + 1);
        }
    }
    return 0;
}

// The ATR that pcsc-lite itself reports for the card in a slot.
Bytes AtrSeenByPcsc(int slot) {
    Bytes atr;
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        return atr;
    }
    SCARD_READERSTATE state{};
    const std::string name = mltest::VpcdReaderName(slot);
    state.szReader = name.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    if (SCardGetStatusChange(context, 0, &state, 1) == SCARD_S_SUCCESS) {
        atr.assign(state.rgbAtr, state.rgbAtr + state.cbAtr);
    }
    SCardReleaseContext(context);
    return atr;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Ct32Driver : public ::testing::Test {
  protected:
    void SetUp() override {
        ML_REQUIRE_REAL_STACK();
        port_ = PortOf(0);
        ASSERT_NE(port_, 0) << "reader " << mltest::VpcdReaderName(0) << " not listed";
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
    mltest::CardSimOptions CardOf(const char* family) {
        mltest::CardSimOptions options;
        options.family = family;
        options.image = folder_ + "/card" + std::to_string(++cards_) + ".img";
        return options;
    }

    Exchange ToTerminal(Bytes command) { return Send(*ct_, kCtn, kTerminal, std::move(command)); }
    Exchange ToCard(Bytes command) { return Send(*ct_, kCtn, kCard, std::move(command)); }

    // Card resets until pcscd has noticed that the slot is empty. vpcd is
    // polled, so a removal shows a moment after the emulator has gone.
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

    reset = ToTerminal({0x20, 0x11, 0x00, 0x00});
    ASSERT_EQ(reset.result, kOk);
    EXPECT_EQ(reset.answer, (Bytes{0x90, 0x00})) << "RESET CT with INS 11 and no Le";

    reset = ToTerminal(kResetCardAtr);
    ASSERT_EQ(reset.result, kOk);
    EXPECT_EQ(reset.answer, (Bytes{0x64, 0xA1}));

    const Exchange status = ToTerminal(kCardStatus);
    ASSERT_EQ(status.result, kOk);
    EXPECT_EQ(status.answer, (Bytes{0x80, 0x01, 0x00, 0x90, 0x00}));

    EXPECT_EQ(ToCard({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}).result, kErrTrans)
        << "a card command without a card";

    const Exchange request = ToTerminal({0x20, 0x12, 0x01, 0x01, 0x01, 0x00, 0x00});
    ASSERT_EQ(request.result, kOk);
    EXPECT_EQ(request.answer, (Bytes{0x62, 0x00})) << "REQUEST ICC without waiting";
}

TEST_F(Ct32Driver, CardResetAnswersTheAtrAsP2Asks) {
    mltest::CardSimProcess card(CardOf("generic"));
    const Bytes atr = AtrSeenByPcsc(0);
    ASSERT_GE(atr.size(), 2u);

    Exchange reset = ToTerminal(kResetCardNoData);
    ASSERT_EQ(reset.result, kOk);
    EXPECT_EQ(reset.answer, (Bytes{0x90, 0x01})) << "processor card, no data asked for";

    reset = ToTerminal(kResetCardAtr);
    ASSERT_EQ(reset.result, kOk);
    EXPECT_EQ(reset.Sw(), 0x9001);
    EXPECT_EQ(reset.Data(), atr);

    reset = ToTerminal(kResetCardHistorical);
    ASSERT_EQ(reset.result, kOk);
    EXPECT_EQ(reset.Sw(), 0x9001);
    const size_t historical = atr[1] & 0x0F;
    ASSERT_EQ(reset.Data().size(), historical);
    ASSERT_GE(atr.size(), historical + 3);
    // They come last, before the check byte TCK if there is one.
    const Bytes last(atr.end() - historical, atr.end());
    const Bytes before_tck(atr.end() - historical - 1, atr.end() - 1);
    EXPECT_TRUE(reset.Data() == last || reset.Data() == before_tck);

    const Exchange status = ToTerminal(kCardStatus);
    ASSERT_EQ(status.result, kOk);
    EXPECT_EQ(status.answer, (Bytes{0x80, 0x01, 0x05, 0x90, 0x00})) << "card present and active";

    const Exchange request = ToTerminal({0x20, 0x12, 0x01, 0x00});
    ASSERT_EQ(request.result, kOk);
    EXPECT_EQ(request.answer, (Bytes{0x62, 0x01})) << "REQUEST ICC: already active";

    const Exchange maker = ToTerminal({0x20, 0x13, 0x00, 0x46, 0x00});
    ASSERT_EQ(maker.result, kOk);
    ASSERT_GE(maker.answer.size(), 4u);
    EXPECT_EQ(maker.answer[0], 0x46);
    EXPECT_EQ(maker.answer[1], maker.answer.size() - 4) << "data object length";
    EXPECT_EQ(maker.Sw(), 0x9000);
}

TEST_F(Ct32Driver, AnAnswerLargerThanTheBufferIsRefusedUntouched) {
    mltest::CardSimProcess card(CardOf("generic"));
    const Bytes atr = AtrSeenByPcsc(0);
    ASSERT_GE(atr.size(), 2u);

    Bytes command = kResetCardAtr;
    Bytes buffer(64, 0xCC);
    const uint16_t fits = static_cast<uint16_t>(atr.size() + 2);
    uint8_t dad = kTerminal;
    uint8_t sad = kHost;
    uint16_t lenr = fits - 1;
    EXPECT_EQ(ct_->data(kCtn, &dad, &sad, static_cast<uint16_t>(command.size()), command.data(),
                        &lenr, buffer.data()),
              kErrMemory);
    EXPECT_EQ(buffer, Bytes(64, 0xCC)) << "not a byte written";
    EXPECT_EQ(lenr, fits - 1);
    EXPECT_EQ(dad, kTerminal);

    lenr = fits;
    ASSERT_EQ(ct_->data(kCtn, &dad, &sad, static_cast<uint16_t>(command.size()), command.data(),
                        &lenr, buffer.data()),
              kOk);
    EXPECT_EQ(lenr, fits);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + atr.size()), atr);
    EXPECT_EQ(Bytes(buffer.begin() + fits, buffer.end()), Bytes(64 - fits, 0xCC))
        << "nothing written past the answer";

    // The same for an answer of the card.
    Bytes read = {0x00, 0xB0, 0x00, 0x00, 0x00};
    dad = kCard;
    sad = kHost;
    lenr = 1;
    buffer.assign(64, 0xCC);
    EXPECT_EQ(ct_->data(kCtn, &dad, &sad, static_cast<uint16_t>(read.size()), read.data(), &lenr,
                        buffer.data()),
              kErrMemory);
    EXPECT_EQ(buffer, Bytes(64, 0xCC));
}

TEST_F(Ct32Driver, RefusesCommandsItDoesNotKnow) {
    struct Case {
        Bytes command;
        uint16_t sw;
        const char* what;
    };
    const Case cases[] = {
        {{0x20, 0x99, 0x00, 0x00}, 0x6D00, "unknown instruction"},
        {{0x80, 0x11, 0x00, 0x00}, 0x6E00, "class other than 20"},
        {{0x20, 0x11, 0x05, 0x00}, 0x6A00, "functional unit 05"},
        {{0x20, 0x11, 0x01, 0x03, 0x00}, 0x6A00, "P2 03 of RESET CT"},
        {{0x20, 0x11, 0x00, 0x01, 0x00}, 0x6A00, "terminal reset asking for an ATR"},
        {{0x20, 0x13, 0x00, 0x47, 0x00}, 0x6A00, "GET STATUS of an unknown data object"},
        {{0x20, 0x11, 0x01, 0x01, 0x03, 0xAA}, 0x6700, "Lc 3 with one data byte"},
        {{0x20, 0x11, 0x01, 0x01, 0x01, 0xAA}, 0x6700, "data on a RESET CT"},
        {{0x20, 0x13, 0x00, 0x46, 0x05}, 0x6700, "Le shorter than the manufacturer data"},
    };
    for (const Case& c : cases) {
        const Exchange answer = ToTerminal(c.command);
        ASSERT_EQ(answer.result, kOk) << c.what;
        EXPECT_EQ(answer.answer.size(), 2u) << c.what;
        EXPECT_EQ(answer.Sw(), c.sw) << c.what;
    }

    EXPECT_EQ(Send(*ct_, kCtn, 7, {0x20, 0x11, 0x00, 0x00}).result, kErrInvalid)
        << "destination 7 does not exist";
    EXPECT_EQ(Send(*ct_, kCtn + 1, kTerminal, kResetTerminal).result, kErrInvalid)
        << "terminal not opened";

    uint8_t dad = kTerminal;
    uint8_t sad = kCard;
    Bytes command = kResetTerminal;
    uint8_t response[8];
    uint16_t lenr = sizeof response;
    EXPECT_EQ(ct_->data(kCtn, &dad, &sad, 5, command.data(), &lenr, response), kErrInvalid)
        << "the card as source address";
    EXPECT_EQ(ct_->data(kCtn, &dad, &sad, 3, command.data(), &lenr, response), kErrInvalid);
}

TEST_F(Ct32Driver, TerminalNumbersAndPorts) {
    EXPECT_EQ(ct_->init(kCtn, port_), kErrInvalid) << "terminal number already open";
    const uint16_t beyond = static_cast<uint16_t>(ListReaders().size() + 1);
    EXPECT_EQ(ct_->init(2, beyond), kErrCt) << "port beyond the readers present";
    EXPECT_EQ(ct_->init(2, 0), kErrInvalid);
    EXPECT_EQ(ct_->close(2), kErrInvalid) << "never opened";

    // A second terminal on the same reader works beside the first.
    ASSERT_EQ(ct_->init(2, port_), kOk);
    EXPECT_EQ(Send(*ct_, 2, kTerminal, kResetTerminal).answer, (Bytes{0x90, 0x00}));
    EXPECT_EQ(ct_->close(2), kOk);
    EXPECT_EQ(ct_->close(2), kErrInvalid) << "closed twice";
    EXPECT_EQ(Send(*ct_, 2, kTerminal, kResetTerminal).result, kErrInvalid);
    EXPECT_EQ(Send(*ct_, kCtn, kTerminal, kResetTerminal).answer, (Bytes{0x90, 0x00}));
}

TEST_F(Ct32Driver, CardCommandsPassUnchangedBothWays) {
    mltest::CardSimProcess card(CardOf("class80"));
    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);

    // Create 5511 (42 bytes) in the master file, write it, read it back.
    Exchange answer =
        ToCard({0x80, 0xE0, 0x00, 0x00, 0x23, 0x81, 0x02, 0x00, 0x2A, 0x82, 0x01, 0x01, 0x83, 0x02,
                0x55, 0x11, 0x85, 0x02, 0x01, 0x00, 0x86, 0x12, 0x60, 0x00, 0x00, 0x00, 0xFF, 0xFF,
                0xD6, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xB0, 0x00, 0x00, 0x00, 0xFF, 0xFF});
    ASSERT_EQ(answer.result, kOk);
    EXPECT_EQ(answer.dad, kHost);
    EXPECT_EQ(answer.sad, kCard) << "the card answers";
    ASSERT_EQ(answer.answer, (Bytes{0x90, 0x00}));

    answer = ToCard({0x00, 0xA4, 0x02, 0x0C, 0x02, 0x55, 0x11});
    ASSERT_EQ(answer.answer, (Bytes{0x90, 0x00}));
    Bytes content(42);
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<uint8_t>(0xA0 + i);
    }
    Bytes update = {0x00, 0xD6, 0x00, 0x00, 0x2A};
    update.insert(update.end(), content.begin(), content.end());
    ASSERT_EQ(ToCard(update).answer, (Bytes{0x90, 0x00}));

    answer = ToCard({0x00, 0xB0, 0x00, 0x00, 0x2A});
    ASSERT_EQ(answer.result, kOk);
    EXPECT_EQ(answer.Sw(), 0x9000);
    EXPECT_EQ(answer.Data(), content);

    // A status word of the card's own comes back as it is.
    answer = ToCard({0x00, 0xA4, 0x02, 0x0C, 0x02, 0x12, 0x34});
    ASSERT_EQ(answer.result, kOk);
    EXPECT_EQ(answer.answer, (Bytes{0x6A, 0x82}));
}

TEST_F(Ct32Driver, CardOfAnotherClassAnswersWithItsOwnStatusWord) {
    mltest::CardSimProcess card(CardOf("tcos12"));
    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
    const Exchange answer = ToCard({0x00, 0xA4, 0x02, 0x0C, 0x02, 0x55, 0x11});
    ASSERT_EQ(answer.result, kOk);
    EXPECT_EQ(answer.answer, (Bytes{0x6E, 0x00}));
}

TEST_F(Ct32Driver, RemovedCardIsNoticedAndAReinsertedOneServes) {
    auto card = std::make_unique<mltest::CardSimProcess>(CardOf("generic"));
    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
    const Bytes select_mf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    const Exchange before = ToCard(select_mf);
    ASSERT_EQ(before.result, kOk);

    card->Remove();
    const Exchange lost = ToCard(select_mf);
    EXPECT_EQ(lost.result, kErrTrans) << "the card has gone between two commands";
    const Exchange reset = ResetUntilNoCard();
    ASSERT_EQ(reset.result, kOk);
    EXPECT_EQ(reset.answer, (Bytes{0x64, 0xA1}));
    EXPECT_EQ(ToCard(select_mf).result, kErrTrans) << "no card, no session";

    card.reset();
    card = std::make_unique<mltest::CardSimProcess>(CardOf("generic"));
    EXPECT_EQ(ToCard(select_mf).result, kErrTrans) << "a new card is used only after its reset";
    ASSERT_EQ(ToTerminal(kResetCardNoData).answer, (Bytes{0x90, 0x01}));
    const Exchange after = ToCard(select_mf);
    ASSERT_EQ(after.result, kOk);
    EXPECT_EQ(after.answer, before.answer);
}

TEST_F(Ct32Driver, CardResetReallyResetsTheCard) {
    mltest::CardSimProcess card(CardOf("class80"));
    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
    const Bytes create = {0x80, 0xE0, 0x00, 0x00, 0x23, 0x81, 0x02, 0x00, 0x20, 0x82,
                          0x01, 0x01, 0x83, 0x02, 0x55, 0x22, 0x85, 0x02, 0x01, 0x00,
                          0x86, 0x12, 0x60, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xD6, 0x00,
                          0x00, 0x00, 0xFF, 0xFF, 0xB0, 0x00, 0x00, 0x00, 0xFF, 0xFF};
    ASSERT_EQ(ToCard(create).answer, (Bytes{0x90, 0x00}));
    const Bytes read = {0x00, 0xB0, 0x00, 0x00, 0x20};
    ASSERT_EQ(ToCard(read).Sw(), 0x9000) << "the new file is the current one";

    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
    EXPECT_NE(ToCard(read).Sw(), 0x9000) << "after a reset the master file is selected";

    // Also when the terminal let go of the card in between.
    ASSERT_EQ(ToCard({0x00, 0xA4, 0x02, 0x0C, 0x02, 0x55, 0x22}).answer, (Bytes{0x90, 0x00}));
    ASSERT_EQ(ToTerminal({0x20, 0x15, 0x01, 0x00}).answer, (Bytes{0x90, 0x00}));
    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
    EXPECT_NE(ToCard(read).Sw(), 0x9000) << "a new session starts with a reset as well";
}

TEST_F(Ct32Driver, CardThatFallsSilentFailsTheTransmission) {
    mltest::CardSimOptions mute = CardOf("generic");
    mute.extra_args = {"--stop-after", "1"};
    mltest::CardSimProcess card(mute);
    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
    const Bytes select_mf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    ASSERT_EQ(ToCard(select_mf).result, kOk);
    EXPECT_EQ(ToCard(select_mf).result, kErrTrans) << "no answer from the card";
}

TEST_F(Ct32Driver, CardPulledInTheMiddleOfACommandFailsTheTransmission) {
    // pcscd (1.9.9, with vpcd) does not power up the next card put into a
    // slot whose card vanished in the middle of a command, with any client;
    // the card after that one is served again. Spend that card when leaving,
    // so that later tests find the slot sound.
    struct SpendNextCard {
        mltest::CardSimOptions options;
        ~SpendNextCard() {
            try {
                mltest::CardSimProcess spent(options);
            } catch (const std::exception&) {
            }
        }
    } spend{CardOf("generic")};
    mltest::CardSimOptions pulled = CardOf("generic");
    pulled.extra_args = {"--remove-after", "1"};
    mltest::CardSimProcess card(pulled);
    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
    const Bytes select_mf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    ASSERT_EQ(ToCard(select_mf).result, kOk);
    EXPECT_EQ(ToCard(select_mf).result, kErrTrans) << "card pulled while the command ran";
    const Exchange reset = ResetUntilNoCard();
    ASSERT_EQ(reset.result, kOk);
    EXPECT_EQ(reset.answer, (Bytes{0x64, 0xA1}));
}

TEST_F(Ct32Driver, RequestAndEjectFollowTheCard) {
    mltest::CardSimProcess card(CardOf("generic"));
    const Bytes atr = AtrSeenByPcsc(0);
    Exchange request = ToTerminal({0x20, 0x12, 0x01, 0x01, 0x00});
    ASSERT_EQ(request.result, kOk);
    EXPECT_EQ(request.Sw(), 0x9001) << "present but not active: activated";
    EXPECT_EQ(request.Data(), atr);

    const Exchange eject = ToTerminal({0x20, 0x15, 0x01, 0x00});
    ASSERT_EQ(eject.result, kOk);
    EXPECT_EQ(eject.answer, (Bytes{0x90, 0x00}));
    EXPECT_EQ(ToTerminal(kCardStatus).answer, (Bytes{0x80, 0x01, 0x01, 0x90, 0x00}))
        << "present, no longer active";
    EXPECT_EQ(ToCard({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}).result, kErrTrans);
}

TEST_F(Ct32Driver, RequestIccWaitsForACardAndEjectForItsRemoval) {
    // REQUEST ICC, complete ATR, wait up to 60 s.
    std::optional<Exchange> request;
    std::jthread requester([&] {
        request = ToTerminal({0x20, 0x12, 0x01, 0x01, 0x01, 0x3C, 0x00});
    });
    auto card = std::make_unique<mltest::CardSimProcess>(CardOf("generic"));
    requester.join();
    ASSERT_EQ(request->result, kOk);
    EXPECT_EQ(request->Sw(), 0x9001);
    EXPECT_EQ(request->Data(), AtrSeenByPcsc(0));

    // EJECT ICC, wait up to 60 s for the card to be taken.
    std::optional<Exchange> eject;
    std::jthread ejecter([&] { eject = ToTerminal({0x20, 0x15, 0x01, 0x00, 0x01, 0x3C}); });
    card->Remove();
    ejecter.join();
    ASSERT_EQ(eject->result, kOk);
    EXPECT_EQ(eject->answer, (Bytes{0x90, 0x01})) << "card removed within the time";
}

TEST_F(Ct32Driver, ClosingATerminalEndsItsWaitForACard) {
    std::optional<Exchange> request;
    std::jthread requester([&] { request = ToTerminal({0x20, 0x12, 0x01, 0x00, 0x01, 0x78}); });
    usleep(300 * 1000);  // most likely waiting by now; the other order must work as well
    EXPECT_EQ(ct_->close(kCtn), kOk);
    requester.join();
    EXPECT_NE(request->result, kOk) << "ended by the close, not by its two minutes";
    ct_.reset();
}

TEST_F(Ct32Driver, CallsFromSeveralThreadsAllGetTheirAnswers) {
    mltest::CardSimProcess card(CardOf("generic"));
    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
    ASSERT_EQ(ct_->init(2, port_), kOk);
    const Exchange expected = ToCard({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00});
    ASSERT_EQ(expected.result, kOk);

    std::vector<int> failures(4, 0);
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const Exchange card_answer = ToCard({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00});
                const Exchange status = Send(*ct_, 2, kTerminal, kCardStatus);
                if (card_answer.answer != expected.answer || status.result != kOk ||
                    status.Sw() != 0x9000) {
                    ++failures[t];
                }
            }
        });
    }
    for (std::jthread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
    EXPECT_EQ(ct_->close(2), kOk);
}

TEST_F(Ct32Driver, TraceHoldsNoDataOfTheCard) {
    if (std::getenv("CT32_TRACE_LEVEL") != nullptr) {
        GTEST_SKIP() << "CT32_TRACE_LEVEL set: the environment decides the level";
    }
    char path[] = "/tmp/ct32_trace_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("CT32_TRACE_FILE", path, 1);
    ct_->set_trace_options(2, 1);

    mltest::CardSimProcess card(CardOf("class80"));
    ASSERT_EQ(ToTerminal(kResetCardNoData).Sw(), 0x9001);
    // A "password" as the module would write it: UTF-16LE text.
    const std::string secret = "Zq7Secret";
    Bytes update = {0x00, 0xD6, 0x00, 0x00, static_cast<uint8_t>(secret.size() * 2)};
    for (const char c : secret) {
        update.push_back(static_cast<uint8_t>(c));
        update.push_back(0);
    }
    ToCard(update);  // whatever the card makes of it, the bytes went through the driver
    ToCard({0x00, 0xB0, 0x00, 0x00, 0x00});
    ct_->set_trace_options(0, 0);
    unsetenv("CT32_TRACE_FILE");

    const std::string traced = ReadFile(path);
    unlink(path);
    EXPECT_NE(traced.find("00 D6 00 00"), std::string::npos) << "calls are traced\n" << traced;
    EXPECT_EQ(traced.find("5A 00 71 00"), std::string::npos) << traced;  // "Zq" in hex
    EXPECT_EQ(traced.find("Zq7"), std::string::npos) << traced;
}

}  // namespace
