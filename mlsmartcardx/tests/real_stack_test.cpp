// The card library through the real stack: pcsc-lite, pcscd, the vpcd reader
// and the card emulator mlcardsim, one card family at a time.
#include <stdlib.h>

#include <filesystem>
#include <map>

#include "cardsim/image.h"
#include "cardsim_process.h"
#include "mlsmartcardx/tests/test_support.h"

namespace mltest {
namespace {

// The content of one EF in an emulator image file, empty when absent.
std::vector<BYTE> ImageFile(const std::string& image, WORD fid) {
    const cardsim::CardImage card = cardsim::LoadImage(image).value_or(cardsim::CardImage{});
    return card.files.contains(fid) ? card.files.at(fid) : std::vector<BYTE>{};
}

// Writes a generic card holding `files`.
void PutImage(const std::string& image, std::map<WORD, std::vector<BYTE>> files) {
    cardsim::CardImage card;
    card.files = std::move(files);
    cardsim::SaveImage(image, card);
}

class RealStackTest : public ::testing::Test {
  public:
    void SetUp() override {
        ML_REQUIRE_REAL_STACK();
        char tmpl[] = "/tmp/mlsmartcard-realstack-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        installed_ = std::make_unique<ScopedSCardService>(&counting);
    }
    void TearDown() override {
        installed_.reset();
        if (!dir_.empty()) {
            std::filesystem::remove_all(dir_);
        }
    }

    std::string Image(const std::string& name) { return dir_ + "/" + name + ".img"; }
    ReadResult Read() { return ReadCard(reader.c_str()); }
    void ExpectNothingOpen() {
        EXPECT_EQ(counting.openContexts.load(), 0);
        EXPECT_EQ(counting.openCards.load(), 0);
    }

    const std::u16string reader = Widen(VpcdReaderName(0));
    ForwardingService counting{ml::GetSCardService()};

  private:
    std::string dir_;
    std::unique_ptr<ScopedSCardService> installed_;
};

TEST_F(RealStackTest, EachFamilyIsCreatedWrittenReadAndDeleted) {
    const struct {
        const char* name;
        DWORD variant;
        DWORD idLength;
    } families[] = {{"generic", kCardVariantGeneric, 0},
                    {"tcos12", kCardVariantTcos12, 10},
                    {"class80", kCardVariantClass80, 10}};
    for (const auto& family : families) {
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
        EXPECT_EQ(std::vector<BYTE>(info.atr, info.atr + info.atrLength),
                  cardsim::AtrOf(*cardsim::ParseFamily(family.name)));
        // The reader's name comes back from pcsc-lite as UTF-16.
        WCHAR names[128] = {};
        DWORD namesLength = 128;
        EXPECT_EQ(counting.Status(card, names, &namesLength, nullptr, nullptr, nullptr, nullptr),
                  SCARD_S_SUCCESS);
        EXPECT_EQ(std::u16string(names), reader);
        EXPECT_EQ(namesLength, reader.size() + 2);
        EXPECT_EQ(SmartCardDisconnect(context, card), SCARD_S_SUCCESS);

        ASSERT_EQ(SmartCardCreateFiles(reader.c_str()), SCARD_S_SUCCESS);
        ASSERT_EQ(
            SmartCardWriteFiles(reader.c_str(), u"schichtführer", u"WERK-NORD", u"Kennwort#1", 10),
            SCARD_S_SUCCESS);
        ReadResult r = Read();
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
        EXPECT_EQ(r.user, u"schichtführer");
        EXPECT_EQ(r.domain, u"WERK-NORD");
        EXPECT_EQ(r.password, u"Kennwort#1");
        EXPECT_EQ(r.capacity, 50u);
        // On the card: the 240-byte record with the fields at 8, 80 and 136.
        EXPECT_EQ(ImageFile(image, kFileUnique),
                  Record(u"schichtführer", u"WERK-NORD", u"Kennwort#1"));

        // The card refuses a second UNIQUE.
        EXPECT_NE(SmartCardCreateFiles(reader.c_str()), SCARD_S_SUCCESS);
        ASSERT_EQ(SmartCardDeleteFiles(reader.c_str()), SCARD_S_SUCCESS);
        EXPECT_EQ(Read().rv, SCARD_E_FILE_NOT_FOUND);
        ExpectNothingOpen();
    }
}

TEST_F(RealStackTest, LegacyFilesAreReadAndWrittenWhenUniqueIsAbsent) {
    const std::string image = Image("legacy");
    const std::vector<BYTE> record = Record(u"altbenutzer", u"ALT", u"geheim");
    PutImage(image, {{kFileUserName, Zone(record, kFileUserName)},
                     {kFileDomain, Zone(record, kFileDomain)},
                     {kFilePassword, Zone(record, kFilePassword)}});
    // A card that refuses the domain file, and one whose answers end early.
    for (const auto& [fault, result] :
         {std::pair{std::vector<std::string>{"--refuse-file", "5522=6982"},
                    SCARD_W_SECURITY_VIOLATION},
          {{"--short-read", "20"}, kSmartCardNoLoginData}}) {
        CardSimProcess faulty({"generic", image, 0, fault});
        EXPECT_EQ(Read().rv, result) << fault[0];
    }
    CardSimProcess sim({"generic", image, 0, {}});
    ReadResult r = Read();
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.user, u"altbenutzer");
    EXPECT_EQ(r.domain, u"ALT");
    EXPECT_EQ(r.password, u"geheim");

    ASSERT_EQ(SmartCardWriteFiles(reader.c_str(), u"neu", u"NEU", u"pw", 2), SCARD_S_SUCCESS);
    const std::vector<BYTE> written = Record(u"neu", u"NEU", u"pw");
    for (WORD file : {kFileUserName, kFileDomain, kFilePassword}) {
        EXPECT_EQ(ImageFile(image, file), Zone(written, file)) << file;
    }
    EXPECT_TRUE(ImageFile(image, kFileUnique).empty());
    r = Read();
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.user, u"neu");
    EXPECT_EQ(r.password, u"pw");
    ExpectNothingOpen();
}

TEST_F(RealStackTest, UnknownAndEmptyReaders) {
    // An unknown reader: the platform's result, nothing left open.
    const std::u16string unknown = u"Virtual PCD 00 99";
    EXPECT_EQ(ReadCard(unknown.c_str()).rv, SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(SmartCardCreateFiles(unknown.c_str()), SCARD_E_UNKNOWN_READER);
    CardInfo info{};
    SCARDCONTEXT context = 1;
    SCARDHANDLE card = 1;
    EXPECT_EQ(SmartCardConnect(unknown.c_str(), &context, &card, &info), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(context, 0u);
    EXPECT_EQ(card, 0u);
    ExpectNothingOpen();

    // An empty reader: pcsc-lite says SCARD_E_NO_SMARTCARD (a positive 64-bit
    // long); the service says what Windows says, as a 32-bit LONG.
    ASSERT_EQ(counting.EstablishContext(SCARD_SCOPE_USER, &context), SCARD_S_SUCCESS);
    DWORD protocol = 0;
    EXPECT_EQ(counting.Connect(context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_Tx,
                               &card, &protocol),
              SCARD_W_REMOVED_CARD);
    EXPECT_EQ(counting.ReleaseContext(context), SCARD_S_SUCCESS);
    EXPECT_EQ(Read().rv, SCARD_W_REMOVED_CARD);
    ExpectNothingOpen();
}

TEST_F(RealStackTest, ACardPulledAtAnyCommandOfAStoreReadsOldNewOrAsNoLoginData) {
    // Scans the moment of the pull over every command of the store, for a
    // record updated in place and for files made afresh from legacy ones.
    // Each pull leaves the library working: the next card is read, and
    // nothing stays open.
    const std::vector<BYTE> old = mltest::Record(u"old", u"D", u"alt");
    const struct {
        const char* name;
        std::vector<WORD> files;  // holding the old data
        int commands;             // of the store; one more lets it end
    } cases[] = {{"inplace", {kFileUnique}, 4},
                 {"afresh", {kFileUserName, kFileDomain, kFilePassword}, 12}};
    for (const auto& c : cases) {
        for (int n = 0; n <= c.commands; ++n) {
            SCOPED_TRACE(testing::Message() << c.name << ", pulled after " << n);
            const std::string image = Image(c.name + std::to_string(n));
            std::map<WORD, std::vector<BYTE>> files;
            for (WORD file : c.files) {
                files[file] = file == kFileUnique ? old : Zone(old, file);
            }
            PutImage(image, files);
            LONG stored = SCARD_S_SUCCESS;
            {
                CardSimProcess sim({"generic", image, 0, {"--remove-after", std::to_string(n)}});
                stored = SmartCardStoreFiles(reader.c_str(), u"new", u"PLANT", u"neu", 3);
            }
            CardSimProcess sim({"generic", image, 0, {}});
            ReadResult r = Read();
            EXPECT_EQ(stored == SCARD_S_SUCCESS, n == c.commands);
            if (r.rv != SCARD_S_SUCCESS) {
                continue;  // a card the module reports as unreadable
            }
            const bool wasOld = r.user == u"old" && r.domain == u"D" && r.password == u"alt";
            const bool isNew = r.user == u"new" && r.domain == u"PLANT" && r.password == u"neu";
            EXPECT_TRUE(wasOld || isNew) << "a torn record read as login data";
            EXPECT_TRUE(isNew || n < c.commands);
        }
    }
    ExpectNothingOpen();
}

}  // namespace
}  // namespace mltest
