// main of the test programs run under Wine: runs the tests, then ends the
// process at once. Under Wine, unloading Lumarc at exit after some tests
// (a power-off given up on) never finishes; the results are complete by then.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}
