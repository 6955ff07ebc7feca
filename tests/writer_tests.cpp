// The writer thread against the test world's serial lines: the test reads the far end, so it
// sees exactly what was written, and leaves the far end of COM11 undrained, so that a large
// write there stays pending.
#include "driver.h"
#include "line.h"
#include "link.h"
#include "unix.h"

#include "clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdio.h>
#include <string.h>
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
    // The undrained line still holds what the pending writes left: make it anew for later tests.
    void TearDown() override
    {
        WorldTrigger("unplug-COM11");
        WorldTrigger("replug-COM11");
    }
};
const testing::Environment *g_env = testing::AddGlobalTestEnvironment(new WriterEnv);

// A line whose near end the code under test opens as its port.
struct Line {
    char name[16];
    HANDLE remote;

    Line(const char *nearName, const char *farName) : remote(LineOpen(farName))
    {
        snprintf(name, sizeof name, "\\\\.\\%s", nearName);
    }
    ~Line() { LineClose(remote); }

    // What arrives at the far end within `ms`, up to the first 30 ms of quiet (the writer sends
    // a frame at most every 100 ms); empty when nothing came.
    Bytes Read(DWORD ms)
    {
        Bytes all;
        BYTE buf[4096];
        for (DWORD n = LineRead(remote, buf, sizeof buf, ms); n != 0; n = LineRead(remote, buf, sizeof buf, 30))
            all.insert(all.end(), buf, buf + n);
        return all;
    }
};

// A driver that finishes a cancel some time after CancelIoEx has returned, as Windows allows
// (Wine's lands at once): while g_lateCancel is set, this exe's calls to CancelIoEx go to
// LateCancelIoEx, which leaves the real cancel to a thread of its own 200 ms later.
const DWORD kCancelLagMs = 200;
std::atomic<bool> g_lateCancel(false);
BOOL(WINAPI *g_cancelIoEx)(HANDLE, LPOVERLAPPED);

BOOL WINAPI LateCancelIoEx(HANDLE handle, LPOVERLAPPED ov)
{
    if (!g_lateCancel)
        return g_cancelIoEx(handle, ov);
    std::thread([handle, ov] {
        Sleep(kCancelLagMs);
        g_cancelIoEx(handle, ov);
    }).detach();
    return TRUE;
}

// Points this exe's import of CancelIoEx at LateCancelIoEx, found by name: the address of the
// function as the code sees it may be a stub of the linker's that jumps through the import.
bool InterceptCancelIoEx()
{
    BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleA(NULL));
    IMAGE_NT_HEADERS *nt =
        reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    IMAGE_DATA_DIRECTORY imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (IMAGE_IMPORT_DESCRIPTOR *d =
             reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         d->Name != 0; d++) {
        IMAGE_THUNK_DATA *name = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->OriginalFirstThunk);
        IMAGE_THUNK_DATA *slot = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->FirstThunk);
        for (; name->u1.AddressOfData != 0; name++, slot++) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
                strcmp(reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + name->u1.AddressOfData)->Name,
                       "CancelIoEx") != 0)
                continue;
            if (slot->u1.Function == reinterpret_cast<ULONG_PTR>(LateCancelIoEx))
                return true;    // already done
            g_cancelIoEx = reinterpret_cast<BOOL(WINAPI *)(HANDLE, LPOVERLAPPED)>(slot->u1.Function);
            DWORD was;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &was);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(LateCancelIoEx);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, was, &was);
            return true;
        }
    }
    return false;
}

const Bytes kPoll(FRAME_POLL, FRAME_POLL + 7);
const Bytes kQuery(FRAME_QUERY_CHANNEL, FRAME_QUERY_CHANNEL + 7);
const Bytes kSet16 = {0x55, 0xAA, 0x00, 0x05, 0x01, 0x0F, 0xAA, 0x55};

TEST(Writer, WritesExactlyTheQueuedFramesInOrderOnePerWakeUp)
{
    Line line("COM3", "COM40");
    ASSERT_TRUE(SerialOpen(line.name));

    ASSERT_EQ(SerialSendFrame(FRAME_POLL, 7), 0);
    ASSERT_EQ(SerialSendFrame(FRAME_QUERY_CHANNEL, 7), 0);
    SerialSendChannel(15);

    std::vector<Bytes> got;
    std::vector<double> at;
    while (got.size() < 3) {
        Bytes b = line.Read(1000);
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
    EXPECT_TRUE(line.Read(300).empty()) << "something was written that was never queued";
    SerialClose();
}

TEST(Writer, FrameTakenWhileNoPortIsOpenIsDroppedUnwritten)
{
    ASSERT_FALSE(SerialIsOpen());
    ASSERT_EQ(SerialSendFrame(FRAME_POLL, 7), 0);
    // Three frames of 16 MB after it, whose storage must go back all the same.
    Bytes big(16 << 20, 0x77);
    double before = DriveWorkingSetMb(GetCurrentProcess(), false);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(SerialSendFrame(big.data(), DWORD(big.size())), 0);
    Sleep(550);                                  // the writer takes and drops them
    EXPECT_LT(DriveWorkingSetMb(GetCurrentProcess(), false) - before, 16.0) << "dropped frames kept";

    Line line("COM3", "COM40");
    ASSERT_TRUE(SerialOpen(line.name));
    SerialSendChannel(4);
    EXPECT_EQ(line.Read(1000), (Bytes{0x55, 0xAA, 0x00, 0x05, 0x01, 0x04, 0xAA, 0x55}));
    EXPECT_TRUE(line.Read(300).empty());
    SerialClose();
}

// A write that nobody drains stays pending past the writer's 1000 ms: it must have been
// cancelled, and its end seen, before the frame's storage and the record go back.
TEST(Writer, PendingWriteIsCancelledAndEndedBeforeItsStorageIsReleased)
{
    ASSERT_TRUE(InterceptCancelIoEx());
    Line line("COM11", "COM43");
    ASSERT_TRUE(SerialOpen(line.name));
    HANDLE client = SerialPortBorrow();
    ASSERT_NE(client, INVALID_HANDLE_VALUE);

    Bytes frame(256 * 1024, 0x5A);
    HANDLE ev = CreateEventA(NULL, TRUE, FALSE, NULL);
    g_lateCancel = true;
    double t0 = Now();
    TxWrite(client, ev, frame.data(), DWORD(frame.size()));
    double took = Now() - t0;
    bool ended = WaitForSingleObject(ev, 0) == WAIT_OBJECT_0;
    g_lateCancel = false;
    EXPECT_GE(took, 950.0 + kCancelLagMs);
    EXPECT_LE(took, 1500.0 + kCancelLagMs);
    // The write has ended (cancelled) by the time TxWrite returns, and draining the line
    // afterwards must not complete it later into a record that is gone.
    EXPECT_TRUE(ended) << "TxWrite returned before its cancelled write had ended";
    ResetEvent(ev);
    size_t drained = 0;
    for (Bytes b; !(b = line.Read(200)).empty();)
        drained += b.size();
    EXPECT_LT(drained, frame.size()) << "the write was not cancelled";
    EXPECT_EQ(WaitForSingleObject(ev, 100), WAIT_TIMEOUT) << "the write was still pending";
    CloseHandle(ev);
    SerialPortRelease();
    SerialClose();
}

// Closing while the writer waits on a pending write returns at once, and later frames go to
// the next port.
TEST(Writer, CloseDuringAPendingWriteIsPromptAndTheWriterCarriesOn)
{
    Line stuck("COM11", "COM43");
    ASSERT_TRUE(SerialOpen(stuck.name));
    Bytes big(256 * 1024, 0x11);
    ASSERT_EQ(SerialSendFrame(big.data(), DWORD(big.size())), 0);
    Sleep(400);                                  // the writer is inside its 1000 ms wait now
    double t0 = Now();
    SerialClose();
    double took = Now() - t0;
    // The write's own wait ends after 1000 ms: a close that waits for it takes at least the 600
    // ms left of it.
    EXPECT_LT(took, 300.0);
    printf("close with a write pending took %.1f ms\n", took);

    Line next("COM3", "COM40");
    ASSERT_TRUE(SerialOpen(next.name));
    ASSERT_EQ(SerialSendFrame(FRAME_POLL, 7), 0);
    EXPECT_EQ(next.Read(1000), kPoll);
    SerialClose();
}

// A handle lent to the reader or writer is never closed under them: the close waits until it is
// given back (cancelling what it has pending meanwhile), so the value cannot have come to name
// another object while a worker still uses it.
TEST(Close, WaitsUntilABorrowedHandleIsGivenBack)
{
    Line line("COM3", "COM40");
    ASSERT_TRUE(SerialOpen(line.name));
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
