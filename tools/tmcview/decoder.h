// decoder.h — what a receiver's RDS groups say: the station (PI, PTY, TP/TA,
// programme service name, radiotext, clock, alternative frequencies, open
// data applications) and its RDS-TMC (ALERT-C) service: system information
// and the traffic messages on air.
//
// One Decoder per source. Decode() takes one group at a time, in the order
// received, updates the state and optionally writes the group as one JSON
// object (field names and value conventions of the JSON lines that common
// RDS tools print, e.g. "pi":"0xD395", "group":"8A").
#ifndef TAVRINEL_TMCVIEW_DECODER_H
#define TAVRINEL_TMCVIEW_DECODER_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rdsgroup.h"

namespace tmcview {

inline constexpr std::size_t kPsLength = 8;
inline constexpr std::size_t kRadiotextLength = 64;
inline constexpr std::size_t kMaxMessages = 256;     // traffic messages kept for the view
inline constexpr std::size_t kMaxMessageEvents = 16; // events of one multi-group message
inline constexpr std::size_t kMaxOdas = 8;
inline constexpr std::size_t kMaxContinuations = 4; // groups after the first of one message

// "No PTY", "News", ... for codes 0 to 31 (the European list).
const char *PtyName(unsigned pty);

// Urgency as printed: "none", "U" (urgent), "X" (extremely urgent).
const char *UrgencyName(unsigned urgency);

struct TmcSystemInfo {
    bool announced = false;   // a 3A group named the ALERT-C application
    bool systemKnown = false; // ... and gave its table number and encryption
    unsigned aid = 0;
    int locationTable = -1; // -1 until known
    int serviceId = -1;
    int encryptionId = -1;
    bool encrypted = false;
    bool onAltFreqs = false;
    unsigned scope = 0;   // bit 3 international, 2 national, 1 regional, 0 urban
    int gap = -1;         // groups between messages
    std::string provider; // service provider name once both halves arrived
};

struct TmcMessage {
    std::vector<std::uint16_t> events;        // first event, then additional events
    std::vector<std::uint16_t> furtherEvents; // events behind a second separator
    std::uint16_t location = 0;
    bool encryptedLocation = false;
    bool negative = false; // direction bit: the queue grows in negative direction
    bool bothWays = false; // directionality: both directions affected
    unsigned extent = 0;
    unsigned urgency = 0;  // 0 none, 1 U, 2 X
    unsigned duration = 0; // 0 to 7
    bool diversion = false;
    bool multiGroup = false;
    std::vector<unsigned> quantifiers;
    std::vector<std::uint16_t> diversionLocations;
    std::vector<std::uint16_t> destinations;
    std::vector<std::uint16_t> crossLinkages;
    int lengthKm = -1;
    int speedLimit = -1;
    int startTime = -1;
    int stopTime = -1;
    std::vector<unsigned> supplementary;
    // View bookkeeping.
    unsigned received = 0; // listed from the second reception on
    double firstSeen = 0;
    double lastSeen = 0;

    [[nodiscard]] bool SameContent(const TmcMessage &other) const;
};

struct Station {
    bool hasPi = false;
    std::uint16_t pi = 0;
    bool hasFlags = false; // pty and tp came (any group with block B)
    unsigned pty = 0;
    bool tp = false;
    bool hasSwitching = false; // ta and music came (0A, 0B, 15B)
    bool ta = false;
    bool music = false;
    bool hasPs = false;
    std::string ps;                                     // last complete name (UTF-8)
    std::string radiotext;                              // last complete radiotext (UTF-8)
    std::string clock;                                  // last clock time, ISO 8601 with offset
    std::vector<std::uint32_t> altFrequenciesKHz;       // the last method A list
    std::vector<std::pair<std::string, unsigned>> odas; // group ("11A"), AID
    TmcSystemInfo tmc;
};

struct Counters {
    std::uint64_t groups = 0;
    std::uint64_t damaged = 0; // groups with at least one block not received
    std::uint64_t tmcGroups = 0;
    std::uint64_t messages = 0;
    std::uint64_t repeats = 0;
};

class Decoder {
public:
    // Decodes one group; `now` (seconds, any origin) stamps the messages.
    // When json is given, one JSON object (no newline) replaces its text.
    void Decode(const rds::Group &group, double now, std::string *json);
    // The receiver was retuned: forget the station and its messages.
    void Reset();

    [[nodiscard]] const Station &station() const { return station_; }
    [[nodiscard]] const std::vector<TmcMessage> &messages() const { return messages_; }
    // The messages heard at least twice alike, newest first: a message is
    // broadcast repeatedly, so one heard once may be a damaged copy of another.
    [[nodiscard]] std::vector<const TmcMessage *> Confirmed() const;
    [[nodiscard]] const Counters &counters() const { return counters_; }

private:
    struct TextState {
        std::array<std::uint8_t, kRadiotextLength> chars{};
        std::uint64_t received = 0; // bit per character
        int abFlag = -1;
    };
    struct MultiGroup {
        bool active = false;
        int nextGsi = -1; // -1: the second group is next
        unsigned groups = 0;
        std::uint16_t lastC = 0, lastD = 0;
        TmcMessage message;
        std::array<std::uint32_t, kMaxContinuations> payload{}; // 28 bits per continuation group
    };

    void DecodeBasic(const rds::Group &g, std::string &out);
    void DecodeSwitching(std::uint16_t b, std::string &out);
    void AppendAltFrequencies(std::string &out);
    void DecodeRadiotext(const rds::Group &g, std::string &out);
    void DecodeClock(const rds::Group &g, std::string &out);
    void DecodeOdaAnnouncement(const rds::Group &g, std::string &out);
    void DecodeTmc(const rds::Group &g, double now, std::string &out);
    void DecodeTmcSystem(const rds::Group &g, std::string &out);
    void FinishMultiGroup(MultiGroup &multi, double now, std::string &out);
    static void ReadFreeFormat(const std::array<std::uint32_t, kMaxContinuations> &payload,
                               unsigned groups, TmcMessage &m);
    void Keep(TmcMessage message, double now, std::string &out);

    Station station_;
    Counters counters_;
    std::vector<TmcMessage> messages_;
    std::array<std::uint8_t, kPsLength> ps_{};
    int psNext_ = -1;        // the name segment due next in an unbroken cycle, -1 none
    unsigned psUnknown_ = 0; // groups without block B since the last name group
    TextState rt_;
    std::array<std::uint8_t, kPsLength> provider_{};
    unsigned providerReceived = 0;
    std::vector<std::uint8_t> afCodes_; // the AF list being received
    unsigned afExpected_ = 0;
    unsigned afUnknown_ = 0;          // groups of unknown type since the list's count
    std::array<MultiGroup, 8> multi_; // by continuity index
    unsigned currentCi_ = 0;
    bool hasPendingPi_ = false;
    std::uint16_t pendingPi_ = 0;
};

// Appends the JSON text of one message's fields ("event_codes":[...],...).
void AppendMessageJson(const TmcMessage &m, std::string &out);

// The time stamp of a capture line ("... @2017/12/27 18:22:00.339"), in
// seconds of its own clock; false when the line has none.
bool CaptureTime(std::string_view line, double &seconds);

// RDS characters to UTF-8.
std::string RdsToUtf8(const std::uint8_t *chars, std::size_t count);

} // namespace tmcview

#endif // TAVRINEL_TMCVIEW_DECODER_H
