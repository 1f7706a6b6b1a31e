// The emulator in a real pcscd: mlcardsim in a vpcd reader, talked to through pcsc-lite.
#include <winscard.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "cardsim/card.h"
#include "cardsim_process.h"
#include "test_util.h"

namespace cardsim {
namespace {

using mltest::CardSimOptions;
using mltest::CardSimProcess;
using test::H;

// One pcsc-lite connection to a reader, shared mode, T=0 or T=1.
class Connection {
  public:
    explicit Connection(int slot) {
        EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx_),
                  SCARD_S_SUCCESS);
        connect_rv_ = SCardConnect(ctx_, mltest::VpcdReaderName(slot).c_str(), SCARD_SHARE_SHARED,
                                   SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_, &protocol_);
    }
    ~Connection() {
        if (connect_rv_ == SCARD_S_SUCCESS) {
            SCardDisconnect(card_, SCARD_LEAVE_CARD);
        }
        SCardReleaseContext(ctx_);
    }
    LONG connect_result() const { return connect_rv_; }

    LONG Status(Bytes& atr) {
        char reader[256];
        DWORD reader_len = sizeof reader;
        DWORD state = 0;
        DWORD protocol = 0;
        std::uint8_t buf[MAX_ATR_SIZE];
        DWORD atr_len = sizeof buf;
        const LONG rv = SCardStatus(card_, reader, &reader_len, &state, &protocol, buf, &atr_len);
        atr.assign(buf, buf + (rv == SCARD_S_SUCCESS ? atr_len : 0));
        return rv;
    }

    // Sends with a 300-byte receive buffer, as the card library does.
    LONG Transmit(std::string_view hex, Bytes& response) {
        const Bytes apdu = H(hex);
        std::uint8_t buf[300];
        DWORD len = sizeof buf;
        const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
        const LONG rv = SCardTransmit(card_, pci, apdu.data(), static_cast<DWORD>(apdu.size()),
                                      nullptr, buf, &len);
        response.assign(buf, buf + (rv == SCARD_S_SUCCESS ? len : 0));
        return rv;
    }
    Bytes Transmit(std::string_view hex) {
        Bytes r;
        EXPECT_EQ(Transmit(hex, r), SCARD_S_SUCCESS) << hex;
        return r;
    }

  private:
    SCARDCONTEXT ctx_ = 0;
    SCARDHANDLE card_ = 0;
    DWORD protocol_ = 0;
    LONG connect_rv_ = SCARD_E_UNEXPECTED;
};

class RealStack : public ::testing::Test {
  protected:
    void SetUp() override { ML_REQUIRE_REAL_STACK(); }
    test::TempDir dir_;
};

TEST_F(RealStack, EachFamilyInsertedAnsweredAndRemoved) {
    struct Case {
        const char* family;
        Family f;
        std::vector<std::pair<const char*, const char*>> exchange;  // command, answer
    };
    const Case cases[] = {
        {"generic",
         Family::generic,
         {{"00 A4 00 0C 02 3F 00", "90 00"},
          {"00 E0 00 00 09 62 07 81 01 02 83 02 55 44", "90 00"},
          {"00 D6 00 00 02 12 34", "90 00"},
          {"00 B0 00 00 02", "12 34 90 00"},
          {"B0 A4 02 0C 02 55 44", "6E 00"}}},
        {"tcos12",
         Family::tcos12,
         {{"00 A4 00 00 00", "90 00"},
          {"00 A4 02 0C 02 55 11", "6E 00"},
          {"B0 E0 00 00 0A 55 44 FF FF 80 FF 00 00 00 02", "90 00"},
          {"B0 D6 00 00 02 12 34", "90 00"},
          {"B0 B0 00 00 04", "12 34 62 82"}}},
        {"class80",
         Family::class80,
         {{"00 A4 00 0C 02 3F 00", "90 00"},
          {"80 E0 00 00 23 81 02 00 02 82 01 01 83 02 55 11 85 02 01 00 86 12 60 00 00 00 FF "
           "FF D6 00 00 00 FF FF B0 00 00 00 FF FF",
           "90 00"},
          {"80 E0 00 00 23 81 02 00 02 82 01 01 83 02 55 11 85 02 01 00 86 12 60 00 00 00 FF "
           "FF D6 00 00 00 FF FF B0 00 00 00 FF FF",
           "6A F1"},
          {"00 D6 00 00 02 12 34", "90 00"},
          {"00 B0 00 00 02", "12 34 90 00"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.family);
        CardSimProcess sim({c.family, dir_.File(std::string(c.family) + ".img"), 0, {}});
        ASSERT_TRUE(sim.Running());
        Connection conn(0);
        ASSERT_EQ(conn.connect_result(), SCARD_S_SUCCESS);
        Bytes atr;
        ASSERT_EQ(conn.Status(atr), SCARD_S_SUCCESS);
        EXPECT_EQ(atr, AtrOf(c.f));
        for (const auto& [command, answer] : c.exchange) {
            EXPECT_EQ(conn.Transmit(command), H(answer)) << command;
        }

        sim.Remove();
        EXPECT_FALSE(sim.Running());
        EXPECT_EQ(sim.ExitStatus(), 0);
        EXPECT_EQ(conn.Status(atr), SCARD_W_REMOVED_CARD);
        Bytes r;
        EXPECT_EQ(conn.Transmit("00 A4 00 0C 02 3F 00", r), SCARD_W_REMOVED_CARD);
        EXPECT_EQ(Connection(0).connect_result(), SCARD_E_NO_SMARTCARD);
    }
}

TEST_F(RealStack, SecondSlotAndImageKeptAcrossRuns) {
    const std::string image = dir_.File("card.img");
    {
        CardSimProcess sim({"class80", image, 1, {}});
        EXPECT_EQ(Connection(0).connect_result(), SCARD_E_NO_SMARTCARD) << "slot 0 stays empty";
        Connection conn(1);
        ASSERT_EQ(conn.connect_result(), SCARD_S_SUCCESS);
        conn.Transmit(
            "80 E0 00 00 23 81 02 00 03 82 01 01 83 02 55 22 85 02 01 00 86 12 60 00 00 00 FF FF "
            "D6 00 00 00 FF FF B0 00 00 00 FF FF");
        EXPECT_EQ(conn.Transmit("00 D6 00 00 03 0A 0B 0C"), H("90 00"));
    }
    CardSimProcess sim({"class80", image, 1, {}});
    Connection conn(1);
    ASSERT_EQ(conn.connect_result(), SCARD_S_SUCCESS);
    EXPECT_EQ(conn.Transmit("00 A4 02 0C 02 55 22"), H("90 00"));
    EXPECT_EQ(conn.Transmit("00 B0 00 00 03"), H("0A 0B 0C 90 00"));
}

// --stop-after: pcscd fails each later transmit; the card stays in the reader.
TEST_F(RealStack, MuteCardFailsTransmitsButStaysInserted) {
    CardSimProcess sim({"generic", dir_.File("card.img"), 0, {"--stop-after", "1"}});
    Connection conn(0);
    ASSERT_EQ(conn.connect_result(), SCARD_S_SUCCESS);
    EXPECT_EQ(conn.Transmit("00 A4 00 0C 02 3F 00"), H("90 00"));
    Bytes r;
    EXPECT_EQ(conn.Transmit("00 A4 00 0C 02 3F 00", r), SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(conn.Transmit("00 B0 00 00 01", r), SCARD_E_INSUFFICIENT_BUFFER);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // two presence polls
    Bytes atr;
    EXPECT_EQ(conn.Status(atr), SCARD_S_SUCCESS);
    EXPECT_EQ(atr, AtrOf(Family::generic));
    EXPECT_TRUE(sim.Running());
}

// --remove-after: the card is pulled while pcscd waits for an answer.
TEST_F(RealStack, CardPulledInTheMiddleOfAnOperation) {
    CardSimProcess sim({"class80", dir_.File("card.img"), 0, {"--remove-after", "1"}});
    Connection conn(0);
    ASSERT_EQ(conn.connect_result(), SCARD_S_SUCCESS);
    EXPECT_EQ(conn.Transmit("00 A4 00 0C 02 3F 00"), H("90 00"));
    Bytes r;
    EXPECT_EQ(conn.Transmit("00 A4 00 0C 02 3F 00", r), SCARD_S_SUCCESS);
    EXPECT_TRUE(r.empty()) << "vpcd hands on the broken exchange as an empty answer";
    // Until pcscd's next presence poll the reader fails, then it reports the removal.
    const LONG next = conn.Transmit("00 A4 00 0C 02 3F 00", r);
    EXPECT_TRUE(next == SCARD_E_NOT_TRANSACTED || next == SCARD_W_REMOVED_CARD) << std::hex << next;
    sim.Remove();  // mlcardsim ended by itself; this waits until the reader is empty
    EXPECT_EQ(sim.ExitStatus(), 0);
    Bytes atr;
    EXPECT_EQ(conn.Status(atr), SCARD_W_REMOVED_CARD);
}

TEST_F(RealStack, ForcedStatusWordAndDelayedAnswers) {
    CardSimProcess sim(
        {"class80", dir_.File("card.img"), 0, {"--answer-sw", "B0=6A82", "--delay-ms", "200"}});
    Connection conn(0);
    ASSERT_EQ(conn.connect_result(), SCARD_S_SUCCESS);
    EXPECT_EQ(conn.Transmit("00 A4 02 0C 02 2F 02"), H("90 00"));
    EXPECT_EQ(conn.Transmit("00 B0 00 00 2C"), H("6A 82"));
}

}  // namespace
}  // namespace cardsim
