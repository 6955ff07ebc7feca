// The writer thread against an overlapped handle: a named pipe stands in for the port, so the
// test can read exactly what was written, and can make a write stay pending.
#include "link.h"

#include "clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdio.h>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

struct WriterEnv : testing::Environment {
    void SetUp() override
    {
        InitializeCriticalSection(&g_rxLock);
        CloseHandle(CreateThread(NULL, 0, TxWriterThread, NULL, 0, NULL));
    }
};
const testing::Environment *g_env = testing::AddGlobalTestEnvironment(new WriterEnv);

// The server end of a pipe; the code under test opens the client end as its "port".
struct Pipe {
    char name[64];
    HANDLE server;
    HANDLE ev;

    explicit Pipe(DWORD bufferSize)
    {
        static int serial;
        snprintf(name, sizeof name, "\\\\.\\pipe\\rq47-writer-%lu-%d", GetCurrentProcessId(), ++serial);
        server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                  PIPE_TYPE_BYTE | PIPE_WAIT, 1, bufferSize, bufferSize, 0, NULL);
        ev = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    ~Pipe()
    {
        CloseHandle(server);
        CloseHandle(ev);
    }

    // One read of what has arrived, waiting up to `ms`; empty when nothing came.
    Bytes Read(DWORD ms)
    {
        BYTE buf[65536];
        OVERLAPPED ov = {};
        ov.hEvent = ev;
        DWORD got = 0;
        if (!ReadFile(server, buf, sizeof buf, &got, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING)
                return Bytes();
            if (WaitForSingleObject(ev, ms) != WAIT_OBJECT_0) {
                CancelIoEx(server, &ov);
            }
            GetOverlappedResult(server, &ov, &got, TRUE);
        }
        return Bytes(buf, buf + got);
    }
};

const Bytes kPoll(FRAME_POLL, FRAME_POLL + 7);
const Bytes kQuery(FRAME_QUERY_CHANNEL, FRAME_QUERY_CHANNEL + 7);
const Bytes kSet16 = {0x55, 0xAA, 0x00, 0x05, 0x01, 0x0F, 0xAA, 0x55};

TEST(Writer, WritesExactlyTheQueuedFramesInOrderOnePerWakeUp)
{
    Pipe pipe(4096);
    ASSERT_TRUE(SerialOpen(pipe.name));
    ConnectNamedPipe(pipe.server, NULL);

    ASSERT_EQ(SerialSendFrame(FRAME_POLL, 7), 0);
    ASSERT_EQ(SerialSendFrame(FRAME_QUERY_CHANNEL, 7), 0);
    SerialSendChannel(15);

    std::vector<Bytes> got;
    std::vector<double> at;
    while (got.size() < 3) {
        Bytes b = pipe.Read(1000);
        if (b.empty())
            break;
        got.push_back(b);
        at.push_back(Now());
    }
    ASSERT_EQ(got, (std::vector<Bytes>{kPoll, kQuery, kSet16}));
    // One frame per wake-up: the writer sleeps 100 ms before each.
    EXPECT_GE(at[1] - at[0], 80.0);
    EXPECT_GE(at[2] - at[1], 80.0);
    EXPECT_LE(at[2] - at[1], 250.0);
    EXPECT_TRUE(pipe.Read(300).empty()) << "something was written that was never queued";
    SerialClose();
}

TEST(Writer, FrameTakenWhileNoPortIsOpenIsDroppedUnwritten)
{
    ASSERT_FALSE(SerialIsOpen());
    ASSERT_EQ(SerialSendFrame(FRAME_POLL, 7), 0);
    Sleep(350);                                  // the writer takes and drops it

    Pipe pipe(4096);
    ASSERT_TRUE(SerialOpen(pipe.name));
    ConnectNamedPipe(pipe.server, NULL);
    SerialSendChannel(4);
    EXPECT_EQ(pipe.Read(1000), (Bytes{0x55, 0xAA, 0x00, 0x05, 0x01, 0x04, 0xAA, 0x55}));
    EXPECT_TRUE(pipe.Read(300).empty());
    SerialClose();
}

// A write that nobody drains stays pending past the writer's 1000 ms: it must have been
// cancelled, and its end seen, before the frame's storage and the record go back.
TEST(Writer, PendingWriteIsCancelledAndEndedBeforeItsStorageIsReleased)
{
    Pipe pipe(64);
    HANDLE client = CreateFileA(pipe.name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, NULL);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    ConnectNamedPipe(pipe.server, NULL);

    Bytes frame(256 * 1024, 0x5A);
    HANDLE ev = CreateEventA(NULL, TRUE, FALSE, NULL);
    double t0 = Now();
    TxWrite(client, ev, frame.data(), DWORD(frame.size()));
    double took = Now() - t0;
    EXPECT_GE(took, 950.0);
    EXPECT_LE(took, 1500.0);
    // The write has ended (cancelled): its event is set now, and draining the pipe afterwards
    // must not complete it later into a record that is gone.
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    ResetEvent(ev);
    size_t drained = 0;
    for (Bytes b; !(b = pipe.Read(200)).empty();)
        drained += b.size();
    EXPECT_LT(drained, frame.size()) << "the write was not cancelled";
    EXPECT_EQ(WaitForSingleObject(ev, 100), WAIT_TIMEOUT) << "the write was still pending";
    CloseHandle(ev);
    CloseHandle(client);
}

// Closing while the writer waits on a pending write returns at once, and later frames go to
// the next port.
TEST(Writer, CloseDuringAPendingWriteIsPromptAndTheWriterCarriesOn)
{
    Pipe stuck(64);
    ASSERT_TRUE(SerialOpen(stuck.name));
    ConnectNamedPipe(stuck.server, NULL);
    Bytes big(256 * 1024, 0x11);
    ASSERT_EQ(SerialSendFrame(big.data(), DWORD(big.size())), 0);
    Sleep(400);                                  // the writer is inside its 1000 ms wait now
    double t0 = Now();
    SerialClose();
    double took = Now() - t0;
    EXPECT_LT(took, 100.0);
    printf("close with a write pending took %.1f ms\n", took);

    Pipe next(4096);
    ASSERT_TRUE(SerialOpen(next.name));
    ConnectNamedPipe(next.server, NULL);
    ASSERT_EQ(SerialSendFrame(FRAME_POLL, 7), 0);
    EXPECT_EQ(next.Read(1000), kPoll);
    SerialClose();
}

// A handle lent to the reader or writer is never closed under them: the close waits until it is
// given back (cancelling what it has pending meanwhile), so the value cannot have come to name
// another object while a worker still uses it.
TEST(Close, WaitsUntilABorrowedHandleIsGivenBack)
{
    Pipe pipe(4096);
    ASSERT_TRUE(SerialOpen(pipe.name));
    HANDLE lent = SerialPortBorrow();
    ASSERT_NE(lent, INVALID_HANDLE_VALUE);
    std::atomic<bool> closed(false);
    std::thread closer([&] { SerialClose(); closed = true; });
    Sleep(100);
    EXPECT_FALSE(closed) << "closed while a worker still held the handle";
    DWORD flags;
    EXPECT_TRUE(GetHandleInformation(lent, &flags)) << "the lent handle is gone";
    EXPECT_EQ(SerialPortBorrow(), INVALID_HANDLE_VALUE) << "lent out again while closing";
    SerialPortRelease();
    closer.join();
    EXPECT_TRUE(closed);
    EXPECT_FALSE(SerialIsOpen());
}

} // namespace
