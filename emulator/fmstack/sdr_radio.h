// sdr_radio.h — the software-defined radios under the stack (rtlsdr:,
// rtltcp:, iq:, mpx:): one shared core (sdr_radio.cpp) over a sample source
// each (sdr_sources.cpp, sdr_rtlsdr.cpp). Internal to the radios; the stack
// reaches them through MakeSdrRadio (radio.h).
//
// The core runs one thread per powered radio: it reads samples from the
// source, mixes an IQ source's tuning offset back to zero, measures the
// carrier, runs our RDS demodulator (demod/) and turns its groups into the
// stack's raw bytes with rds::AppendRawGroup (the converter the decoder
// command radio uses too) into a bounded backlog, then wakes the stack. Tune
// and seek steps are taken by that thread; the stack's calls only set what
// is wanted under the radio's own lock.
#ifndef TAVRINEL_EMULATOR_SDR_RADIO_H
#define TAVRINEL_EMULATOR_SDR_RADIO_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "radio.h"

namespace fms {

enum class SampleKind {
    Cu8Iq,  // unsigned 8-bit I/Q pairs, as rtl_sdr and rtl_tcp send them
    S16Mpx, // signed 16-bit little-endian FM multiplex, as rtl_fm -M fm prints
};

// A stick is tuned this far above the station: its DC spike stays clear of
// the station's ±100 kHz.
inline constexpr std::int32_t kTuningOffsetHz = 250000;

// Where the samples come from. open/close are called by the radio's power
// calls; everything else from the radio's thread only.
class SampleSource {
public:
    virtual ~SampleSource() = default;

    [[nodiscard]] virtual SampleKind kind() const = 0;
    [[nodiscard]] virtual double rate() const = 0; // samples (pairs) per second
    // The receiver is tuned this far above the wanted frequency, so that a
    // stick's DC spike stays off the carrier; the core mixes it back.
    [[nodiscard]] virtual std::int32_t offsetHz() const { return 0; }
    // Samples from before a retune may still come this long after it.
    [[nodiscard]] virtual unsigned settleMs() const { return 0; }
    // The source hears a different signal on each frequency (a file does not).
    [[nodiscard]] virtual bool tunable() const { return true; }
    // What the radio is, for log lines ("rtl_tcp 127.0.0.1:1234").
    [[nodiscard]] virtual std::string name() const = 0;

    // Opens the source tuned to `centreHz`; false with a one-line reason. May
    // take a bounded while (a network connection: under two seconds).
    virtual bool open(std::uint32_t centreHz, std::string &why) = 0;
    virtual void close() = 0;
    // Retunes the receiver to `centreHz`; false with a reason when the source is lost.
    virtual bool setCentre(std::uint32_t centreHz, std::string &why) = 0;
    // Waits up to `timeoutMs` (and no longer than until `stopFd` is readable)
    // for samples: answers the bytes read, 0 for none yet, -1 when the source
    // is lost (`why` says how; the core reopens it after a pause).
    virtual long read(std::uint8_t *buffer, std::size_t size, int stopFd, int timeoutMs,
                      std::string &why) = 0;
    // Reopens a lost source at `centreHz` (from the radio's thread; `stopFd`
    // readable ends the attempt).
    virtual bool reopen(std::uint32_t centreHz, int stopFd, std::string &why) = 0;
};

// The radio over a source.
std::unique_ptr<Radio> MakeSdrRadioOver(std::unique_ptr<SampleSource> source,
                                        std::function<void()> wake);

// The sources. Each answers null with a one-line reason for a spec it
// cannot use (the part after "rtltcp:", "iq:" ...).
std::unique_ptr<SampleSource> MakeRtlTcpSource(const std::string &spec, std::string &why);
std::unique_ptr<SampleSource> MakeFileSource(const std::string &spec, SampleKind kind,
                                             std::string &why);
// Null with "this build has no librtlsdr" where the library was not found.
std::unique_ptr<SampleSource> MakeRtlSdrSource(const std::string &spec, std::string &why);

// Options after the first comma of a spec ("gain=DB", "ppm=N", "rate=N",
// "settle=MS"): false with a reason for an unknown or malformed one.
struct SdrOptions {
    bool gainSet = false;
    double gainDb = 0.0;
    int ppm = 0;
    double rate = 0.0; // 0: the source's default
    int settleMs = -1; // -1: the source's default
};
bool ParseSdrOptions(const std::string &text, const char *allowed, SdrOptions &options,
                     std::string &why);

} // namespace fms

#endif // TAVRINEL_EMULATOR_SDR_RADIO_H
