// Test names for the cases that run once per real capture.
#ifndef TAVRINEL_TESTS_SUPPORT_CAPTURES_H
#define TAVRINEL_TESTS_SUPPORT_CAPTURES_H

#include <cctype>
#include <string>

#include <gtest/gtest.h>

namespace testsupport {

// "de-D395-wdr5-tmc.spy" -> "de_D395_wdr5_tmc_spy": GoogleTest allows only
// letters, digits and underscores in a parameter's name.
template <typename Name> std::string CaptureTestName(const testing::TestParamInfo<Name> &info) {
    std::string name = info.param;
    for (char &c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

} // namespace testsupport

#endif // TAVRINEL_TESTS_SUPPORT_CAPTURES_H
