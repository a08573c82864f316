// Writes arbitrary bytes to the driver's port (COM_Write, so the command
// interpreter sees every piece) with the tuner library powered on over the
// recording fake stack: commands reach FMSetProp and FMSeek, tune reports
// come back from the fake's event thread as $RTRDS sentences, and every
// write and read is logged to a device root in a temporary folder.
//
// Input: byte 0 chooses the reader (bits 0-6: bytes per read, bit 7: one
// write per line with a read between them, else one write of everything);
// the rest is what is written. Checked after each input:
//  - nothing crashes or overruns (ASan, UBSan);
//  - what the reader gets is whole sentences: "$", known name, printable
//    text without "*" or "$", "*", the two upper-case checksum digits of
//    that text, "\r\n"; a sentence the reader had begun is completed even
//    across a restart of the buffer (which drops every other unread byte);
//  - the log begins with the first write's "COM_Write: " line, byte for byte
//    (port bytes are text, never a format).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include <common/utf8.h>
#include <fake_stack.h>
#include <fmapi.h>
#include <platform/emulation.h>
#include <windows.h>

#include "driver.h"

extern "C" DWORD COM_Write(DWORD_PTR, LPCVOID, DWORD);

namespace {

[[noreturn]] void Fail(const char *what, std::string_view context) {
    std::fprintf(stderr, "port_write_fuzz: %s\n  near: \"", what);
    for (const unsigned char c : context.substr(0, 200)) {
        if (c >= 0x20 && c < 0x7F)
            std::fputc(c, stderr);
        else
            std::fprintf(stderr, "\\x%02X", c);
    }
    std::fprintf(stderr, "\"\n");
    __builtin_trap();
}

std::string root;
HFMTUNER tuner = nullptr;

// The stack confirms power-on and power-off, reports every tune it is asked
// for (a seek ends 100 kHz above the current frequency) and answers the
// strength query of the tune callback at once, on the asking thread.
void ScriptStack() {
    auto reply = [](BYTE command) {
        return [command] {
            fakestack::Post(fakestack::CommandStatus(command, FMS_STATUS_SUCCESS, 0));
        };
    };
    fakestack::OnCall("FM_Enable", reply(FMS_CMD_POWER_ON));
    fakestack::OnCall("FM_Disable", reply(FMS_CMD_POWER_OFF));
    fakestack::OnCall("FM_Tune", [] {
        const auto calls = fakestack::Calls();
        if (!calls.empty() && calls.back().args.size() > 1)
            fakestack::Post(fakestack::TuneComplete(static_cast<uint32_t>(calls.back().args[1])));
    });
    fakestack::OnCall("FM_Seek", [] {
        fakestack::Post(fakestack::TuneComplete(driverState.currentFrequency + 100));
    });
    fakestack::OnCall("FM_RssiGet", [] {
        fakestack::Deliver(fakestack::CommandStatus(FMS_CMD_GET_RSSI, FMS_STATUS_SUCCESS, 180));
    });
}

bool SetUpOnce() {
    static const bool ready = [] {
        const char *dir = std::getenv("TAVRINEL_MODULE_DIR");
        const std::string bin = dir != nullptr ? dir : platform::GetModuleDir();
        char templ[] = "/tmp/tavrinel-portfuzz-XXXXXX";
        if (mkdtemp(templ) == nullptr)
            return false;
        root = templ;
        platform::SetDeviceRoot(root);
        platform::MapModule(u"FMS_API.dll", bin + "/FakeStack.dll");
        platform::SetClockSpeed(1000); // a reply that never comes costs 5 ms
        fakestack::Reset();
        ScriptStack();
        tuner = FMOpen(0);
        if (tuner == nullptr || FMPowerOn(tuner, 1, FMBAND_CCIR) != 0)
            return false;
        FMSetProp(tuner, FMPROP_TUNE_CALLBACK, reinterpret_cast<DWORD_PTR>(&OnTuned));
        FMSetProp(tuner, FMPROP_RDS_CALLBACK, reinterpret_cast<DWORD_PTR>(&OnRdsGroup));
        driverState.tunerHandle = tuner;
        CreateOutputLock();
        std::atexit([] {
            driverState.tunerHandle = nullptr;
            FMSetProp(tuner, FMPROP_TUNE_CALLBACK, 0);
            FMSetProp(tuner, FMPROP_RDS_CALLBACK, 0);
            FMClose(tuner);
            fakestack::DrainEvents();
            DeleteOutputLock();
            std::error_code ignored;
            std::filesystem::remove_all(root, ignored);
        });
        return true;
    }();
    return ready;
}

bool KnownName(std::string_view sentence) {
    for (const std::string_view name : {"$PSRFTXT,", "$PSRF154,", "$RTRDS,", "$RTTMC,"})
        if (sentence.substr(0, name.size()) == name)
            return true;
    return false;
}

// Checks and removes the whole sentences at the front of `stream`; what
// is left is the start of a sentence still being read.
void ConsumeSentences(std::string &stream) {
    static const char kHex[] = "0123456789ABCDEF";
    size_t at = 0;
    while (at < stream.size()) {
        const std::string_view rest(stream.data() + at, stream.size() - at);
        if (rest[0] != '$')
            Fail("a sentence does not begin with '$'", rest);
        const size_t star = rest.find('*');
        if (star == std::string_view::npos || star + 5 > rest.size()) {
            if (rest.size() > kSentenceBytes)
                Fail("unterminated sentence", rest);
            break; // not all read yet
        }
        if (!KnownName(rest))
            Fail("unknown sentence name", rest);
        for (size_t i = 1; i < star; ++i)
            if (const auto c = static_cast<unsigned char>(rest[i]);
                c < 0x20 || c > 0x7E || c == '$')
                Fail("a sentence holds a byte a line reader cannot take", rest);
        unsigned char x = 0;
        for (size_t i = 1; i < star; ++i)
            x ^= static_cast<unsigned char>(rest[i]);
        if (rest[star + 1] != kHex[x >> 4] || rest[star + 2] != kHex[x & 15])
            Fail("bad checksum", rest);
        if (rest.substr(star + 3, 2) != "\r\n")
            Fail("sentence not ended by CR LF after its checksum", rest);
        at += star + 5;
    }
    stream.erase(0, at);
}

std::string LogText() {
    std::ifstream in(root + "/Tavrinel.log", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || !SetUpOnce())
        return 0;
    const DWORD readBytes = (data[0] & 0x7F) * 16u + 1u; // 1 ... 2033
    const bool perLine = (data[0] & 0x80) != 0;
    const std::string_view input(reinterpret_cast<const char *>(data) + 1, size - 1);

    fakestack::ClearCalls();
    std::filesystem::remove(root + "/Tavrinel.log");
    OutputBuffer &out = driverState.output;
    out.readPos = out.writePos = 0;
    driverState.currentFrequency = kDefaultFrequencyKHz;

    std::string stream; // read, not yet checked
    auto readSome = [&](bool all) {
        BYTE buffer[kOutputBufferBytes];
        do {
            const DWORD n = ReadPending(buffer, readBytes);
            if (n > readBytes)
                Fail("ReadPending handed out more than asked", {});
            if (n == 0)
                break;
            stream.append(reinterpret_cast<const char *>(buffer), n);
        } while (all);
        ConsumeSentences(stream);
    };

    size_t at = 0;
    do {
        size_t end = input.size();
        if (perLine) {
            const size_t feed = input.find('\n', at);
            end = feed == std::string_view::npos ? input.size() : feed + 1;
        }
        const std::string_view piece = input.substr(at, end - at);
        if (COM_Write(0, piece.data(), static_cast<DWORD>(piece.size())) != piece.size())
            Fail("COM_Write did not answer the full count", piece);
        fakestack::DrainEvents();
        if (out.readPos > kOutputBufferBytes || out.writePos > kOutputBufferBytes ||
            out.readPos > out.writePos)
            Fail("output buffer positions out of range", piece);
        // A restart keeps the rest of the sentence being read, so the
        // reader's partial sentence is completed by what it reads next.
        readSome(!perLine);
        at = end;
    } while (at < input.size());
    readSome(true);
    if (!stream.empty())
        Fail("the reader was left with part of a sentence", stream);

    // The first line of the log is the first write, as text with its
    // control bytes escaped: no written byte may start a line of its own.
    size_t firstEnd = input.size();
    if (const size_t feed = input.find('\n'); perLine && feed != std::string_view::npos)
        firstEnd = feed + 1;
    std::string first(input.substr(0, std::min<size_t>(firstEnd, kWorkCopyBytes - 1)));
    first = first.substr(0, first.find('\0'));
    std::string line = "COM_Write: ";
    // C0, DEL and C1 escaped, a C1 in its UTF-8 form (C2 80-C2 9F) as both
    // bytes; any other whole UTF-8 character kept.
    auto isC1 = [](unsigned char byte) { return byte >= 0x80 && byte <= 0x9F; };
    for (size_t i = 0; i < first.size(); ++i) {
        const auto byte = static_cast<unsigned char>(first[i]);
        if (const size_t length =
                byte >= 0x80 ? Utf8PrintableLength(first.data() + i, first.size() - i) : 0;
            length != 0) {
            line.append(first, i, length);
            i += length - 1;
            continue;
        }
        const bool utf8C1 =
            byte == 0xC2 && i + 1 < first.size() && isC1(static_cast<unsigned char>(first[i + 1]));
        if (byte < 0x20 || byte == 0x7F || isC1(byte) || utf8C1) {
            for (size_t k = 0; k < (utf8C1 ? 2u : 1u); ++k) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02X",
                              static_cast<unsigned char>(first[i + k]));
                line += escaped;
            }
            i += utf8C1 ? 1 : 0;
        } else {
            line += first[i];
        }
    }
    // A long line is cut somewhere before the log's line limit: compare
    // what any cut keeps, and the line end only where nothing was cut.
    constexpr size_t kNeverCut = kLogLineChars - 64;
    line = line.size() < kNeverCut ? line + "\n" : line.substr(0, kNeverCut);
    const std::string log = LogText();
    if (log.compare(0, line.size(), line) != 0)
        Fail("the log does not begin with the write's line", log);
    return 0;
}
