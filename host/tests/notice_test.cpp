#include <gtest/gtest.h>

#include "host/notice.h"

namespace {

using namespace mlhost;

TEST(NoticeFormat, JsonEscapesEveryKindOfText) {
    std::u16string text = u"a\"b\\c/\n\r\t\b\f\x01\x1f\x7f é 日 \U0001F511";
    EXPECT_EQ(JsonString(text),
              "\"a\\\"b\\\\c/\\n\\r\\t\\b\\f\\u0001\\u001f\\u007f é 日 \xF0\x9F\x94\x91\"");
    std::u16string lone = u"x";
    lone += char16_t(0xDC00);
    lone += char16_t(0xD800);
    EXPECT_EQ(JsonString(lone), "\"x\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(JsonString(u""), "\"\"");
}

TEST(NoticeFormat, InsertCopiesBoundedFieldsAndNeverShowsThePassword) {
    LoginDataBlock block{};
    // A user name that each form must escape its own way.
    std::u16string user = u"al\"i\x1b";
    user.copy(block.szUserName, user.size());
    // A domain that fills its field without a terminator.
    for (auto& c : block.szDomain)
        c = u'D';
    std::u16string password = u"Pw-s3cr3t";
    password.copy(block.szPassword, password.size());

    Notice n;
    CopyNotice(CARD_INSERTED, reinterpret_cast<LPARAM>(&block), n);
    EXPECT_EQ(n.login.user, user);
    EXPECT_EQ(n.login.domain, std::u16string(33, u'D'));
    EXPECT_EQ(n.login.password, u"Pw-s3cr3t");

    std::string plain = FormatPlain(n), json = FormatJson(n);
    EXPECT_EQ(plain, "inserted user=al\"i? domain=" + std::string(33, 'D'));
    EXPECT_EQ(json,
              "{\"notice\":\"inserted\",\"code\":1025,\"user\":\"al\\\"i\\u001b\",\"domain\":\"" +
                  std::string(33, 'D') + "\"}");
    // An insert without a block, and a code the module does not define.
    Notice bare;
    CopyNotice(CARD_INSERTED, 0, bare);
    EXPECT_EQ(FormatPlain(bare), "inserted user= domain=");
    CopyNotice(0x0405, 0, bare);
    EXPECT_EQ(FormatJson(bare), R"({"notice":"other","code":1029,"user":null,"domain":null})");
}

TEST(NoticeFormat, PlainTextShowsControlsAsQuestionMarks) {
    EXPECT_EQ(PlainText(u"a\x1b[2Jb\u202Ec\u0085d\n"), "a?[2Jb?c?d?");
}

TEST(NoticeFormat, TimestampIsIso8601LocalTimeWithItsOffset) {
    using std::chrono::system_clock;
    const auto time = system_clock::from_time_t(86400 * 365) + std::chrono::milliseconds(1234);
    // Offsets both ways, a leap day and a time before 1970.
    const std::tuple<system_clock::time_point, long, const char*> cases[] = {
        {time, 0, "1971-01-01T00:00:01.234+00:00"},
        {time, 5 * 3600 + 30 * 60, "1971-01-01T05:30:01.234+05:30"},
        {time, -(3 * 3600 + 45 * 60), "1970-12-31T20:15:01.234-03:45"},
        {system_clock::from_time_t(951'782'400), 3600, "2000-02-29T01:00:00.000+01:00"},
        {system_clock::from_time_t(-1), 0, "1969-12-31T23:59:59.000+00:00"},
    };
    for (const auto& [at, offset, expected] : cases)
        EXPECT_EQ(Timestamp(at, offset), expected) << offset;
}

}  // namespace
