// The destructor wipes the login block; built with -O2 whatever the build
// type, since an optimiser drops a plain memset at the end of a lifetime.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>

#include "terminal_fixture.h"

namespace mltest {
namespace {

TEST_F(TerminalTest, TheDestructorWipesTheLoginBlockInAnOptimisedBuild) {
    UseDriver("full");
    PutLoginData(u"alice", u"PLANT", u"Pa55-w0rd!");
    CreateCard();
    Pass();
    ASSERT_EQ(TakeCodes(), std::vector<WPARAM>{CARD_INSERTED});
    const LoginDataBlock* block = &Block();
    ASSERT_EQ(std::u16string(block->szPassword), u"Pa55-w0rd!");
    // Destroyed in place: the storage stays allocated and can be read.
    CTCOSCard* card = card_.release();
    card->~CTCOSCard();
    const BYTE* bytes = reinterpret_cast<const BYTE*>(block);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(LoginDataBlock), [](BYTE b) { return b == 0; }));
    ::operator delete(static_cast<void*>(card));
}

}  // namespace
}  // namespace mltest
