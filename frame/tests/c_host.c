/* A host in C, built against an installation with pkg-config: sets German as
 * the dialog language, reads the login data once and prints the error text
 * (ASCII, other characters as '?'). */
#include <mlcardmanx.h>
#include <stdio.h>

int main(void) {
    static WCHAR user[ML_LOGIN_BUFFER_CHARS], domain[ML_LOGIN_BUFFER_CHARS],
        password[ML_LOGIN_BUFFER_CHARS], error[ML_LOGIN_BUFFER_CHARS];
    SetLanguage(1031);
    GetLoginData(user, domain, password, error);
    printf("error: ");
    for (const WCHAR* c = error; *c; ++c)
        putchar(*c < 0x80 ? (char)*c : '?');
    putchar('\n');
    return 0;
}
