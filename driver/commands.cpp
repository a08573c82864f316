// commands.cpp — the $PSRF command interpreter behind COM_Write.
//
// Wire format, positions counted from the "P" of "PSRF":
//   0-3 "PSRF", 4-6 command number, 7 separator (not looked at),
//   122: 8-12 frequency in MHz; 123: 8 P1, 10 P2; 126: 8 one digit.
// The "$", separators, "*" and checksum are never examined.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/sentence.h"
#include "driver.h"

namespace {

constexpr DWORD kStepKHz = 100;

// The limits a step wraps at: those of the configured band (CCIR for a
// band the radio does not know).
struct BandLimits {
    DWORD lowestKHz;
    DWORD highestKHz;
};

BandLimits LimitsOfBand(DWORD band) {
    switch (band) {
    case FMBAND_JAPAN:
        return {76000, 91000};
    case FMBAND_WORLD:
        return {76000, 108000};
    default:
        return {87500, 108000};
    }
}

// Up to `width` characters of the work copy from `pos`, ending where the
// written bytes end. A field that begins past the end reads as empty.
void Field(const char *copy, size_t length, size_t pos, size_t width, char *out) {
    size_t n = 0;
    while (n < width && pos + n < length) {
        out[n] = copy[pos + n];
        ++n;
    }
    out[n] = '\0';
}

int DigitAt(const char *copy, size_t length, size_t pos) {
    char text[2];
    Field(copy, length, pos, 1, text);
    return std::atoi(text);
}

// The acknowledgement repeats the command field as written, except that a
// byte which cannot stand inside a sentence (a control character such as the
// line end of "$PSRF\r\n", a byte above 0x7E, or a "$" that would start a new
// sentence for the reader) is shown as "?". Otherwise the reply would break
// into a line with a bad checksum and the start of another.
void Acknowledge(const char *commandField) {
    char shown[4];
    size_t n = 0;
    for (; n + 1 < sizeof shown && commandField[n] != '\0'; ++n) {
        const auto c = static_cast<unsigned char>(commandField[n]);
        shown[n] = c < 0x20 || c > 0x7E || c == '$' ? '?' : static_cast<char>(c);
    }
    shown[n] = '\0';
    char sentence[kSentenceBytes];
    std::snprintf(sentence, sizeof sentence, "$PSRFTXT,Ack Input%s*", shown);
    EmitSentence(sentence, sizeof sentence);
}

void ReportVersion() {
    static const char *const kReplies[] = {
        "$PSRFTXT,VersionR: 2K00320101N10151006080906*",
        "$PSRFTXT,RoyalTek Ver 1.1.0.106 GSW3LP EE*",
        "$PSRF154,107*",
    };
    for (const char *reply : kReplies) {
        char sentence[kSentenceBytes];
        std::snprintf(sentence, sizeof sentence, "%s", reply);
        EmitSentence(sentence, sizeof sentence);
    }
}

// kHz from the MHz text, cut toward zero. Text that is no number reads as
// 0; so does one whose value has no 32-bit kHz ("1e9", "nan", "-5").
DWORD ParseFrequencyKHz(const char *text) {
    const double kHz = std::strtod(text, nullptr) * 1000.0;
    if (!(kHz >= 0.0 && kHz < 4294967296.0))
        return 0;
    return static_cast<DWORD>(kHz);
}

void SetFrequency(const char *copy, size_t length, size_t off) {
    char text[6];
    Field(copy, length, off + 8, 5, text);
    if (std::strlen(text) == 5 && text[4] == '*')
        text[4] = '\0';
    const DWORD kHz = ParseFrequencyKHz(text);
    FMSetProp(driverState.tunerHandle, FMPROP_FREQUENCY, kHz);
    LogFormatted(TEXT("COM_Write: 122 Tune freq: %S-%d "), text, static_cast<int>(kHz));
}

void StepOrSeek(const char *copy, size_t length, size_t off) {
    const int p1 = DigitAt(copy, length, off + 8);
    const int p2 = DigitAt(copy, length, off + 10);
    const HFMTUNER tuner = driverState.tunerHandle;
    const DWORD base = driverState.currentFrequency;
    const BandLimits band = LimitsOfBand(driverState.settings.Band);
    if (p2 == 0) {
        if (p1 == 0) {
            // Wraps to the top; a base below the band cannot wrap around 0.
            const DWORD f = base >= band.lowestKHz + kStepKHz ? base - kStepKHz : band.highestKHz;
            LogFormatted(TEXT("COM_Write: 123 Tune DOWN: %d P1:%d P2:%d"), static_cast<int>(f), 0,
                         0);
            FMSetProp(tuner, FMPROP_FREQUENCY, f);
        } else if (p1 == 1) {
            const DWORD f = base + kStepKHz > band.highestKHz || base + kStepKHz < base
                                ? band.lowestKHz
                                : base + kStepKHz;
            LogFormatted(TEXT("COM_Write: 123 Tune UP: %d P1:%d P2:%d "), static_cast<int>(f), 1,
                         0);
            FMSetProp(tuner, FMPROP_FREQUENCY, f);
        } else {
            FMSetProp(tuner, FMPROP_FREQUENCY, base);
        }
    } else if (p2 == 1) {
        // No frequency is known until the seek ends: the lines show the
        // frequency the seek starts from.
        if (p1 == 0) {
            FMSeek(tuner, FMSEEK_DOWN);
            LogFormatted(TEXT("COM_Write: 123 Scan DOWN: %d P1:%d P2:%d "), static_cast<int>(base),
                         0, 1);
        } else if (p1 == 1) {
            FMSeek(tuner, FMSEEK_UP);
            LogFormatted(TEXT("COM_Write: 123 Scan UP: %d P1:%d P2:%d "), static_cast<int>(base), 1,
                         1);
        }
    }
}

} // namespace

void InterpretWrite(const BYTE *bytes, DWORD count) {
    char copy[kWorkCopyBytes];
    const size_t taken = count < kWorkCopyBytes - 1 ? count : kWorkCopyBytes - 1;
    std::memcpy(copy, bytes, taken);
    copy[taken] = '\0';
    // A zero byte inside the written data ends the scanned text.
    const size_t length = std::strlen(copy);
    LogFormatted(TEXT("COM_Write: %S"), copy);

    int off = FindToken(0, copy, "PSRF");
    while (off != -1) {
        const size_t at = static_cast<size_t>(off);
        char commandField[4];
        Field(copy, length, at + 4, 3, commandField);
        const int number = std::atoi(commandField);
        Acknowledge(commandField);
        size_t next = at + 1;
        switch (number) {
        case 107:
            ReportVersion();
            break;
        case 122:
            SetFrequency(copy, length, at);
            next = at + 8;
            break;
        case 123:
            StepOrSeek(copy, length, at);
            next = at + 10;
            break;
        case 126:
            (void)DigitAt(copy, length, at + 8); // accepted, not used
            next = at + 8;
            break;
        default:
            break;
        }
        off = FindToken(static_cast<int>(next), copy, "PSRF");
    }
}
