// Transmit queue and writer. The user-interface thread (polls, set-channel requests) and the
// parser thread (channel queries) queue frames; the writer thread takes at most one every
// 100 ms and writes it, so neither producer ever waits on the port.
#include "link.h"

#include <atomic>
#include <stdlib.h>
#include <string.h>

const BYTE FRAME_POLL[FRAME_MIN_LEN] = {0x55, 0xAA, 0x00, CMD_POLL, 0x00, 0xAA, 0x55};
const BYTE FRAME_QUERY_CHANNEL[FRAME_MIN_LEN] = {0x55, 0xAA, 0x00, CMD_QUERY_CHANNEL, 0x00, 0xAA, 0x55};

struct TxSlot {
    BYTE *frame;   // heap copy, owned by the queue until the writer takes it
    DWORD length;
};

// A slot is filled by a producer before g_txWrite moves onto it (release), and emptied by the
// writer before g_txRead moves onto it (release). Empty when the two are equal; full when the
// slot after g_txWrite is g_txRead.
static TxSlot g_txSlots[TX_SLOTS];
static std::atomic<DWORD> g_txWrite(0); // written by producers under g_txLock
static std::atomic<DWORD> g_txRead(0);  // written by the writer thread only
// Keeps two producers from filling the same slot; never held while waiting for anything else.
static SRWLOCK g_txLock = SRWLOCK_INIT;

static DWORD TxNext(DWORD i)
{
    return i + 1 == TX_SLOTS ? 0 : i + 1;
}

int SerialSendFrame(const BYTE *bytes, DWORD length)
{
    int result = -1;
    AcquireSRWLockExclusive(&g_txLock);
    DWORD n = TxNext(g_txWrite.load(std::memory_order_relaxed));
    if (n != g_txRead.load(std::memory_order_acquire)) {
        BYTE *copy = static_cast<BYTE *>(malloc(length ? length : 1));
        if (copy == NULL) {
            result = -2;
        } else {
            memcpy(copy, bytes, length);
            g_txSlots[n].frame = copy;
            g_txSlots[n].length = length;
            g_txWrite.store(n, std::memory_order_release);
            result = 0;
        }
    }
    ReleaseSRWLockExclusive(&g_txLock);
    return result;
}

void SerialSendChannel(int index)
{
    const BYTE frame[8] = {0x55, 0xAA, 0x00, CMD_SET_CHANNEL, 0x01, static_cast<BYTE>(index), 0xAA, 0x55};
    SerialSendFrame(frame, sizeof frame);
}

bool TxTake(BYTE **frame, DWORD *length)
{
    DWORD r = g_txRead.load(std::memory_order_relaxed);
    if (r == g_txWrite.load(std::memory_order_acquire))
        return false;
    DWORD n = TxNext(r);
    *frame = g_txSlots[n].frame;
    *length = g_txSlots[n].length;
    g_txSlots[n].frame = NULL;
    g_txRead.store(n, std::memory_order_release);
    return true;
}

void TxWrite(HANDLE port, HANDLE ev, const BYTE *frame, DWORD length)
{
    SerialClearErrors(port);

    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = ev;
    DWORD done = 0;
    bool ok = WriteFile(port, frame, length, &done, &ov) != FALSE;
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        // The port's write time-outs allow more than our wait. The system still owns `frame`
        // and `ov` until the write has ended, so cancel it and wait for the cancellation to land.
        if (WaitForSingleObject(ev, TX_WRITE_WAIT_MS) != WAIT_OBJECT_0)
            CancelIoEx(port, &ov);
        ok = GetOverlappedResult(port, &ov, &done, TRUE) != FALSE;
    }
    SerialCountWrite(ok, done, length);
}

DWORD WINAPI TxWriterThread(LPVOID)
{
    HANDLE ev = CreateEventA(NULL, TRUE, FALSE, NULL);
    for (;;) {
        Sleep(TX_PERIOD_MS);
        BYTE *frame;
        DWORD length;
        if (!TxTake(&frame, &length))
            continue;
        HANDLE port = SerialPortBorrow();
        if (port != INVALID_HANDLE_VALUE) {
            TxWrite(port, ev, frame, length);
            SerialPortRelease();
        }
        free(frame);
    }
}

void SerialInit()
{
    InitializeCriticalSection(&g_rxLock);
    g_txRead.store(0);
    g_txWrite.store(0);
    CloseHandle(CreateThread(NULL, 0, RxParserThread, NULL, 0, NULL));
    CloseHandle(CreateThread(NULL, 0, TxWriterThread, NULL, 0, NULL));
}
