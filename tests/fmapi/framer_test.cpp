// RDS group framer: locking, delivery, status bytes, resynchronisation,
// the buffer's growth and compaction, and hostile input.
#include <atomic>
#include <random>
#include <stdexcept>

#include "lumarc_test.h"

using namespace lumarctest;

namespace {

using Bytes = std::vector<uint8_t>;
using Statuses = std::array<uint8_t, 4>;
constexpr Statuses kClean = {0x20, 0x21, 0x22, 0x24};

Bytes Group(WORD pi, WORD b, WORD c, WORD d, Statuses status = kClean) {
    return {uint8_t(pi >> 8), uint8_t(pi), status[0], uint8_t(b >> 8), uint8_t(b), status[1],
            uint8_t(c >> 8),  uint8_t(c),  status[2], uint8_t(d >> 8), uint8_t(d), status[3]};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Bytes that can never hold a group: no status byte fits.
Bytes Garbage(size_t count) {
    return Bytes(count, 0x55);
}

class FramerTest : public LumarcTest {
protected:
    void SetUp() override {
        LumarcTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(Open());
        FMSetProp(session, FMPROP_RDS_CALLBACK, reinterpret_cast<DWORD_PTR>(&CaptureGroup));
    }
    void TearDown() override {
        lumarc::SetRdsAllocationLimitForTesting(static_cast<size_t>(-1));
        LumarcTest::TearDown();
    }

    // An empty buffer locked onto `pi` (locking itself is shown elsewhere).
    void LockOn(WORD pi) {
        fakestack::Deliver(fakestack::TuneComplete(90000));
        Session().piLock.store(pi);
        ClearCaptured();
    }

    Bytes Buffered() {
        const BYTE *start = Session().rdsBuffer.get();
        return Bytes(start, start + Session().rdsLength);
    }
};

TEST_F(FramerTest, ThreeGroupsLockAndDeliverTwoKeepingTheThird) {
    const Bytes third = Group(0x1234, 0x3000, 0x3001, 0x3002);
    fakestack::DeliverRds(
        Cat({Group(0x1234, 0x1000, 0x1001, 0x1002), Group(0x1234, 0x2000, 0x2001, 0x2002), third}));
    auto groups = Groups();
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].dwSize, 16u);
    EXPECT_EQ(groups[0].wBlockA, 0x1234);
    EXPECT_EQ(groups[0].wBlockB, 0x1000);
    EXPECT_EQ(groups[0].wBlockC, 0x1001);
    EXPECT_EQ(groups[0].wBlockD, 0x1002);
    EXPECT_EQ(groups[0].dwBlockErrors, 0u);
    EXPECT_EQ(groups[1].wBlockB, 0x2000);
    EXPECT_EQ(captured().groupSessions[0], session);
    EXPECT_EQ(Session().piLock.load(), 0x1234u);
    EXPECT_EQ(Buffered(), third);

    // The third group goes out once one more byte follows it.
    fakestack::DeliverRds({0xEE});
    groups = Groups();
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_EQ(groups[2].wBlockB, 0x3000);
    EXPECT_EQ(Buffered(), Bytes{0xEE});
}

TEST_F(FramerTest, WhatOneEventLeavesBuffered) {
    const Bytes mixed = Cat({Group(7, 1, 1, 1), Group(8, 2, 2, 2), Group(7, 3, 3, 3), {0}});
    struct {
        const char *legend;
        Bytes input;
        size_t groups;
        Bytes kept;
    } const cases[] = {
        {"three groups and a byte",
         Cat({Group(7, 1, 1, 1), Group(7, 2, 2, 2), Group(7, 3, 3, 3), {9}}),
         3,
         {9}},
        {"two groups alone cannot lock", Cat({Group(7, 1, 1, 1), Group(7, 2, 2, 2)}), 0,
         Cat({Group(7, 1, 1, 1), Group(7, 2, 2, 2)})},
        {"two groups and block A are not yet enough",
         Cat({Group(7, 1, 1, 1), Group(7, 2, 2, 2), {0, 7}}), 0,
         Cat({Group(7, 1, 1, 1), Group(7, 2, 2, 2), {0, 7}})},
        {"two groups, block A and a byte",
         Cat({Group(7, 1, 1, 1), Group(7, 2, 2, 2), {0, 7, 1}}),
         2,
         {0, 7, 1}},
        {"different block A never locks", mixed, 0, Bytes(mixed.end() - 26, mixed.end())},
        {"twelve bytes wait", Group(7, 1, 1, 1), 0, Group(7, 1, 1, 1)},
        {"26 bytes of garbage are all kept", Garbage(26), 0, Garbage(26)},
        {"100 bytes of garbage keep the last 26", Cat({Garbage(74), Bytes(26, 0x66)}), 0,
         Bytes(26, 0x66)},
        {"lost bytes in front",
         Cat({{1, 2, 3}, Group(7, 1, 1, 1), Group(7, 2, 2, 2), {0, 7, 1}}),
         2,
         {0, 7, 1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.legend);
        fakestack::Deliver(fakestack::TuneComplete(90000));
        ClearCaptured();
        fakestack::DeliverRds(c.input);
        EXPECT_EQ(Groups().size(), c.groups);
        EXPECT_EQ(Buffered(), c.kept);
    }
}

TEST_F(FramerTest, StatusBytesAndBlockErrors) {
    struct {
        Statuses status;
        bool accepted;
        DWORD errors;
    } const cases[] = {
        {{0x20, 0x21, 0x22, 0x24}, true, 0},          {{0x28, 0x21, 0x22, 0x24}, true, 0x02000000},
        {{0x20, 0x29, 0x22, 0x24}, true, 0x00020000}, {{0x20, 0x21, 0x2A, 0x24}, true, 0x00000200},
        {{0x20, 0x21, 0x22, 0x2C}, true, 0x00000002}, {{0x28, 0x29, 0x2A, 0x2C}, true, 0x02020202},
        {{0x20, 0x21, 0x23, 0x24}, false, 0},         {{0x30, 0x21, 0x22, 0x24}, false, 0},
        {{0x20, 0x21, 0x22, 0x25}, false, 0},         {{0xA0, 0x21, 0x22, 0x24}, false, 0},
        {{0x00, 0x21, 0x22, 0x24}, false, 0},         {{0x21, 0x20, 0x22, 0x24}, false, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << int(c.status[0]) << ' ' << int(c.status[1])
                                          << ' ' << int(c.status[2]) << ' ' << int(c.status[3]));
        ASSERT_NO_FATAL_FAILURE(LockOn(0x4321));
        fakestack::DeliverRds(Cat({Group(0x4321, 0xB, 0xC, 0xD, c.status), {0}}));
        const auto groups = Groups();
        ASSERT_EQ(groups.size(), c.accepted ? 1u : 0u);
        if (c.accepted) {
            EXPECT_EQ(groups[0].dwBlockErrors, c.errors);
            EXPECT_EQ(groups[0].wBlockD, 0xD);
        }
        EXPECT_EQ(Session().piLock.load(), 0x4321u); // fewer than 26 bytes never drop the lock
    }
}

TEST_F(FramerTest, LockedFramerSkipsForeignBytesAndOtherStations) {
    ASSERT_NO_FATAL_FAILURE(LockOn(0x1111));
    // Foreign bytes, a group of another station, then ours.
    fakestack::DeliverRds(Cat({Garbage(5), Group(0x2222, 1, 1, 1), Group(0x1111, 2, 2, 2), {0}}));
    auto groups = Groups();
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].wBlockB, 2);

    // Fewer than 26 unacceptable bytes stay, and so does the lock.
    ClearCaptured();
    fakestack::DeliverRds(Garbage(24));
    EXPECT_TRUE(Groups().empty());
    EXPECT_EQ(Session().rdsLength, 25u);
    EXPECT_EQ(Session().piLock.load(), 0x1111u);
}

TEST_F(FramerTest, LockedGroupNeedsAByteAfterIt) {
    ASSERT_NO_FATAL_FAILURE(LockOn(0x1111));
    const Bytes group = Group(0x1111, 4, 4, 4);
    fakestack::DeliverRds(Cat({{0x55}, group}));
    EXPECT_TRUE(Groups().empty());
    EXPECT_EQ(Buffered(), Cat({{0x55}, group}));
    fakestack::DeliverRds({0x99});
    ASSERT_EQ(Groups().size(), 1u);
    EXPECT_EQ(Buffered(), Bytes{0x99});
}

TEST_F(FramerTest, LockHoldsBelow26UnacceptableBytesAndFallsAt26) {
    ASSERT_NO_FATAL_FAILURE(LockOn(0x1111));
    fakestack::DeliverRds(Garbage(25));
    EXPECT_EQ(Session().piLock.load(), 0x1111u);
    EXPECT_EQ(Buffered(), Garbage(25));
    ASSERT_NO_FATAL_FAILURE(LockOn(0x1111));
    fakestack::DeliverRds(Garbage(26));
    EXPECT_EQ(Session().piLock.load(), 0xFFFFu);
    EXPECT_EQ(Buffered(), Garbage(26));
}

TEST_F(FramerTest, LockIsLostAndRetakenOnAnotherStationInOneEvent) {
    ASSERT_NO_FATAL_FAILURE(LockOn(0x1111));
    fakestack::DeliverRds(Cat({Garbage(30),
                               Group(0x2222, 1, 1, 1),
                               Group(0x2222, 2, 2, 2),
                               Group(0x2222, 3, 3, 3),
                               {0}}));
    const auto groups = Groups();
    ASSERT_EQ(groups.size(), 3u);
    for (const auto &group : groups)
        EXPECT_EQ(group.wBlockA, 0x2222);
    EXPECT_EQ(Session().piLock.load(), 0x2222u);
    EXPECT_EQ(Session().rdsLength, 1u);
}

TEST_F(FramerTest, LockIsLostWithoutANewStation) {
    ASSERT_NO_FATAL_FAILURE(LockOn(0x1111));
    fakestack::DeliverRds(Cat({Garbage(40), Bytes(26, 0x77)}));
    EXPECT_TRUE(Groups().empty());
    EXPECT_EQ(Session().piLock.load(), 0xFFFFu);
    EXPECT_EQ(Buffered(), Bytes(26, 0x77));
}

TEST_F(FramerTest, EmptyAndNullEventsChangeNothing) {
    fakestack::DeliverRds(Garbage(5));
    fakestack::DeliverRds({});
    StackEvent nullData = fakestack::OfType(STACK_EVENT_RDS_DATA);
    nullData.u.rds.length = 100;
    fakestack::Deliver(nullData);
    EXPECT_EQ(Buffered(), Garbage(5));
    EXPECT_EQ(Session().rdsCapacity, 2048);
}

TEST_F(FramerTest, BufferGrowsToExactlyWhatIsNeeded) {
    fakestack::DeliverRds(Garbage(20));
    ASSERT_EQ(Session().rdsCapacity, 2048);
    fakestack::DeliverRds(Garbage(2040));
    EXPECT_EQ(Session().rdsCapacity, 2060);
    EXPECT_EQ(Session().rdsLength, 26u);
    // A run that fits reuses the buffer.
    fakestack::DeliverRds(Garbage(2034));
    EXPECT_EQ(Session().rdsCapacity, 2060);
    // Groups in a long run are all found.
    ClearCaptured();
    Bytes run; // the largest run an event can carry: 65535 bytes
    for (WORD i = 0; i < 5461; ++i) {
        const Bytes group = Group(0x0D0D, i, i, i);
        run.insert(run.end(), group.begin(), group.end());
    }
    run.insert(run.end(), {0, 0, 0});
    fakestack::DeliverRds(run);
    EXPECT_EQ(Session().rdsCapacity, 26 + 65535);
    EXPECT_EQ(Groups().size(), 5461u);
}

TEST_F(FramerTest, FailedGrowthDropsTheEventAndKeepsTheBuffer) {
    fakestack::DeliverRds(Bytes(20, 0x11));
    lumarc::SetRdsAllocationLimitForTesting(2059);
    fakestack::DeliverRds(
        Cat({Group(5, 1, 1, 1), Group(5, 2, 2, 2), Group(5, 3, 3, 3), Garbage(2004)}));
    EXPECT_TRUE(Groups().empty());
    EXPECT_EQ(Buffered(), Bytes(20, 0x11));
    EXPECT_EQ(Session().rdsCapacity, 2048);
    // Still working afterwards.
    lumarc::SetRdsAllocationLimitForTesting(static_cast<size_t>(-1));
    fakestack::Deliver(fakestack::TuneComplete(90000));
    fakestack::DeliverRds(Cat({Group(5, 1, 1, 1), Group(5, 2, 2, 2), Group(5, 3, 3, 3), {0}}));
    EXPECT_EQ(Groups().size(), 3u);
}

TEST_F(FramerTest, BytesOfTheOldFrequencyAreNeverFramed) {
    const Bytes stream = Cat({Group(3, 1, 1, 1), Group(3, 2, 2, 2), Group(3, 3, 3, 3), {0}});
    fakestack::DeliverRds(Bytes(stream.begin(), stream.begin() + 20));
    fakestack::Deliver(fakestack::TuneComplete(101000));
    fakestack::DeliverRds(Bytes(stream.begin() + 20, stream.end()));
    EXPECT_TRUE(Groups().empty());
}

TEST_F(FramerTest, WithoutCallbackGroupsAreConsumedAlike) {
    FMSetProp(session, FMPROP_RDS_CALLBACK, 0);
    fakestack::DeliverRds(Cat({Group(9, 1, 1, 1), Group(9, 2, 2, 2), Group(9, 3, 3, 3)}));
    EXPECT_TRUE(Groups().empty());
    EXPECT_EQ(Session().piLock.load(), 9u);
    EXPECT_EQ(Buffered(), Group(9, 3, 3, 3));
}

// An RDS callback that makes the stack deliver more events on the same thread.
void TuneFromRdsCallback(HFMTUNER, const RdsGroupRecord *) {
    captured().groups.push_back({});
    fakestack::DeliverRds(Garbage(40)); // dropped: framing is in progress
    fakestack::Deliver(fakestack::TuneComplete(104000));
}

TEST_F(FramerTest, CallbackThatRetunesEndsTheEvent) {
    FMSetProp(session, FMPROP_RDS_CALLBACK, reinterpret_cast<DWORD_PTR>(&TuneFromRdsCallback));
    fakestack::DeliverRds(Cat({Group(9, 1, 1, 1), Group(9, 2, 2, 2), Group(9, 3, 3, 3), {0}}));
    EXPECT_EQ(captured().groups.size(), 1u);
    EXPECT_EQ(Session().rdsLength, 0u);
    EXPECT_EQ(Session().piLock.load(), 0xFFFFu);
}

// An RDS callback that throws at its first group only.
std::atomic<int> throwsLeft{0};
void ThrowingRdsCallback(HFMTUNER session, const RdsGroupRecord *group) {
    CaptureGroup(session, group);
    if (throwsLeft.fetch_sub(1) > 0)
        throw std::runtime_error("client fault");
}

TEST_F(FramerTest, CallbackThatThrowsStillConsumesWhatItWasHanded) {
    FMSetProp(session, FMPROP_RDS_CALLBACK, reinterpret_cast<DWORD_PTR>(&ThrowingRdsCallback));
    throwsLeft = 1;
    fakestack::DeliverRds(Cat({Group(9, 1, 1, 1), Group(9, 2, 2, 2), Group(9, 3, 3, 3), {0}}));
    fakestack::DeliverRds({0});
    std::vector<WORD> seen;
    for (const RdsGroupRecord &group : Groups())
        seen.push_back(group.wBlockB);
    EXPECT_EQ(seen, (std::vector<WORD>{1, 2, 3})) << "each group exactly once";
}

TEST_F(FramerTest, HostileStreamsKeepTheBufferBounded) {
    std::mt19937 random(20261207);
    Bytes stream;
    for (int i = 0; i < 3000; ++i) {
        if (random() % 4 == 0) {
            const Bytes noise(random() % 30, uint8_t(random()));
            stream.insert(stream.end(), noise.begin(), noise.end());
        }
        Statuses status = kClean;
        if (random() % 10 == 0)
            status[random() % 4] ^= uint8_t(1u << (random() % 8));
        const Bytes group = Group(WORD(random() % 3 == 0 ? 0xAAAA : 0xBBBB), WORD(random()),
                                  WORD(random()), WORD(random()), status);
        stream.insert(stream.end(), group.begin(), group.end());
    }
    size_t at = 0;
    while (at < stream.size()) {
        const size_t run = std::min<size_t>(stream.size() - at, random() % 80);
        fakestack::DeliverRds(Bytes(stream.begin() + at, stream.begin() + at + run));
        at += run;
        ASSERT_LE(Session().rdsLength, 26u);
    }
    for (const auto &group : Groups()) {
        EXPECT_EQ(group.dwSize, 16u);
        EXPECT_EQ(group.dwBlockErrors & ~0x02020202u, 0u);
    }
    EXPECT_GT(Groups().size(), 500u);
    EXPECT_EQ(Session().rdsCapacity, 2048);
}

} // namespace
