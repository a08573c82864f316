// devices_guard_test.cpp — GuardedCall against exceptions and hardware
// faults.
#include <platform/guard.h>

#include <gtest/gtest.h>

#include <csignal>

#include <stdexcept>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

// The address sanitizer build also checks undefined behaviour, and reports
// a null store before it can fault.
#if defined(__SANITIZE_ADDRESS__)
#define TAVRINEL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRINEL_ASAN 1
#endif
#endif
#if defined(TAVRINEL_ASAN) || defined(__SANITIZE_THREAD__)
#define TAVRINEL_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAVRINEL_SANITIZER 1
#endif
#endif

namespace {

void Returns(void *context) {
    ++*static_cast<int *>(context);
}

void Throws(void *) {
    throw std::runtime_error("injected");
}

void Raises(void *context) {
    ++*static_cast<int *>(context);
    raise(SIGSEGV);
    ++*static_cast<int *>(context); // never reached
}

void RaisesFpe(void *) {
    raise(SIGFPE);
}

void WritesTo(void *context) {
    int *volatile target = static_cast<int *>(context);
    *target = 1;
}

TEST(GuardTest, NormalReturn) {
    int calls = 0;
    EXPECT_TRUE(platform::GuardedCall(Returns, &calls));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(platform::GuardedCall(nullptr, nullptr));
}

TEST(GuardTest, CppExceptionIsCaught) {
    EXPECT_FALSE(platform::GuardedCall(Throws, nullptr));
    int calls = 0;
    EXPECT_TRUE(platform::GuardedCall(Returns, &calls)); // still usable
}

TEST(GuardTest, RaisedSignalsAreCaught) {
    int steps = 0;
    EXPECT_FALSE(platform::GuardedCall(Raises, &steps));
    EXPECT_EQ(steps, 1);
    EXPECT_FALSE(platform::GuardedCall(RaisesFpe, nullptr));
    // Again: the handler stays in place and the signal is not left blocked.
    EXPECT_FALSE(platform::GuardedCall(Raises, &steps));
    EXPECT_EQ(steps, 2);
}

TEST(GuardTest, NullPointerWriteIsCaught) {
#ifdef TAVRINEL_ASAN
    GTEST_SKIP() << "the sanitizer build reports a null store itself and ends the process";
#else
    EXPECT_FALSE(platform::GuardedCall(WritesTo, nullptr));
    EXPECT_FALSE(platform::GuardedCall(WritesTo, nullptr));
#endif
}

// A real fault that the sanitizers leave to the hardware: a store to a page
// without access.
TEST(GuardTest, ProtectedPageWriteIsCaught) {
    const long page = sysconf(_SC_PAGESIZE);
    void *memory =
        mmap(nullptr, static_cast<size_t>(page), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    EXPECT_FALSE(platform::GuardedCall(WritesTo, memory));
    EXPECT_FALSE(platform::GuardedCall(WritesTo, memory));
    munmap(memory, static_cast<size_t>(page));
}

TEST(GuardTest, GuardsNest) {
    struct Outer {
        bool innerResult = true;
        int after = 0;
    } outer;
    EXPECT_TRUE(platform::GuardedCall(
        [](void *p) {
            auto *o = static_cast<Outer *>(p);
            o->innerResult = platform::GuardedCall(Raises, &o->after);
            ++o->after; // the outer call goes on after the inner fault
        },
        &outer));
    EXPECT_FALSE(outer.innerResult);
    EXPECT_EQ(outer.after, 2);
    // A fault in the outer call after an inner guard returned goes to the
    // outer guard.
    int steps = 0;
    EXPECT_FALSE(platform::GuardedCall(
        [](void *p) {
            EXPECT_TRUE(platform::GuardedCall(Returns, p));
            Raises(p);
        },
        &steps));
    EXPECT_EQ(steps, 2);
}

TEST(GuardTest, GuardsWorkOnOtherThreads) {
    bool results[4] = {true, true, true, true};
    std::thread threads[4];
    for (int i = 0; i < 4; ++i) {
        threads[i] = std::thread([&results, i] {
            int steps = 0;
            for (int round = 0; round < 50; ++round)
                results[i] = platform::GuardedCall(Raises, &steps) && results[i];
        });
    }
    for (auto &thread : threads)
        thread.join();
    for (bool result : results)
        EXPECT_FALSE(result);
}

// A fault outside any guard still ends the process as before: by the
// default disposition, or under a sanitizer by its own report (its
// handler was there first and is chained to).
TEST(GuardDeathTest, FaultOutsideGuardStillKills) {
    int calls = 0;
    ASSERT_TRUE(platform::GuardedCall(Returns, &calls)); // handlers installed
#ifdef TAVRINEL_SANITIZER
    EXPECT_DEATH(raise(SIGSEGV), "Sanitizer: SEGV");
#else
    EXPECT_EXIT(raise(SIGSEGV), ::testing::KilledBySignal(SIGSEGV), "");
#endif
}

} // namespace
