// The notices of the module as mlhost reports them.
//
// A notice is copied out of its WM_COMMAND message at once (the login data
// block it points to belongs to the module and is rewritten by later
// passes). The password of an insert notice is kept only as long as its
// command needs it and wiped afterwards.
//
// Line formats (one notice per line):
//   plain  "inserted user=<user> domain=<domain>", "removed", "error",
//          "unknown", and "notice 0x<code>" for a code the module does not
//          define; text in the locale's character set, control characters
//          shown as "?". Meant for people; scripts use the JSON form.
//   JSON   {"notice":"inserted","code":1025,"user":"alice","domain":"PLANT"}
//          notice is one of "inserted", "removed", "error", "unknown",
//          "other"; code is the wParam in decimal; user and domain are null
//          for notices that carry no login data. UTF-8; lone surrogates of
//          the UTF-16 text become U+FFFD.
// Neither form ever holds the password.
#ifndef ML_HOST_NOTICE_H_
#define ML_HOST_NOTICE_H_

#include <chrono>
#include <string>
#include <string_view>

#include "mlcardmanx.h"

namespace mlhost {

// Login data copied out of the module; the password is wiped on destruction.
struct LoginData {
    std::u16string user;
    std::u16string domain;
    std::u16string password;

    LoginData() = default;
    LoginData(const LoginData&) = delete;
    LoginData& operator=(const LoginData&) = delete;
    ~LoginData();
};

struct Notice {
    WPARAM code = 0;
    bool hasLoginData = false;
    LoginData login;
};

// Copies a WM_COMMAND notice; reads the block of CARD_INSERTED (at most the
// size of each field, terminated or not). lParam 0 gives empty login data.
void CopyNotice(WPARAM wParam, LPARAM lParam, Notice& notice);

std::string FormatPlain(const Notice& notice);
std::string FormatJson(const Notice& notice);

// A JSON string literal (with its quotes) of UTF-16 text.
std::string JsonString(std::u16string_view text);
// Text for a terminal line: control characters and direction overrides
// become "?", in the locale's character set.
std::string PlainText(std::u16string_view text);

// The time in ISO 8601, local time with milliseconds and the offset from
// UTC: "2026-12-07T09:15:02.120+01:00". `utcOffsetSeconds` is the local
// time's offset at `time` (UtcOffsetSeconds in host/console.h).
std::string Timestamp(std::chrono::system_clock::time_point time, long utcOffsetSeconds);

// Overwrites the characters of a string in a way the compiler keeps.
void Wipe(std::u16string& text);
void Wipe(std::string& text);

}  // namespace mlhost

#endif  // ML_HOST_NOTICE_H_
