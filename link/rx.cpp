// Receive assembly. The reader thread appends received bytes; the parser thread looks at them
// every millisecond and hands a frame on when the buffer holds exactly one: starting with 55 AA
// at its first byte and ending with AA 55 at the last byte received so far. Anything else is
// thrown away and the transmitter's next report is taken afresh.
#include "link.h"

#include <atomic>

// Written by the reader (RxAppend) and the parser (emptying), both under g_rxLock. The parser
// reads the held bytes without the lock: an append only adds bytes after g_rxLen.
static BYTE g_rxBuf[RX_BUF_SIZE];
static std::atomic<DWORD> g_rxLen(0);
CRITICAL_SECTION g_rxLock;

void RxAppend(const BYTE *bytes, DWORD count)
{
    EnterCriticalSection(&g_rxLock);
    DWORD len = g_rxLen.load(std::memory_order_relaxed);
    for (DWORD i = 0; i < count && len < RX_BUF_SIZE; i++)
        g_rxBuf[len++] = bytes[i];
    g_rxLen.store(len, std::memory_order_release);
    // Counted under the lock: bytes that come while a version report is handed on count after it.
    SerialCountAdd(COUNT_BYTES_IN, count);
    LeaveCriticalSection(&g_rxLock);
}

DWORD RxPending()
{
    return g_rxLen.load(std::memory_order_acquire);
}

// Empties the buffer under the lock, so that an append running at the same moment is either
// wholly kept out or wholly thrown away, never half of each.
static void RxDiscard()
{
    EnterCriticalSection(&g_rxLock);
    g_rxLen.store(0, std::memory_order_release);
    LeaveCriticalSection(&g_rxLock);
}

// Hands on the frame held in the first `len` bytes, then empties the buffer. Bytes that came
// after the frame go with it: one frame per buffer.
static void RxDispatch(DWORD len)
{
    EnterCriticalSection(&g_rxLock);
    switch (g_rxBuf[3]) {
    case CMD_VERSION:
        // The text ends at its zero byte, or at the end mark when the transmitter sent none:
        // overwrite the end mark's first byte, which is thrown away with the frame anyway.
        g_rxBuf[len - 2] = 0;
        OnVersionReport(reinterpret_cast<const char *>(g_rxBuf + 5));
        break;
    case CMD_CHANNEL:
        SerialCountAdd(COUNT_REPORTS_IN, 1);
        OnChannelReport(g_rxBuf[5]);
        break;
    case CMD_SET_RESULT:
        SerialCountAdd(COUNT_REPORTS_IN, 1);
        OnConfigResult(g_rxBuf[5]);
        break;
    case CMD_POLL:
    case CMD_QUERY_CHANNEL:
    case CMD_SET_CHANNEL:
        // The transmitter never sends these: our own requests, come back over the line.
        SerialCountAdd(COUNT_REQUESTS_IN, 1);
        break;
    default:
        break;
    }
    g_rxLen.store(0, std::memory_order_release);
    LeaveCriticalSection(&g_rxLock);
}

RxLookResult RxLook(DWORD *idle, bool afterSleep)
{
    DWORD len = g_rxLen.load(std::memory_order_acquire);
    if (afterSleep) {
        if (len == 0)
            return RX_EMPTY;
        // The 50th look empties the buffer whatever it holds by now, even a fresh 7 bytes.
        if (++*idle >= RX_IDLE_LOOKS) {
            *idle = 0;
            RxDiscard();
            return RX_DISCARDED;
        }
    }
    if (len < FRAME_MIN_LEN)
        return len ? RX_WAITING : RX_EMPTY;

    *idle = 0;
    if (g_rxBuf[0] != 0x55 || g_rxBuf[1] != 0xAA || g_rxBuf[len - 2] != 0xAA ||
        g_rxBuf[len - 1] != 0x55) {
        RxDiscard();
        return RX_DISCARDED;
    }
    RxDispatch(len);
    return RX_DISPATCHED;
}

DWORD WINAPI RxParserThread(LPVOID)
{
    DWORD idle = 0;
    bool afterSleep = false;
    for (;;) {
        if (RxLook(&idle, afterSleep) == RX_DISPATCHED) {
            afterSleep = false;
            continue;
        }
        Sleep(1);
        afterSleep = true;
    }
}
