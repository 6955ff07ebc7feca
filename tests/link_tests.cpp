// The link core without a port: request bytes, the framing rule look by look, and the queue.
// The writer and the port are exercised in writer_tests.cpp and port_tests.cpp.
#include "link.h"
#include "reports.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
using Strings = std::vector<std::string>;

struct LinkEnv : testing::Environment {
    void SetUp() override { InitializeCriticalSection(&g_rxLock); }
};
const testing::Environment *g_env = testing::AddGlobalTestEnvironment(new LinkEnv);

void Append(const Bytes &b) { RxAppend(b.data(), static_cast<DWORD>(b.size())); }

// Empties whatever a test left in the buffer or the queue.
void Reset()
{
    DWORD idle = 0;
    while (RxPending() != 0)
        RxLook(&idle, true);
    BYTE *frame;
    DWORD length;
    while (TxTake(&frame, &length))
        free(frame);
    ClearReports();
}

Bytes Take()
{
    BYTE *frame;
    DWORD length;
    if (!TxTake(&frame, &length))
        return Bytes();
    Bytes b(frame, frame + length);
    free(frame);
    return b;
}

class Framing : public testing::Test {
protected:
    void SetUp() override { Reset(); }
    DWORD idle = 0;
    // A look straight after an append, as the parser makes it when it finds 7 bytes or more.
    RxLookResult Look() { return RxLook(&idle, false); }
    RxLookResult LookAfterSleep() { return RxLook(&idle, true); }
};

// --- The three requests go out byte for byte.

TEST(Requests, FixedFramesAndSetChannelBytes)
{
    Reset();
    EXPECT_EQ(Bytes(FRAME_POLL, FRAME_POLL + 7), (Bytes{0x55, 0xAA, 0x00, 0x01, 0x00, 0xAA, 0x55}));
    EXPECT_EQ(Bytes(FRAME_QUERY_CHANNEL, FRAME_QUERY_CHANNEL + 7),
              (Bytes{0x55, 0xAA, 0x00, 0x03, 0x00, 0xAA, 0x55}));

    SerialSendChannel(0);       // channel 1
    SerialSendChannel(15);      // channel 16
    SerialSendChannel(-1);      // nothing selected: only the low 8 bits travel
    SerialSendChannel(0x123);
    EXPECT_EQ(Take(), (Bytes{0x55, 0xAA, 0x00, 0x05, 0x01, 0x00, 0xAA, 0x55}));
    EXPECT_EQ(Take(), (Bytes{0x55, 0xAA, 0x00, 0x05, 0x01, 0x0F, 0xAA, 0x55}));
    EXPECT_EQ(Take(), (Bytes{0x55, 0xAA, 0x00, 0x05, 0x01, 0xFF, 0xAA, 0x55}));
    EXPECT_EQ(Take(), (Bytes{0x55, 0xAA, 0x00, 0x05, 0x01, 0x23, 0xAA, 0x55}));
    EXPECT_TRUE(Take().empty());
}

// --- Accepted frames, in one piece each and in this order: one call (or none for an unknown
// --- command) with the right argument, and an empty buffer after.

TEST_F(Framing, EachFrameGivesOneCallAndEmptiesTheBuffer)
{
    const struct {
        Bytes run;
        Strings reports;
    } frames[] = {
        {{0x55, 0xAA, 0x00, 0x04, 0x01, 0x03, 0xAA, 0x55}, {"channel:3"}},
        {{0x55, 0xAA, 0x00, 0x06, 0x01, 0x00, 0xAA, 0x55}, {"result:0"}},
        {{0x55, 0xAA, 0x00, 0x02, 0x05, 'V', '1', '.', '0', 0x00, 0xAA, 0x55}, {"version:V1.0"}},
        {{0x55, 0xAA, 0x7E, 0x04, 0xFF, 0x09, 0xAA, 0x55}, {"channel:9"}},   // reserved, length: any
        // No payload: the end mark's first byte is handed on.
        {{0x55, 0xAA, 0x00, 0x04, 0x00, 0xAA, 0x55}, {"channel:170"}},
        {{0x55, 0xAA, 0x00, 0x06, 0x00, 0xAA, 0x55}, {"result:170"}},
        // Two frames in one piece: the first counts, both go.
        {{0x55, 0xAA, 0x00, 0x04, 0x01, 0x02, 0xAA, 0x55, 0x55, 0xAA, 0x00, 0x02, 0x03, 'V', '2', 0x00, 0xAA, 0x55},
         {"channel:2"}},
        {{0x55, 0xAA, 0x00, 0x07, 0x01, 0x01, 0xAA, 0x55}, {}},
        // A version text ends at its first zero byte, or at the end mark when it has none: what
        // a longer run left in the buffer beyond the frame must not leak into it.
        {{0x55, 0xAA, 0x00, 0x02, 0x06, 'A', 'B', 0x00, 'C', 'D', 0x00, 0xAA, 0x55}, {"version:AB"}},
        {{0x55, 0xAA, 0x00, 0x02, 0x04, 'X', 'X', 'X', 'X', 'X', 'X', 'X', 'X', 0xAA, 0x55}, {"version:XXXXXXXX"}},
        {{0x55, 0xAA, 0x00, 0x02, 0x04, 'R', 'Q', '4', '7', 0xAA, 0x55}, {"version:RQ47"}},
        {{0x55, 0xAA, 0x00, 0x02, 0x00, 0xAA, 0x55}, {"version:"}},
    };
    for (const auto &f : frames) {
        SCOPED_TRACE("frame " + std::to_string(&f - frames));
        ClearReports();
        Append(f.run);
        EXPECT_EQ(Look(), RX_DISPATCHED);
        EXPECT_EQ(Reports(), f.reports);
        EXPECT_EQ(RxPending(), 0u);
    }
}

// --- Runs that are not one frame are thrown away whole.

TEST_F(Framing, StrayLeadingByteOrAnyWrongMarkByteDiscardsTheWholeRun)
{
    const Bytes runs[] = {
        {0x00, 0x55, 0xAA, 0x00, 0x04, 0x01, 0x03, 0xAA, 0x55},   // a stray byte first
        {0x55, 0xAB, 0x00, 0x04, 0x01, 0x03, 0xAA, 0x55},         // the start mark's second
        {0x55, 0xAA, 0x00, 0x04, 0x01, 0x03, 0xAB, 0x55},         // the end mark's first
        {0x55, 0xAA, 0x00, 0x04, 0x01, 0x03, 0xAA, 0x54},         // the end mark's second
    };
    for (const Bytes &run : runs) {
        Append(run);
        EXPECT_EQ(Look(), RX_DISCARDED) << "run " << &run - runs;
        EXPECT_EQ(RxPending(), 0u);
    }
    EXPECT_TRUE(Reports().empty());
}

TEST_F(Framing, SplitFrameWhoseFirstPieceIsSevenBytesIsLost)
{
    Append({0x55, 0xAA, 0x00, 0x02, 0x05, 'V', '1'});   // 7 bytes, no end mark yet
    EXPECT_EQ(Look(), RX_DISCARDED);
    Append({'.', '0', 0x00, 0xAA, 0x55});               // the rest: too short, never a frame
    for (int i = 1; i < RX_IDLE_LOOKS; i++)
        ASSERT_EQ(LookAfterSleep(), RX_WAITING) << "look " << i;
    EXPECT_EQ(LookAfterSleep(), RX_DISCARDED);
    EXPECT_EQ(RxPending(), 0u);
    EXPECT_TRUE(Reports().empty());
}

TEST_F(Framing, SplitFrameArrivingBeforeItIsExaminedIsTakenAndRestartsTheIdleCount)
{
    Append({0x55, 0xAA, 0x00});
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(LookAfterSleep(), RX_WAITING);
    Append({0x04, 0x01, 0x05, 0xAA, 0x55});
    EXPECT_EQ(LookAfterSleep(), RX_DISPATCHED);
    EXPECT_EQ(Reports(), Strings{"channel:5"});
    EXPECT_EQ(idle, 0u);
}

TEST_F(Framing, FiftiethLookEmptiesAShortRunAndEmptyLooksDoNotCount)
{
    Append({0x55, 0xAA, 0x00});
    // Looks at an empty buffer do not count towards the 50.
    for (int i = 1; i < RX_IDLE_LOOKS; i++)
        ASSERT_EQ(LookAfterSleep(), RX_WAITING);
    EXPECT_EQ(idle, DWORD(RX_IDLE_LOOKS - 1));
    // The 50th look empties the buffer even though it has just become a whole frame.
    Append({0x04, 0x01, 0x05, 0xAA, 0x55});
    EXPECT_EQ(LookAfterSleep(), RX_DISCARDED);
    EXPECT_EQ(RxPending(), 0u);
    EXPECT_EQ(idle, 0u);
    EXPECT_TRUE(Reports().empty());

    for (int i = 0; i < 3 * RX_IDLE_LOOKS; i++)
        ASSERT_EQ(LookAfterSleep(), RX_EMPTY);
    EXPECT_EQ(idle, 0u);
}

TEST_F(Framing, BytesBeyondTheBufferAreDropped)
{
    // A channel report that fills the buffer to its last byte, and 76 bytes more that must not
    // land on it.
    Bytes run(RX_BUF_SIZE + 76, 0x11);
    run[0] = run[RX_BUF_SIZE - 1] = 0x55;
    run[1] = run[RX_BUF_SIZE - 2] = 0xAA;
    run[3] = 0x04;
    Append(Bytes(run.begin(), run.begin() + 1000));
    Append(Bytes(run.begin() + 1000, run.end()));
    EXPECT_EQ(RxPending(), DWORD(RX_BUF_SIZE));
    Append(Bytes(5, 0x33));
    EXPECT_EQ(RxPending(), DWORD(RX_BUF_SIZE));
    EXPECT_EQ(Look(), RX_DISPATCHED);
    EXPECT_EQ(Reports(), Strings{"channel:17"});
}

// Both discards take the receive lock, so an append running at the same moment is never
// half lost: while another thread holds the lock, a discarding look has to wait for it.
TEST_F(Framing, DiscardWaitsForTheReceiveLock)
{
    for (int stalled = 0; stalled < 2; stalled++) {
        Reset();
        idle = stalled ? RX_IDLE_LOOKS - 1 : 0;
        Append(stalled ? Bytes{0x55, 0xAA} : Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07});
        EnterCriticalSection(&g_rxLock);
        std::atomic<bool> done(false);
        std::thread parser([&] { RxLook(&idle, stalled != 0); done = true; });
        Sleep(100);
        EXPECT_FALSE(done) << (stalled ? "50-look discard" : "bad-mark discard") << " took no lock";
        LeaveCriticalSection(&g_rxLock);
        parser.join();
        EXPECT_EQ(RxPending(), 0u);
    }
}

// --- The transmit queue.

TEST(Queue, KeepsOrderAndHoldsElevenFrames)
{
    Reset();
    for (BYTE i = 0; i < TX_SLOTS - 1; i++)
        ASSERT_EQ(SerialSendFrame(&i, 1), 0) << "frame " << int(i);
    BYTE twelfth = 99;
    EXPECT_EQ(SerialSendFrame(&twelfth, 1), -1);
    for (BYTE i = 0; i < TX_SLOTS - 1; i++)
        EXPECT_EQ(Take(), Bytes{i});
    EXPECT_TRUE(Take().empty());
    // The ring wraps: the same 11 fit again.
    for (int round = 0; round < 3; round++) {
        for (BYTE i = 0; i < TX_SLOTS - 1; i++)
            ASSERT_EQ(SerialSendFrame(&i, 1), 0);
        for (BYTE i = 0; i < TX_SLOTS - 1; i++)
            ASSERT_EQ(Take(), Bytes{i});
    }
}

TEST(Queue, CopiesTheFrameAndReportsNoMemory)
{
    Reset();
    BYTE frame[3] = {1, 2, 3};
    ASSERT_EQ(SerialSendFrame(frame, 3), 0);
    frame[0] = 9;                                   // the caller's bytes are its own again
    EXPECT_EQ(Take(), (Bytes{1, 2, 3}));
    // 4 GiB cannot be had in a 32-bit process: -2, and nothing is queued. (A 64-bit test build
    // could have it, and would copy 4 GiB from these 3 bytes.)
    if (sizeof(void *) == 4) {
        EXPECT_EQ(SerialSendFrame(frame, 0xFFFFFFF0u), -2);
        EXPECT_TRUE(Take().empty());
    }
}

// The user-interface and parser threads both queue: no frame may be lost or taken twice.
TEST(Queue, TwoProducersNeverShareASlot)
{
    Reset();
    const int perProducer = 20000;
    auto produce = [](BYTE id) {
        for (int i = 0; i < perProducer; i++) {
            BYTE frame[5] = {id, BYTE(i), BYTE(i >> 8), BYTE(i >> 16), 0};
            while (SerialSendFrame(frame, sizeof frame) != 0)
                std::this_thread::yield();
        }
    };
    std::thread a(produce, BYTE(1)), b(produce, BYTE(2));
    int next[3] = {0, 0, 0};
    int taken = 0;
    while (taken < 2 * perProducer) {
        BYTE *frame;
        DWORD length;
        if (!TxTake(&frame, &length)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(length, 5u);
        int id = frame[0];
        int seq = frame[1] | frame[2] << 8 | frame[3] << 16;
        free(frame);
        ASSERT_TRUE(id == 1 || id == 2);
        ASSERT_EQ(seq, next[id]) << "producer " << id << " lost or repeated a frame";
        next[id]++;
        taken++;
    }
    a.join();
    b.join();
    EXPECT_TRUE(Take().empty());
}

} // namespace
