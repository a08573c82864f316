// driver_test.h — fixture for the driver's parts: the tuner library over
// the recording fake stack, powered on; the driver's globals reset; the
// device root in a temporary folder so the log can be read back.
#ifndef TAVRINEL_TESTS_DRIVER_DRIVER_TEST_H
#define TAVRINEL_TESTS_DRIVER_DRIVER_TEST_H

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "lumarc_test.h"

#include "driver.h"

namespace drivertest {

// The receiver sentence checksum, computed on its own terms.
inline std::string WithChecksum(const std::string &body) {
    unsigned x = 0;
    for (size_t i = 1; i < body.size() && body[i] != '*'; ++i)
        x ^= static_cast<unsigned char>(body[i]);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", x);
    return body + digits + "\r\n";
}

class DriverTest : public lumarctest::LumarcTest {
protected:
    void SetUp() override {
        LumarcTest::SetUp();
#ifdef _WIN32
        // "\Tavrinel.log" is in the root of the current drive: C: of the
        // test prefix.
        ASSERT_TRUE(SetCurrentDirectoryW(TEXT("C:\\")));
        root = "C:";
        ClearLog();
#else
        char templ[] = "/tmp/tavrinel-driver-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        root = templ;
        platform::SetDeviceRoot(root);
#endif
        OutputBuffer &out = driverState.output;
        out.readPos = out.writePos = 0;
        out.readerMidSentence = false;
        if (!out.lockReady)
            CreateOutputLock();
        driverState.currentFrequency = 90000;
        driverState.signalStrength = 0;
        ASSERT_NO_FATAL_FAILURE(OpenAndPowerOn());
        driverState.tunerHandle = session;
        fakestack::ClearCalls();
    }

    void TearDown() override {
        driverState.tunerHandle = nullptr;
        LumarcTest::TearDown();
#ifdef _WIN32
        ClearLog();
#else
        std::filesystem::remove_all(root);
        platform::SetDeviceRoot("");
#endif
    }

    // Everything the port's reader would get now.
    std::string ReadAll() {
        std::string all;
        BYTE buffer[512];
        for (DWORD n; (n = ReadPending(buffer, sizeof buffer)) != 0;)
            all.append(reinterpret_cast<char *>(buffer), n);
        return all;
    }

    std::string Log() {
#ifdef _WIN32
        // The driver appends in text mode ("a+"), which desktop Windows' C
        // run-time turns into CR LF line ends; reading in text mode gives back
        // the bytes the driver wrote.
        std::ifstream in(root + "/Tavrinel.log");
#else
        std::ifstream in(root + "/Tavrinel.log", std::ios::binary);
#endif
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    void ClearLog() {
        std::error_code ignored;
        std::filesystem::remove(root + "/Tavrinel.log", ignored);
        std::filesystem::remove(root + "/Tavrinel.log.old", ignored);
    }

    void Write(const std::string &bytes) {
        InterpretWrite(reinterpret_cast<const BYTE *>(bytes.data()),
                       static_cast<DWORD>(bytes.size()));
    }

    // Frequencies the driver asked the stack to tune to, in order.
    std::vector<int64_t> Tunes() {
        std::vector<int64_t> found;
        for (const fakestack::Call &call : lumarctest::CallsOf("FM_Tune"))
            found.push_back(call.args.at(1));
        return found;
    }

    std::string root;
};

} // namespace drivertest

#endif // TAVRINEL_TESTS_DRIVER_DRIVER_TEST_H
