// The library's state when it has just been loaded; its own executable so
// that no other test has touched the process-wide property block.
#include "lumarc_test.h"

using namespace lumarctest;

namespace {

TEST_F(LumarcTest, FreshlyLoadedLibraryHoldsTheInitialValues) {
    ASSERT_NO_FATAL_FAILURE(Open());
    DWORD_PTR value = 0xdeadbeef;
    EXPECT_EQ(FMGetProp(session, FMPROP_TUNE_CALLBACK, &value), 0u); // radio off
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(FMSeek(session, FMSEEK_UP), 21u); // off at load
    const DWORD_PTR expected[FMPROP_COUNT] = {0, 1, 0, 0, 87500, 8, 0, 0, 0, 0, 50, 0, 0};
    for (DWORD id = 0; id < FMPROP_COUNT; ++id)
        EXPECT_EQ(Properties().word(id)->load(), expected[id]) << id;

    ASSERT_NO_FATAL_FAILURE(PowerOn());
    fakestack::ClearCalls();
    EXPECT_EQ(FMGetProp(session, FMPROP_FREQUENCY, &value), 0u);
    EXPECT_EQ(value, 87500u);
    EXPECT_EQ(FMGetProp(session, FMPROP_AF, &value), 0u);
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(fakestack::Calls().empty());
}

} // namespace
