/* A host in C, built against an installation with pkg-config: it links the
 * module, sets German as the dialog language and reads the login data once.
 * Prints the error text (ASCII, other characters as '?'). */
#include <mlcardmanx.h>
#include <stdio.h>

static void Print(const char* label, const WCHAR* text) {
    printf("%s", label);
    for (; *text; ++text)
        putchar(*text < 0x80 ? (char)*text : '?');
    putchar('\n');
}

int main(void) {
    static WCHAR user[ML_LOGIN_BUFFER_CHARS], domain[ML_LOGIN_BUFFER_CHARS],
        password[ML_LOGIN_BUFFER_CHARS], error[ML_LOGIN_BUFFER_CHARS];
    SetLanguage(1031);
    GetLoginData(user, domain, password, error);
    Print("user: ", user);
    Print("error: ", error);
    return 0;
}
