// encoder.cpp — receiver sentences from tuner events: one $RTTMC per RDS
// group, one $RTRDS per tune report.
#include <cstdio>
#include <cstring>

#include "common/sentence.h"
#include "driver.h"

void EmitSentence(char *text, size_t capacity) {
    ChecksumSentence(text, capacity);
    size_t length = strnlen(text, capacity);
    if (length + 2 >= capacity)
        return; // every sentence here is far shorter; never overrun
    text[length++] = '\r';
    text[length++] = '\n';
    text[length] = '\0';
    Append(text, static_cast<DWORD>(length));
}

void OnRdsGroup(HFMTUNER, const RdsGroupRecord *group) {
    if (group == nullptr)
        return;
    char sentence[kSentenceBytes];
    std::snprintf(sentence, sizeof sentence, "$RTTMC,%d,%X,%X,%X,%X*", group->wBlockB >> 12,
                  group->wBlockA, group->wBlockB, group->wBlockC, group->wBlockD);
    EmitSentence(sentence, sizeof sentence);
}

void OnTuned(HFMTUNER tuner, DWORD frequencyKHz, FMTuneReason) {
    // The field holds at most 7 characters; an absurd frequency is cut
    // there rather than written past it.
    char text[16];
    std::snprintf(text, sizeof text, "%3u.%01u", static_cast<unsigned>(frequencyKHz / 1000),
                  static_cast<unsigned>((frequencyKHz % 1000) / 100));
    std::snprintf(driverState.frequencyText, sizeof driverState.frequencyText, "%.7s", text);
    driverState.currentFrequency = frequencyKHz;

    // A failed read writes nothing, so the previous strength stands.
    DWORD_PTR strength = driverState.signalStrength;
    FMGetProp(tuner, FMPROP_RSSI, &strength);
    driverState.signalStrength = static_cast<DWORD>(strength);
    const DWORD level = (driverState.signalStrength * 15u) / 255u;

    char sentence[kSentenceBytes];
    std::snprintf(sentence, sizeof sentence, "$RTRDS,%s,%d,0,0,2,1,1,000,255,5,0,50*",
                  driverState.frequencyText, static_cast<int>(level));
    EmitSentence(sentence, sizeof sentence);
}
