// kernel_environment.cpp — the fast device clock for every kernel test.
#include <platform/emulation.h>

#include "kernel_test_util.h"

namespace {

class FastClock : public ::testing::Environment {
public:
    void SetUp() override { platform::SetClockSpeed(kerneltest::kTestClockSpeed); }
};

[[maybe_unused]] ::testing::Environment *const fastClock =
    ::testing::AddGlobalTestEnvironment(new FastClock);

} // namespace
