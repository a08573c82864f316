// main of the test programs run under Wine: runs the tests and ends like
// any program, so that the modules' detach at process exit runs too.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

// Exit status of a program that faulted: Wine itself would end it with 0
// after its own report, so a crash would pass for a success.
constexpr UINT kFaulted = 3;

LONG WINAPI EndOnFault(EXCEPTION_POINTERS *info) {
    std::fprintf(stderr, "unhandled exception 0x%08lx at %p\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                 info->ExceptionRecord->ExceptionAddress);
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), kFaulted);
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

int main(int argc, char **argv) {
    SetUnhandledExceptionFilter(EndOnFault);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
