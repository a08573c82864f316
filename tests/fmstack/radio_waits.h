// radio_waits.h — waiting on a radio in the radio tests: polls with a cap,
// as a radio's news comes from threads of its own.
#ifndef TAVRINEL_TESTS_FMSTACK_RADIO_WAITS_H
#define TAVRINEL_TESTS_FMSTACK_RADIO_WAITS_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "radio.h"

namespace radiotest {

// Polls until `done` holds; false after `capMs`.
template <typename F> bool Eventually(F done, int capMs = 10000) {
    for (int i = 0; i < capMs / 10; ++i) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Starts a seek and polls it until the radio says it has ended (a failure
// after `capMs`).
inline fms::SeekResult SeekToEnd(fms::Radio &radio, std::uint32_t from, bool up,
                                 fms::BandLimits band, unsigned level = 20, int capMs = 30000) {
    radio.seekStart(from, up, band, level, 0);
    fms::SeekResult r;
    EXPECT_TRUE(Eventually(
        [&] {
            fms::Millis wait = 100;
            r = radio.seekPoll(0, wait);
            return r.ended;
        },
        capMs))
        << "the seek from " << from << " did not end";
    return r;
}

} // namespace radiotest

#endif // TAVRINEL_TESTS_FMSTACK_RADIO_WAITS_H
