// port_check — a Win32 serial client of the receiver port, written as a
// navigation program would: opens the port, sets 4800 baud 8N1 and read
// time-outs, checks every sentence it reads for a few seconds, asks for the
// version ($PSRF107) and tunes ($PSRF122). Exits 0 when everything arrived
// and every sentence was well formed.
//
//   port_check [PORT] [FREQUENCY] [SECONDS]   (default \\.\COM9 94.4 3)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/sentences.h"

namespace {

using testsupport::Command;
using testsupport::ValidSentence;

// Reads whole lines from the port; bytes of a line cut by a time-out wait
// for the next read.
class LineReader {
public:
    explicit LineReader(HANDLE port) : port_(port) {}

    // Next line without its CR LF, or false when none came before the deadline.
    bool Next(std::string &line, DWORD deadline) {
        for (;;) {
            const size_t end = pending_.find("\r\n");
            if (end != std::string::npos) {
                line = pending_.substr(0, end);
                pending_.erase(0, end + 2);
                return true;
            }
            if (pending_.size() > 4096) {
                std::printf("FAIL: %zu bytes without a line end\n", pending_.size());
                pending_.clear();
                ++bad;
            }
            if (static_cast<LONG>(GetTickCount() - deadline) >= 0)
                return false;
            char buffer[512];
            DWORD got = 0;
            if (!ReadFile(port_, buffer, sizeof buffer, &got, nullptr)) {
                std::printf("FAIL: ReadFile error %lu\n", GetLastError());
                ++bad;
                return false;
            }
            pending_.append(buffer, got);
        }
    }

    unsigned bad = 0;

private:
    HANDLE port_;
    std::string pending_;
};

bool StartsWith(const std::string &text, const char *prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Every line must be a valid sentence; counts the kinds seen.
struct Tally {
    unsigned tmc = 0, rds = 0, other = 0, bad = 0;
    std::string lastRds;
    void Take(const std::string &line) {
        if (!ValidSentence(line)) {
            std::printf("FAIL: malformed sentence \"%s\"\n", line.c_str());
            ++bad;
        } else if (StartsWith(line, "$RTTMC,")) {
            ++tmc;
        } else if (StartsWith(line, "$RTRDS,")) {
            ++rds;
            lastRds = line;
        } else {
            ++other;
        }
    }
};

bool Send(HANDLE port, const std::string &body) {
    const std::string text = Command(body);
    DWORD written = 0;
    if (!WriteFile(port, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
        std::printf("FAIL: WriteFile %s: error %lu\n", body.c_str(), GetLastError());
        return false;
    }
    return true;
}

// Reads until a line for which `wanted` holds, at most `ms` milliseconds.
template <typename Wanted>
bool ReadUntil(LineReader &reader, Tally &tally, DWORD ms, Wanted wanted) {
    const DWORD deadline = GetTickCount() + ms;
    std::string line;
    while (reader.Next(line, deadline)) {
        tally.Take(line);
        if (wanted(line))
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char **argv) {
    const char *portName = argc > 1 ? argv[1] : "\\\\.\\COM9";
    const std::string frequency = argc > 2 ? argv[2] : "94.4";
    const DWORD seconds = argc > 3 ? static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)) : 3;

    WCHAR widePort[64] = {};
    MultiByteToWideChar(CP_UTF8, 0, portName, -1, widePort, 63);
    HANDLE port =
        CreateFileW(widePort, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("FAIL: CreateFileW %s: error %lu\n", portName, GetLastError());
        return 1;
    }

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 50;
    timeouts.ReadTotalTimeoutConstant = 200;
    timeouts.WriteTotalTimeoutConstant = 1000;
    bool ok = GetCommState(port, &dcb) != FALSE;
    dcb.BaudRate = CBR_4800;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ok = ok && SetCommState(port, &dcb) && SetCommTimeouts(port, &timeouts);
    if (!ok) {
        std::printf("FAIL: port settings: error %lu\n", GetLastError());
        CloseHandle(port);
        return 1;
    }

    LineReader reader(port);
    Tally tally;
    // What the port sends on its own: RDS groups and the tune report.
    ReadUntil(reader, tally, seconds * 1000, [](const std::string &) { return false; });
    std::printf("read %u $RTTMC, %u $RTRDS, %u other\n", tally.tmc, tally.rds, tally.other);
    int failures = 0;
    if (tally.tmc == 0) {
        std::printf("FAIL: no $RTTMC in %lu s\n", seconds);
        ++failures;
    }

    // The version request: acknowledged, then answered with $PSRF154,107.
    bool acknowledged = false;
    if (!Send(port, "PSRF107") ||
        !ReadUntil(reader, tally, 5000,
                   [&](const std::string &line) {
                       acknowledged = acknowledged || StartsWith(line, "$PSRFTXT,Ack Input107");
                       return StartsWith(line, "$PSRF154,107*");
                   }) ||
        !acknowledged) {
        std::printf("FAIL: no acknowledgement and version reply to $PSRF107\n");
        ++failures;
    }

    // Tuning: acknowledged, then a tune report naming the new frequency.
    const std::string field =
        "," + std::string(frequency.size() < 5 ? 5 - frequency.size() : 0, ' ') + frequency + ",";
    acknowledged = false;
    if (!Send(port, "PSRF122," + frequency) ||
        !ReadUntil(reader, tally, 5000, [&](const std::string &line) {
            acknowledged = acknowledged || StartsWith(line, "$PSRFTXT,Ack Input122");
            return acknowledged && StartsWith(line, "$RTRDS") &&
                   line.find(field) != std::string::npos;
        })) {
        std::printf("FAIL: no tune report for %s (last: %s)\n", frequency.c_str(),
                    tally.lastRds.c_str());
        ++failures;
    }
    CloseHandle(port);

    const unsigned bad = tally.bad + reader.bad;
    std::printf("%s: %u $RTTMC, %u $RTRDS, %u other, %u bad\n",
                failures == 0 && bad == 0 ? "PASS" : "FAIL", tally.tmc, tally.rds, tally.other,
                bad);
    return failures == 0 && bad == 0 ? 0 : 1;
}
