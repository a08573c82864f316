// decoder.cpp — RDS group and RDS-TMC (ALERT-C) decoding.
#include "decoder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

namespace tmcview {

namespace {

using rds::kBlockA;
using rds::kBlockB;
using rds::kBlockC;
using rds::kBlockD;

constexpr std::array<const char *, 32> kPtyNames = {"No PTY",
                                                    "News",
                                                    "Current affairs",
                                                    "Information",
                                                    "Sport",
                                                    "Education",
                                                    "Drama",
                                                    "Culture",
                                                    "Science",
                                                    "Varied",
                                                    "Pop music",
                                                    "Rock music",
                                                    "Easy listening",
                                                    "Light classical",
                                                    "Serious classical",
                                                    "Other music",
                                                    "Weather",
                                                    "Finance",
                                                    "Children's programmes",
                                                    "Social affairs",
                                                    "Religion",
                                                    "Phone-in",
                                                    "Travel",
                                                    "Leisure",
                                                    "Jazz music",
                                                    "Country music",
                                                    "National music",
                                                    "Oldies music",
                                                    "Folk music",
                                                    "Documentary",
                                                    "Alarm test",
                                                    "Alarm"};

// The upper half of the RDS character set, one row of 16 a line.
constexpr std::array<const char *, 8> kUpperRows = {
    "áàéèíìóòúùÑÇŞβ¡Ĳ", "âäêëîïôöûüñçşğıĳ", "ªα©‰Ğěňőπ€£$←↑→↓", "º¹²³±İńűµ¿÷°¼½¾§",
    "ÁÀÉÈÍÌÓÒÚÙŘČŠŽÐĿ", "ÂÄÊËÎÏÔÖÛÜřčšžđŀ", "ÃÅÆŒŷÝÕØÞŊŔĆŚŹŦð", "ãåæœŵýõøþŋŕćśźŧ "};

// The UTF-8 text of character c (0x80 to 0xFF) from the rows above.
std::string_view UpperChar(std::uint8_t c) {
    std::string_view row = kUpperRows[(c - 0x80) >> 4];
    unsigned want = c & 15u;
    std::size_t i = 0;
    for (unsigned n = 0; i < row.size(); ++n) {
        std::size_t len = 1;
        const auto lead = static_cast<std::uint8_t>(row[i]);
        if (lead >= 0xF0)
            len = 4;
        else if (lead >= 0xE0)
            len = 3;
        else if (lead >= 0xC0)
            len = 2;
        if (n == want)
            return row.substr(i, len);
        i += len;
    }
    return " ";
}

void AppendJsonString(std::string &out, std::string_view text) {
    out += '"';
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char buf[8];
            (void)std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    out += '"';
}

void AppendHex16(std::string &out, std::uint16_t v) {
    char buf[12];
    (void)std::snprintf(buf, sizeof buf, "\"0x%04X\"", v);
    out += buf;
}

void AppendKey(std::string &out, const char *key) {
    if (out.back() != '{')
        out += ',';
    out += '"';
    out += key;
    out += "\":";
}

template <typename T> void AppendList(std::string &out, const std::vector<T> &values) {
    out += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i)
            out += ',';
        out += std::to_string(values[i]);
    }
    out += ']';
}

void AppendScope(std::string &out, unsigned scope) {
    static constexpr std::array<const char *, 4> kNames = {"urban", "regional", "national",
                                                           "international"};
    out += '[';
    bool first = true;
    for (int bit = 3; bit >= 0; --bit) {
        if (scope & (1u << bit)) {
            if (!first)
                out += ',';
            first = false;
            out += '"';
            out += kNames[static_cast<std::size_t>(bit)];
            out += '"';
        }
    }
    out += ']';
}

std::string GroupName(const rds::Group &g) {
    return std::to_string(g.typeCode()) + (g.versionB() ? "B" : "A");
}

// 87.6 MHz to 107.9 MHz in 100 kHz steps; 0 for any other code.
std::uint32_t AfCodeToKHz(unsigned code) {
    return code >= 1 && code <= 204 ? 87500u + 100u * code : 0u;
}

// Free-format field lengths of ALERT-C multi-group messages, by label.
constexpr std::array<unsigned, 16> kFieldBits = {3, 3,  5,  5,  5,  8,  8, 8,
                                                 8, 11, 16, 16, 16, 16, 0, 0};
constexpr unsigned kBitsPerContinuation = 28;

} // namespace

const char *PtyName(unsigned pty) {
    return kPtyNames[pty & 31u];
}

const char *UrgencyName(unsigned urgency) {
    static constexpr std::array<const char *, 3> kNames = {"none", "U", "X"};
    return kNames[std::min(urgency, 2u)];
}

std::string RdsToUtf8(const std::uint8_t *chars, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t c = chars[i];
        if (c >= 0x80)
            out += UpperChar(c);
        else if (c == 0x24)
            out += "¤";
        else if (c == 0x5E)
            out += "―";
        else if (c == 0x60)
            out += "‖";
        else if (c == 0x7E)
            out += "¯";
        else if (c < 0x20 || c == 0x7F)
            out += ' ';
        else
            out += static_cast<char>(c);
    }
    return out;
}

bool TmcMessage::SameContent(const TmcMessage &o) const {
    return events == o.events && furtherEvents == o.furtherEvents && location == o.location &&
           negative == o.negative && bothWays == o.bothWays && extent == o.extent &&
           urgency == o.urgency && duration == o.duration && diversion == o.diversion &&
           quantifiers == o.quantifiers && diversionLocations == o.diversionLocations &&
           destinations == o.destinations;
}

void AppendMessageJson(const TmcMessage &m, std::string &out) {
    AppendKey(out, "event_codes");
    AppendList(out, m.events);
    AppendKey(out, m.encryptedLocation ? "encrypted_location" : "location");
    out += std::to_string(m.location);
    AppendKey(out, "direction");
    out += m.bothWays ? "\"both\"" : "\"single\"";
    AppendKey(out, "extent");
    out += '"';
    out += m.negative ? '-' : '+';
    out += std::to_string(m.extent);
    out += '"';
    AppendKey(out, "urgency");
    out += '"';
    out += UrgencyName(m.urgency);
    out += '"';
    if (!m.furtherEvents.empty()) {
        AppendKey(out, "further_event_codes");
        AppendList(out, m.furtherEvents);
    }
    if (m.duration) {
        AppendKey(out, "duration");
        out += std::to_string(m.duration);
    }
    if (m.diversion) {
        AppendKey(out, "diversion_advised");
        out += "true";
    }
    if (!m.quantifiers.empty()) {
        AppendKey(out, "quantifiers");
        AppendList(out, m.quantifiers);
    }
    if (m.lengthKm >= 0) {
        AppendKey(out, "length_affected_km");
        out += std::to_string(m.lengthKm);
    }
    if (m.speedLimit >= 0) {
        AppendKey(out, "speed_limit_kmh");
        out += std::to_string(m.speedLimit);
    }
    if (!m.supplementary.empty()) {
        AppendKey(out, "supplementary_codes");
        AppendList(out, m.supplementary);
    }
    if (m.startTime >= 0) {
        AppendKey(out, "start_time");
        out += std::to_string(m.startTime);
    }
    if (m.stopTime >= 0) {
        AppendKey(out, "stop_time");
        out += std::to_string(m.stopTime);
    }
    if (!m.diversionLocations.empty()) {
        AppendKey(out, "diversion_routes");
        AppendList(out, m.diversionLocations);
    }
    if (!m.destinations.empty()) {
        AppendKey(out, "destinations");
        AppendList(out, m.destinations);
    }
    if (!m.crossLinkages.empty()) {
        AppendKey(out, "cross_linkages");
        AppendList(out, m.crossLinkages);
    }
}

void Decoder::Reset() {
    const Counters keep = counters_;
    *this = Decoder();
    counters_ = keep;
}

void Decoder::Decode(const rds::Group &g, double now, std::string *json) {
    std::string out = "{";
    ++counters_.groups;
    if (g.missing)
        ++counters_.damaged;
    // A new PI is another station (a retune), once two groups in a row carry
    // it; a lone odd PI is taken for damage.
    if (!g.blockMissing(kBlockA)) {
        const std::uint16_t pi = g.block[kBlockA];
        if (!station_.hasPi || pi == station_.pi) {
            station_.hasPi = true;
            station_.pi = pi;
            hasPendingPi_ = false;
        } else if (hasPendingPi_ && pendingPi_ == pi) {
            Reset();
            station_.hasPi = true;
            station_.pi = pi;
        } else {
            hasPendingPi_ = true;
            pendingPi_ = pi;
        }
    }
    if (station_.hasPi) {
        AppendKey(out, "pi");
        AppendHex16(out, station_.pi);
    }
    if (!g.blockMissing(kBlockB)) {
        const std::uint16_t b = g.block[kBlockB];
        station_.hasFlags = true;
        station_.tp = (b >> 10) & 1u;
        station_.pty = (b >> 5) & 31u;
        AppendKey(out, "group");
        AppendJsonString(out, GroupName(g));
        AppendKey(out, "tp");
        out += station_.tp ? "true" : "false";
        AppendKey(out, "prog_type");
        AppendJsonString(out, PtyName(station_.pty));
        switch (g.typeCode()) {
        case 0:
            DecodeBasic(g, out);
            break;
        case 2:
            DecodeRadiotext(g, out);
            break;
        case 3:
            if (!g.versionB())
                DecodeOdaAnnouncement(g, out);
            break;
        case 4:
            if (!g.versionB())
                DecodeClock(g, out);
            break;
        case 8:
            if (!g.versionB())
                DecodeTmc(g, now, out);
            break;
        case 15:
            if (g.versionB()) // fast switching information
                DecodeSwitching(b, out);
            break;
        default:
            break;
        }
    } else {
        ++psUnknown_; // without block B the group may have been a name segment
    }
    out += '}';
    if (json)
        *json = std::move(out);
}

// ---- 0A/0B: basic tuning and switching information -------------------------------------

// Block B's switching flags, in 0A, 0B and 15B alike.
void Decoder::DecodeSwitching(std::uint16_t b, std::string &out) {
    static constexpr std::array<const char *, 4> kDi = {"dynamic_pty", "compressed",
                                                        "artificial_head", "stereo"};
    AppendKey(out, "di");
    out += "{\"";
    out += kDi[b & 3u];
    out += "\":";
    out += (b >> 2) & 1u ? "true}" : "false}";
    station_.hasSwitching = true;
    station_.ta = (b >> 4) & 1u;
    station_.music = (b >> 3) & 1u;
    AppendKey(out, "ta");
    out += station_.ta ? "true" : "false";
    AppendKey(out, "is_music");
    out += station_.music ? "true" : "false";
}

void Decoder::DecodeBasic(const rds::Group &g, std::string &out) {
    const std::uint16_t b = g.block[kBlockB];
    const std::size_t segment = b & 3u;
    DecodeSwitching(b, out);
    // Groups of unknown type since the last 0A/0B: any may have been one.
    const unsigned unknown = std::exchange(psUnknown_, 0u);

    // An AF list: a count code (224 + n) with the first of n codes, then two
    // codes a group. The rest must not come from another list or cycle: a
    // lost list group ends the list, and so do two groups of unknown type
    // (a list group and the next list's count would both have to be lost
    // for the list to fill up from another).
    afUnknown_ += unknown;
    if (afUnknown_ >= 2 || (!g.versionB() && g.blockMissing(kBlockC)))
        afExpected_ = 0;
    if (!g.versionB() && !g.blockMissing(kBlockC)) {
        const unsigned hi = g.block[kBlockC] >> 8, lo = g.block[kBlockC] & 0xFFu;
        if (hi >= 224 && hi <= 249) {
            afCodes_.clear();
            afExpected_ = hi - 224;
            afUnknown_ = 0;
            afCodes_.push_back(static_cast<std::uint8_t>(lo));
        } else if (afExpected_ != 0) {
            afCodes_.push_back(static_cast<std::uint8_t>(hi));
            afCodes_.push_back(static_cast<std::uint8_t>(lo));
        }
        if (afExpected_ != 0 && afCodes_.size() >= afExpected_) {
            afCodes_.resize(afExpected_); // what follows is a filler code
            afExpected_ = 0;
            AppendAltFrequencies(out);
        }
    }

    // A name is shown once its four segments came in order, 0 to 3, in one
    // cycle: a station may change its name every few seconds, and segments
    // of two names must never be joined. A damaged name group breaks the
    // cycle; so do four groups of unknown type in a row between two
    // segments, enough to hide the rest of one cycle and the start of the next.
    if (g.blockMissing(kBlockC) || g.blockMissing(kBlockD)) {
        psNext_ = -1;
        return;
    }
    if (segment == 0)
        psNext_ = 0;
    if (psNext_ != static_cast<int>(segment) || (segment != 0 && unknown >= 4)) {
        psNext_ = -1;
        return;
    }
    ps_[segment * 2] = static_cast<std::uint8_t>(g.block[kBlockD] >> 8);
    ps_[segment * 2 + 1] = static_cast<std::uint8_t>(g.block[kBlockD] & 0xFFu);
    if (++psNext_ < 4)
        return;
    psNext_ = -1;
    station_.ps = RdsToUtf8(ps_.data(), kPsLength);
    station_.hasPs = true;
    AppendKey(out, "ps");
    AppendJsonString(out, station_.ps);
}

// A complete AF list. Method B gives the tuned frequency first, then pairs
// each holding it and one alternative: in ascending order the same
// programme, in descending order a regional variant. Anything else is a
// method A list.
void Decoder::AppendAltFrequencies(std::string &out) {
    const std::vector<std::uint8_t> &codes = afCodes_;
    bool methodB = codes.size() >= 3 && codes.size() % 2 == 1 && AfCodeToKHz(codes[0]) != 0;
    for (std::size_t i = 1; methodB && i + 1 < codes.size(); i += 2)
        methodB = (codes[i] == codes[0]) != (codes[i + 1] == codes[0]) &&
                  AfCodeToKHz(codes[i]) != 0 && AfCodeToKHz(codes[i + 1]) != 0;
    if (methodB) {
        std::vector<std::uint32_t> same, regional;
        for (std::size_t i = 1; i + 1 < codes.size(); i += 2) {
            const unsigned other = codes[i] == codes[0] ? codes[i + 1] : codes[i];
            (codes[i] < codes[i + 1] ? same : regional).push_back(AfCodeToKHz(other));
        }
        AppendKey(out, "alt_frequencies_b");
        out += "{\"tuned_frequency\":" + std::to_string(AfCodeToKHz(codes[0]));
        if (!same.empty()) {
            out += ",\"same_programme\":";
            AppendList(out, same);
        }
        if (!regional.empty()) {
            out += ",\"regional_variants\":";
            AppendList(out, regional);
        }
        out += '}';
        return;
    }
    station_.altFrequenciesKHz.clear();
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (codes[i] == 250) { // an LF/MF frequency follows: not an FM code
            ++i;
            continue;
        }
        if (const auto f = AfCodeToKHz(codes[i]))
            station_.altFrequenciesKHz.push_back(f);
    }
    AppendKey(out, "alt_frequencies_a");
    AppendList(out, station_.altFrequenciesKHz);
}

// ---- 2A/2B: radiotext ----------------------------------------------------------------------

void Decoder::DecodeRadiotext(const rds::Group &g, std::string &out) {
    const std::uint16_t b = g.block[kBlockB];
    const bool versionB = g.versionB();
    const std::size_t length = versionB ? kRadiotextLength / 2 : kRadiotextLength;
    const std::size_t perGroup = versionB ? 2 : 4;
    // The characters received in one run from the start, up to a carriage return.
    auto run = [&]() {
        std::size_t n = 0;
        while (n < length && ((rt_.received >> n) & 1u) && rt_.chars[n] != 0x0D)
            ++n;
        return n;
    };
    auto show = [&](std::size_t n) {
        std::string text = RdsToUtf8(rt_.chars.data(), n);
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        station_.radiotext = text;
        AppendKey(out, "radiotext");
        AppendJsonString(out, text);
    };
    // A new A/B flag: another text.
    const int ab = (b >> 4) & 1;
    if (ab != rt_.abFlag) {
        rt_.received = 0;
        rt_.chars.fill(' ');
        rt_.abFlag = ab;
    }
    std::array<std::uint8_t, 4> chars{};
    if (g.blockMissing(kBlockC) || g.blockMissing(kBlockD))
        return;
    if (!versionB) {
        chars = {static_cast<std::uint8_t>(g.block[kBlockC] >> 8),
                 static_cast<std::uint8_t>(g.block[kBlockC]),
                 static_cast<std::uint8_t>(g.block[kBlockD] >> 8),
                 static_cast<std::uint8_t>(g.block[kBlockD])};
    } else {
        chars[0] = static_cast<std::uint8_t>(g.block[kBlockD] >> 8);
        chars[1] = static_cast<std::uint8_t>(g.block[kBlockD]);
    }
    // Address 0 starts a new cycle of the text.
    const std::size_t start = (b & 15u) * perGroup;
    if (start == 0)
        rt_.received = 0;
    bool ended = false;
    for (std::size_t i = 0; i < perGroup && start + i < length; ++i) {
        rt_.chars[start + i] = chars[i];
        rt_.received |= 1ull << (start + i);
        ended = ended || chars[i] == 0x0D || start + i + 1 == length;
    }
    // Complete when every character up to a carriage return, or to the end, is in.
    const std::size_t n = run();
    if (ended && (n == length || rt_.chars[n] == 0x0D) && n >= start)
        show(n);
}

// ---- 4A: clock time and date ---------------------------------------------------------------

void Decoder::DecodeClock(const rds::Group &g, std::string &out) {
    if (g.blockMissing(kBlockC) || g.blockMissing(kBlockD))
        return;
    const std::uint16_t b = g.block[kBlockB], c = g.block[kBlockC], d = g.block[kBlockD];
    const long mjd = (static_cast<long>(b & 3u) << 15) | (c >> 1);
    const unsigned hour = ((c & 1u) << 4) | (d >> 12);
    const unsigned minute = (d >> 6) & 63u;
    const int offset = (d & 31) * ((d >> 5) & 1u ? -1 : 1); // half hours
    if (hour > 23 || minute > 59 || (d & 31) > 28 || mjd < 15079)
        return;
    using namespace std::chrono;
    constexpr long kMjdOfUnixEpoch = 40587;
    const long utcMinutes = (mjd - kMjdOfUnixEpoch) * 1440 + static_cast<long>(hour) * 60 + minute;
    const long local = utcMinutes + static_cast<long>(offset) * 30;
    const long dayNumber = local >= 0 ? local / 1440 : (local - 1439) / 1440;
    const long minuteOfDay = local - dayNumber * 1440;
    const year_month_day date{sys_days{days{dayNumber}}};
    char buf[64];
    const int absOffset = offset < 0 ? -offset : offset;
    (void)std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02ld:%02ld:00%c%02d:%02d",
                        static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                        static_cast<unsigned>(date.day()), minuteOfDay / 60, minuteOfDay % 60,
                        offset < 0 ? '-' : '+', absOffset / 2, (absOffset % 2) * 30);
    station_.clock = buf;
    AppendKey(out, "clock_time");
    AppendJsonString(out, station_.clock);
}

// ---- 3A: open data application announcements -----------------------------------------------

void Decoder::DecodeOdaAnnouncement(const rds::Group &g, std::string &out) {
    if (g.blockMissing(kBlockD))
        return;
    const std::uint16_t b = g.block[kBlockB];
    const unsigned aid = g.block[kBlockD];
    const std::string appGroup = std::to_string((b >> 1) & 15u) + ((b & 1u) ? "B" : "A");
    const bool tmc = (aid == 0xCD46 || aid == 0xCD47) && appGroup == "8A";
    auto known = std::find_if(station_.odas.begin(), station_.odas.end(),
                              [&](const auto &o) { return o.second == aid; });
    if (known == station_.odas.end() && station_.odas.size() < kMaxOdas)
        station_.odas.emplace_back(appGroup, aid);
    AppendKey(out, "open_data_app");
    out += "{\"oda_group\":";
    AppendJsonString(out, appGroup);
    out += tmc ? ",\"app_name\":\"RDS-TMC: ALERT-C\"}" : "}";
    if (!tmc || g.blockMissing(kBlockC))
        return;
    TmcSystemInfo &info = station_.tmc;
    info.announced = true;
    info.aid = aid;
    const std::uint16_t c = g.block[kBlockC];
    const unsigned variant = c >> 14;
    AppendKey(out, "tmc");
    out += "{\"system_info\":{";
    if (variant == 0) {
        info.systemKnown = true;
        const unsigned ltn = (c >> 6) & 63u;
        // A location table number of 0 announces an encrypted service; the
        // real table number comes with the encryption administration group.
        info.encrypted = ltn == 0;
        if (ltn != 0)
            info.locationTable = static_cast<int>(ltn);
        info.onAltFreqs = (c >> 5) & 1u;
        info.scope = c & 15u;
        AppendKey(out, "is_encrypted");
        out += info.encrypted ? "true" : "false";
        if (ltn != 0) {
            AppendKey(out, "location_table");
            out += std::to_string(ltn);
        }
        AppendKey(out, "is_on_alt_freqs");
        out += info.onAltFreqs ? "true" : "false";
        AppendKey(out, "scope");
        AppendScope(out, info.scope);
    } else if (variant == 1) {
        static constexpr std::array<int, 4> kGap = {3, 5, 8, 11};
        info.gap = kGap[(c >> 12) & 3u];
        info.serviceId = (c >> 6) & 63;
        AppendKey(out, "service_id");
        out += std::to_string(info.serviceId);
        AppendKey(out, "gap");
        out += std::to_string(info.gap);
    }
    out += "}}";
}

// ---- 8A: RDS-TMC -------------------------------------------------------------------------

void Decoder::DecodeTmcSystem(const rds::Group &g, std::string &out) {
    const std::uint16_t b = g.block[kBlockB], c = g.block[kBlockC], d = g.block[kBlockD];
    const unsigned variant = b & 15u;
    TmcSystemInfo &info = station_.tmc;
    if (variant == 4 || variant == 5) {
        const std::size_t at = variant == 4 ? 0 : 4;
        provider_[at] = static_cast<std::uint8_t>(c >> 8);
        provider_[at + 1] = static_cast<std::uint8_t>(c);
        provider_[at + 2] = static_cast<std::uint8_t>(d >> 8);
        provider_[at + 3] = static_cast<std::uint8_t>(d);
        providerReceived |= variant == 4 ? 1u : 2u;
        // Shown with its second half, once the first half is in.
        if (variant != 5 || providerReceived != 3u)
            return;
        info.provider = RdsToUtf8(provider_.data(), provider_.size());
        AppendKey(out, "tmc");
        out += "{\"service_provider\":";
        AppendJsonString(out, info.provider);
        out += '}';
        return;
    }
    if (variant < 6)
        return;
    AppendKey(out, "tmc");
    out += "{\"other_network\":{";
    switch (variant) {
    case 6: { // alternative frequencies of another network, method A pairs
        AppendKey(out, "pi");
        AppendHex16(out, d);
        std::vector<std::uint32_t> khz;
        if ((c >> 8) >= 224 && (c >> 8) <= 249)
            if (const auto f = AfCodeToKHz(c & 0xFFu))
                khz.push_back(f);
        if (!khz.empty()) {
            AppendKey(out, "frequencies_khz");
            AppendList(out, khz);
        }
        break;
    }
    case 7: // mapped frequency pair of another network
        AppendKey(out, "pi");
        AppendHex16(out, d);
        break;
    case 8:
        AppendKey(out, "pi_codes");
        out += '[';
        AppendHex16(out, c);
        out += ',';
        AppendHex16(out, d);
        out += ']';
        break;
    case 9:
        AppendKey(out, "pi");
        AppendHex16(out, d);
        AppendKey(out, "service_id");
        out += std::to_string(c & 63u);
        AppendKey(out, "location_table");
        out += std::to_string(c >> 10);
        AppendKey(out, "scope");
        AppendScope(out, (c >> 6) & 15u);
        break;
    default:
        break;
    }
    out += "}}";
}

void Decoder::DecodeTmc(const rds::Group &g, double now, std::string &out) {
    if (g.blockMissing(kBlockC) || g.blockMissing(kBlockD))
        return;
    ++counters_.tmcGroups;
    // Nothing here means anything before the service has said which location
    // table it uses and whether its locations are encrypted.
    if (!station_.tmc.systemKnown)
        return;
    const std::uint16_t b = g.block[kBlockB], c = g.block[kBlockC], d = g.block[kBlockD];
    if ((b >> 4) & 1u) {
        DecodeTmcSystem(g, out);
        return;
    }
    const bool single = (b >> 3) & 1u;
    const unsigned ci = b & 7u;
    if (!single && ci == 0) {
        // Encryption administration: service id, key id and the real table number.
        if ((c >> 13) != 0)
            return;
        TmcSystemInfo &info = station_.tmc;
        info.serviceId = (c >> 5) & 63;
        info.encryptionId = c & 31;
        info.locationTable = d >> 10;
        AppendKey(out, "tmc");
        out += "{\"system_info\":{\"service_id\":" + std::to_string(info.serviceId) +
               ",\"encryption_id\":" + std::to_string(info.encryptionId) +
               ",\"location_table\":" + std::to_string(info.locationTable) + "}}";
        return;
    }
    // Encrypted locations mean nothing before the key's administration group.
    if (station_.tmc.encrypted && station_.tmc.encryptionId < 0)
        return;
    // Groups of one multi-group message come together, with only single-group
    // messages between them: a group of another message drops an unfinished one.
    if (!single && ci != currentCi_) {
        multi_[currentCi_].active = false;
        currentCi_ = ci;
    }
    if (single || ((c >> 15) & 1u)) {
        TmcMessage m;
        m.events.push_back(c & 0x7FFu);
        m.location = d;
        m.encryptedLocation = station_.tmc.encrypted;
        m.negative = (c >> 14) & 1u;
        m.extent = (c >> 11) & 7u;
        if (single) {
            m.duration = b & 7u;
            m.diversion = (c >> 15) & 1u;
            Keep(std::move(m), now, out);
            return;
        }
        // First group of a multi-group message; a repeat of it starts it again.
        MultiGroup &multi = multi_[ci];
        multi = MultiGroup{};
        multi.active = true;
        multi.lastC = c;
        multi.lastD = d;
        m.multiGroup = true;
        multi.message = std::move(m);
        return;
    }
    // A continuation: same continuity index, group sequence counting down.
    MultiGroup &multi = multi_[ci];
    if (!multi.active)
        return;
    if (c == multi.lastC && d == multi.lastD)
        return; // a repeat of the group just taken
    const bool second = (c >> 14) & 1u;
    const int gsi = (c >> 12) & 3;
    const bool inOrder = second ? multi.nextGsi == -1 : multi.nextGsi == gsi;
    if (!inOrder || multi.groups >= kMaxContinuations) {
        multi.active = false;
        return;
    }
    multi.payload[multi.groups++] = (static_cast<std::uint32_t>(c & 0xFFFu) << 16) | d;
    multi.lastC = c;
    multi.lastD = d;
    if (gsi == 0) {
        FinishMultiGroup(multi, now, out);
        multi.active = false;
        return;
    }
    multi.nextGsi = gsi - 1;
}

void Decoder::FinishMultiGroup(MultiGroup &multi, double now, std::string &out) {
    TmcMessage m = std::move(multi.message);
    ReadFreeFormat(multi.payload, multi.groups, m);
    Keep(std::move(m), now, out);
}

// The continuation groups' 28 bits each, in order, form one bit string:
// a field may start in one group and end in the next.
void Decoder::ReadFreeFormat(const std::array<std::uint32_t, kMaxContinuations> &payload,
                             unsigned groups, TmcMessage &m) {
    const unsigned total = std::min<unsigned>(groups, kMaxContinuations) * kBitsPerContinuation;
    auto bit = [&](unsigned at) {
        return (payload[at / kBitsPerContinuation] >>
                (kBitsPerContinuation - 1 - at % kBitsPerContinuation)) &
               1u;
    };
    auto read = [&](unsigned &pos, unsigned n) {
        unsigned v = 0;
        for (unsigned i = 0; i < n; ++i)
            v = (v << 1) | bit(pos++);
        return v;
    };
    // Only zeros left: the padding after the last field.
    auto restIsZero = [&](unsigned pos) {
        while (pos < total && bit(pos) == 0)
            ++pos;
        return pos == total;
    };
    unsigned separators = 0;
    unsigned pos = 0;
    while (pos + 4 <= total && !restIsZero(pos)) {
        const unsigned label = read(pos, 4);
        const unsigned bits = kFieldBits[label];
        // A field cut short by the end of the message is dropped.
        if (label == 15 || pos + bits > total)
            break;
        const unsigned v = read(pos, bits);
        switch (label) {
        case 0:
            m.duration = v;
            break;
        case 1:
            switch (v) {
            case 0:
                m.urgency = std::min(m.urgency + 1, 2u);
                break;
            case 1:
                m.urgency = m.urgency ? m.urgency - 1 : 0;
                break;
            case 2:
                m.bothWays = !m.bothWays;
                break;
            case 5:
                m.diversion = true;
                break;
            case 6:
                m.extent += 8;
                break;
            case 7:
                m.extent += 16;
                break;
            default:
                break;
            }
            break;
        case 2:
            m.lengthKm = static_cast<int>(v);
            break;
        case 3:
            m.speedLimit = static_cast<int>(v * 5);
            break;
        case 4:
        case 5:
            if (m.quantifiers.size() < kMaxMessageEvents)
                m.quantifiers.push_back(v);
            break;
        case 6:
            if (m.supplementary.size() < kMaxMessageEvents)
                m.supplementary.push_back(v);
            break;
        case 7:
            m.startTime = static_cast<int>(v);
            break;
        case 8:
            m.stopTime = static_cast<int>(v);
            break;
        case 9: {
            // Events behind a second separator belong to a further part of the message.
            auto &events = separators >= 2 ? m.furtherEvents : m.events;
            if (events.size() < kMaxMessageEvents)
                events.push_back(static_cast<std::uint16_t>(v));
            break;
        }
        case 14:
            ++separators;
            break;
        case 10:
            if (m.diversionLocations.size() < kMaxMessageEvents)
                m.diversionLocations.push_back(static_cast<std::uint16_t>(v));
            break;
        case 11:
            if (m.destinations.size() < kMaxMessageEvents)
                m.destinations.push_back(static_cast<std::uint16_t>(v));
            break;
        case 13:
            if (m.crossLinkages.size() < kMaxMessageEvents)
                m.crossLinkages.push_back(static_cast<std::uint16_t>(v));
            break;
        default: // 12 reserved
            break;
        }
    }
}

// Prints the message and files it for the view: a message already on the
// list counts as a repeat. One for the same place and event is an update: it
// replaces the older message once it is confirmed by a second reception, so
// that a damaged copy heard once never takes a real message's place.
void Decoder::Keep(TmcMessage m, double now, std::string &out) {
    ++counters_.messages;
    AppendKey(out, "tmc");
    out += "{\"message\":{";
    AppendMessageJson(m, out);
    out += "}}";
    auto same = std::find_if(messages_.begin(), messages_.end(),
                             [&](const TmcMessage &o) { return o.SameContent(m); });
    if (same != messages_.end()) {
        ++counters_.repeats;
        ++same->received;
        same->lastSeen = now;
        if (same->received == 2) {
            const TmcMessage *kept = &*same;
            const auto location = kept->location;
            const bool negative = kept->negative;
            const auto event = kept->events[0];
            std::erase_if(messages_, [&](const TmcMessage &o) {
                return &o != kept && o.location == location && o.negative == negative &&
                       !o.events.empty() && o.events[0] == event;
            });
        }
        return;
    }
    m.received = 1;
    m.firstSeen = m.lastSeen = now;
    if (messages_.size() >= kMaxMessages) {
        auto oldest = std::min_element(
            messages_.begin(), messages_.end(),
            [](const TmcMessage &x, const TmcMessage &y) { return x.lastSeen < y.lastSeen; });
        messages_.erase(oldest);
    }
    messages_.push_back(std::move(m));
}

std::vector<const TmcMessage *> Decoder::Confirmed() const {
    std::vector<const TmcMessage *> list;
    for (const TmcMessage &m : messages_)
        if (m.received >= 2)
            list.push_back(&m);
    std::stable_sort(list.begin(), list.end(), [](const TmcMessage *a, const TmcMessage *b) {
        return a->lastSeen > b->lastSeen;
    });
    return list;
}

bool CaptureTime(std::string_view line, double &seconds) {
    const std::size_t at = line.find('@');
    if (at == std::string_view::npos)
        return false;
    const std::string text(line.substr(at + 1, 40));
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
    if (std::sscanf(text.c_str(), "%4d/%2d/%2d %2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
                    &second, &used) != 6 ||
        year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 60)
        return false;
    double fraction = 0;
    if (static_cast<std::size_t>(used) < text.size() &&
        text[static_cast<std::size_t>(used)] == '.') {
        double scale = 0.1;
        for (std::size_t i = static_cast<std::size_t>(used) + 1;
             i < text.size() && text[i] >= '0' && text[i] <= '9' && scale > 1e-7; ++i, scale /= 10)
            fraction += (text[i] - '0') * scale;
    }
    // Days since 1970-01-01 of the proleptic Gregorian calendar (no time zone: only
    // differences matter).
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = y / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const long days = static_cast<long>(era) * 146097 + dayOfEra - 719468;
    seconds = static_cast<double>(days) * 86400 + hour * 3600 + minute * 60 + second + fraction;
    return true;
}

} // namespace tmcview
