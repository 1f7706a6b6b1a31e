// The card library through the real stack: pcsc-lite, pcscd, the vpcd reader
// and the card emulator mlcardsim, one card family at a time.
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cardsim_process.h"
#include "mlsmartcardx/tests/test_support.h"

namespace mltest {

int64_t PcscLiteConnectResult(const std::string& reader);  // pcsclite_probe.cpp

namespace {

// Forwards to the pcsc-lite service and keeps count of what is left open.
class CountingService final : public ml::SCardService {
  public:
    explicit CountingService(ml::SCardService& inner) : inner_(inner) {}

    int openContexts = 0;
    int openCards = 0;

    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override {
        LONG rv = inner_.EstablishContext(scope, context);
        openContexts += rv == SCARD_S_SUCCESS;
        return rv;
    }
    LONG ReleaseContext(SCARDCONTEXT context) override {
        LONG rv = inner_.ReleaseContext(context);
        openContexts -= rv == SCARD_S_SUCCESS;
        return rv;
    }
    LONG Connect(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode, DWORD protocols,
                 SCARDHANDLE* card, DWORD* active) override {
        LONG rv = inner_.Connect(context, reader, shareMode, protocols, card, active);
        openCards += rv == SCARD_S_SUCCESS;
        return rv;
    }
    LONG Status(SCARDHANDLE card, LPWSTR names, DWORD* namesLength, DWORD* state, DWORD* protocol,
                BYTE* atr, DWORD* atrLength) override {
        return inner_.Status(card, names, namesLength, state, protocol, atr, atrLength);
    }
    LONG Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* pci, const BYTE* send, DWORD sendLength,
                  SCARD_IO_REQUEST* receivePci, BYTE* receive, DWORD* receiveLength) override {
        return inner_.Transmit(card, pci, send, sendLength, receivePci, receive, receiveLength);
    }
    LONG Disconnect(SCARDHANDLE card, DWORD disposition) override {
        LONG rv = inner_.Disconnect(card, disposition);
        openCards -= rv == SCARD_S_SUCCESS;
        return rv;
    }

  private:
    ml::SCardService& inner_;
};

std::u16string Widen(const std::string& ascii) {
    return {ascii.begin(), ascii.end()};
}

// The content of one EF in an emulator image file, empty when absent.
std::vector<BYTE> ImageFile(const std::string& image, WORD fid) {
    std::ifstream in(image);
    std::string line;
    char wanted[16];
    snprintf(wanted, sizeof(wanted), "ef %04X ", fid);
    while (std::getline(in, line)) {
        if (line.rfind(wanted, 0) == 0) {
            std::string hex = line.substr(8);
            std::vector<BYTE> out;
            for (size_t i = 0; i + 1 < hex.size(); i += 2) {
                out.push_back(static_cast<BYTE>(std::stoul(hex.substr(i, 2), nullptr, 16)));
            }
            return out;
        }
    }
    return {};
}

std::string HexOf(const std::vector<BYTE>& bytes) {
    std::string out;
    char b[3];
    for (BYTE x : bytes) {
        snprintf(b, sizeof(b), "%02X", x);
        out += b;
    }
    return out;
}

struct ReadOut {
    LONG rv = 0;
    std::u16string user, domain, password;
};

class RealStackTest : public ::testing::Test {
  public:
    void SetUp() override {
        ML_REQUIRE_REAL_STACK();
        char tmpl[] = "/tmp/mlsmartcard-realstack-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        reader = Widen(VpcdReaderName(0));
        installed_ = std::make_unique<ScopedSCardService>(&counting);
    }
    void TearDown() override {
        installed_.reset();
        if (!dir_.empty()) {
            std::filesystem::remove_all(dir_);
        }
    }

    std::string Image(const std::string& name) { return dir_ + "/" + name + ".img"; }

    ReadOut Read() {
        ReadOut r;
        LPWSTR user = nullptr, domain = nullptr, password = nullptr;
        DWORD capacity = 0;
        r.rv = SmartCardReadFiles(reader.c_str(), &user, &domain, &password, &capacity);
        if (r.rv == SCARD_S_SUCCESS) {
            r.user = user;
            r.domain = domain;
            r.password = password;
            EXPECT_EQ(capacity, 50u);
        }
        free(user);
        free(domain);
        free(password);
        return r;
    }

    void ExpectNothingOpen() {
        EXPECT_EQ(counting.openContexts, 0);
        EXPECT_EQ(counting.openCards, 0);
    }

    std::u16string reader;
    CountingService counting{ml::GetSCardService()};

  private:
    std::string dir_;
    std::unique_ptr<ScopedSCardService> installed_;
};

TEST_F(RealStackTest, EachFamilyIsCreatedWrittenReadAndDeleted) {
    struct Family {
        const char* name;
        DWORD variant;
        DWORD idLength;
    };
    const Family families[] = {{"generic", kCardVariantGeneric, 0},
                               {"tcos12", kCardVariantTcos12, 10},
                               {"class80", kCardVariantClass80, 10}};
    for (const Family& family : families) {
        SCOPED_TRACE(family.name);
        const std::string image = Image(family.name);
        CardSimProcess sim({family.name, image, 0, {}});

        CardInfo info{};
        SCARDCONTEXT context = 0;
        SCARDHANDLE card = 0;
        ASSERT_EQ(SmartCardConnect(reader.c_str(), &context, &card, &info), SCARD_S_SUCCESS);
        EXPECT_EQ(info.variant, family.variant);
        EXPECT_EQ(info.idLength, family.idLength);
        EXPECT_TRUE(info.protocol == SCARD_PROTOCOL_T0 || info.protocol == SCARD_PROTOCOL_T1);
        EXPECT_GT(info.atrLength, 0u);
        // The reader's name comes back from pcsc-lite as UTF-16.
        WCHAR names[128] = {};
        DWORD namesLength = 128;
        EXPECT_EQ(ml::GetSCardService().Status(card, names, &namesLength, nullptr, nullptr, nullptr,
                                               nullptr),
                  SCARD_S_SUCCESS);
        EXPECT_EQ(std::u16string(names), reader);
        EXPECT_EQ(namesLength, reader.size() + 2);
        EXPECT_EQ(SmartCardDisconnect(context, card), SCARD_S_SUCCESS);

        SmartCardDeleteFiles(reader.c_str());
        ASSERT_EQ(SmartCardCreateFiles(reader.c_str()), SCARD_S_SUCCESS);
        ASSERT_EQ(
            SmartCardWriteFiles(reader.c_str(), u"schichtführer", u"WERK-NORD", u"Kennwort#1", 10),
            SCARD_S_SUCCESS);
        ReadOut r = Read();
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
        EXPECT_EQ(r.user, u"schichtführer");
        EXPECT_EQ(r.domain, u"WERK-NORD");
        EXPECT_EQ(r.password, u"Kennwort#1");

        // On the card: the 240-byte record with the fields at 8, 80 and 136.
        std::vector<BYTE> record = ImageFile(image, 0x5544);
        ASSERT_EQ(record.size(), 240u);
        EXPECT_EQ(record[8], 's');
        EXPECT_EQ(record[8 + 2 * 8], 0xFC);  // ü, UTF-16LE
        EXPECT_EQ(record[9 + 2 * 8], 0x00);
        EXPECT_EQ(record[80], 'W');
        EXPECT_EQ(record[136], 'K');
        EXPECT_EQ(record[7], 0);
        EXPECT_EQ(record[50], 0);

        // The card refuses a second UNIQUE.
        EXPECT_NE(SmartCardCreateFiles(reader.c_str()), SCARD_S_SUCCESS);
        ASSERT_EQ(SmartCardDeleteFiles(reader.c_str()), SCARD_S_SUCCESS);
        EXPECT_EQ(Read().rv, SCARD_E_FILE_NOT_FOUND);
        ExpectNothingOpen();
    }
}

TEST_F(RealStackTest, LegacyFilesAreReadAndWrittenWhenUniqueIsAbsent) {
    const std::string image = Image("legacy");
    std::vector<BYTE> user(42, 0), domain(32, 0), password(100, 0);
    const std::string u = "altbenutzer", d = "ALT", p = "geheim";
    for (size_t i = 0; i < u.size(); ++i)
        user[2 * i] = static_cast<BYTE>(u[i]);
    for (size_t i = 0; i < d.size(); ++i)
        domain[2 * i] = static_cast<BYTE>(d[i]);
    for (size_t i = 0; i < p.size(); ++i)
        password[2 * i] = static_cast<BYTE>(p[i]);
    {
        std::ofstream out(image);
        out << "mlcardsim-image 1\nfamily generic\n"
            << "ef 5511 " << HexOf(user) << "\n"
            << "ef 5522 " << HexOf(domain) << "\n"
            << "ef 5533 " << HexOf(password) << "\nend\n";
    }
    CardSimProcess sim({"generic", image, 0, {}});
    ReadOut r = Read();
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.user, u"altbenutzer");
    EXPECT_EQ(r.domain, u"ALT");
    EXPECT_EQ(r.password, u"geheim");

    ASSERT_EQ(SmartCardWriteFiles(reader.c_str(), u"neu", u"NEU", u"pw", 2), SCARD_S_SUCCESS);
    EXPECT_EQ(ImageFile(image, 0x5511)[0], 'n');
    EXPECT_EQ(ImageFile(image, 0x5511)[6], 0);
    EXPECT_EQ(ImageFile(image, 0x5533)[2], 'w');
    EXPECT_TRUE(ImageFile(image, 0x5544).empty());
    r = Read();
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.user, u"neu");
    EXPECT_EQ(r.password, u"pw");
    ExpectNothingOpen();
}

TEST_F(RealStackTest, UnknownReaderYieldsThePlatformResult) {
    const std::u16string unknown = u"Virtual PCD 00 99";
    LPWSTR user = nullptr, domain = nullptr, password = nullptr;
    DWORD capacity = 0;
    EXPECT_EQ(SmartCardReadFiles(unknown.c_str(), &user, &domain, &password, &capacity),
              SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(SmartCardCreateFiles(unknown.c_str()), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(user, nullptr);
    CardInfo info{};
    SCARDCONTEXT context = 1;
    SCARDHANDLE card = 1;
    EXPECT_EQ(SmartCardConnect(unknown.c_str(), &context, &card, &info), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(context, 0u);
    EXPECT_EQ(card, 0u);
    ExpectNothingOpen();
}

TEST_F(RealStackTest, EmptyReaderIsReportedAsRemovedCard) {
    // pcsc-lite itself answers SCARD_E_NO_SMARTCARD, a positive 64-bit long;
    // the service says what Windows says, as a 32-bit LONG.
    EXPECT_EQ(PcscLiteConnectResult(VpcdReaderName(0)), int64_t{0x8010000C});
    EXPECT_EQ(PcscLiteConnectResult("Virtual PCD 00 99"), int64_t{0x80100009});
    ml::SCardService& service = ml::GetSCardService();
    SCARDCONTEXT context = 0;
    ASSERT_EQ(service.EstablishContext(SCARD_SCOPE_USER, &context), SCARD_S_SUCCESS);
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    EXPECT_EQ(service.Connect(context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_Tx, &card,
                              &protocol),
              SCARD_W_REMOVED_CARD);
    EXPECT_EQ(service.ReleaseContext(context), SCARD_S_SUCCESS);
    EXPECT_EQ(Read().rv, SCARD_W_REMOVED_CARD);
    ExpectNothingOpen();
}

TEST_F(RealStackTest, CardPulledDuringAWriteLeavesTheLibraryWorking) {
    const std::string image = Image("pulled");
    {
        CardSimProcess sim({"generic", image, 0, {}});
        ASSERT_EQ(SmartCardCreateFiles(reader.c_str()), SCARD_S_SUCCESS);
        ASSERT_EQ(SmartCardWriteFiles(reader.c_str(), u"vorher", u"D", u"p", 1), SCARD_S_SUCCESS);
    }
    {
        // selectMF and selectEF are answered; the card goes at the update.
        CardSimProcess sim({"generic", image, 0, {"--remove-after", "2"}});
        LONG rv = SmartCardWriteFiles(reader.c_str(), u"nachher", u"D", u"p", 1);
        // The update's transmit succeeds with no answer at all: status word 0000.
        EXPECT_EQ(rv, SCARD_E_UNEXPECTED);
        ExpectNothingOpen();
        sim.Remove();
        EXPECT_EQ(Read().rv, SCARD_W_REMOVED_CARD);
    }
    CardSimProcess sim({"generic", image, 0, {}});
    ReadOut r = Read();
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.user, u"vorher");  // the interrupted update changed nothing
    ASSERT_EQ(SmartCardWriteFiles(reader.c_str(), u"nachher", u"D", u"p", 1), SCARD_S_SUCCESS);
    EXPECT_EQ(Read().user, u"nachher");
    ExpectNothingOpen();
}

}  // namespace
}  // namespace mltest
