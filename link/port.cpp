// Serial port access. The user-interface thread makes a port the open port and closes it; the
// reader thread (here) and the writer thread (tx.cpp) borrow the handle for each I/O step. Closing takes the
// handle out of reach first, cancels what the borrowers have pending and closes it only once
// both have given it back, so no thread ever passes a closed (and perhaps reused) handle value
// to the system. Borrowers never hold the port while waiting for the receive lock, so the
// user-interface thread never waits, even indirectly, for the parser.
//
// Some drivers never finish a cancelled request (a USB adapter pulled out), so the close waits
// a bounded time: after that the port counts as closed and the borrower still out closes the
// handle when it gives it back. Until then no port can be opened.
//
// Every open is made by the opener, in a thread of its own: on Windows an open can take seconds
// (a Bluetooth port connects to its device when it is opened), and the window must not wait
// for it. The opener hands what it opened to the user-interface thread, which makes it the open
// port, or closes it at once when it is no longer wanted.
#include "link.h"

#include <atomic>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

// Written by Publish and SerialClose (user-interface thread), read by SerialPortBorrow; all
// under g_portLock.
static HANDLE g_hPort = INVALID_HANDLE_VALUE;
static LONG g_portBorrowers;                                     // under g_portLock
static SRWLOCK g_portLock = SRWLOCK_INIT;
static CONDITION_VARIABLE g_portReturned = CONDITION_VARIABLE_INIT; // a borrower gave it back
// A closed port whose borrower has not given it back yet; closed by the last
// SerialPortRelease. Under g_portLock.
static HANDLE g_hOrphan = INVALID_HANDLE_VALUE;

// The opens of the opener: each made by a thread of its own, which ends with it, so that an
// open given up while its driver takes its time holds up no open of another port. At most one
// is wanted at a time (g_wanted); the others were given up, and their threads close what they
// open. A slot is free again only once nothing of its open is left: its port taken, or closed.
// All under g_openLock; g_openEnded wakes whoever waits for an open to end or a slot to free.
struct OpenSlot {
    bool used;              // a thread has it, or its port waits to be taken
    bool wanted;            // false: given up, its thread lets go of what it opens
    bool opening;           // in the open, or holding what it opened: the port is busy
    bool done;              // ended, with `port` or `error`
    char path[MAX_PATH];
    HANDLE port;
    DWORD error;
};
static OpenSlot g_opens[OPENS_MAX];
static int g_wanted = -1;                                        // its slot; -1: none
static SRWLOCK g_openLock = SRWLOCK_INIT;
static CONDITION_VARIABLE g_openEnded = CONDITION_VARIABLE_INIT;

// The reader thread's own read buffer and the bytes of the read in progress.
static BYTE g_rxRaw[2 * RX_BUF_SIZE];
static DWORD g_rxRawCount;

// Added to by the reader, parser and writer threads, read by the user-interface thread; atomic.
static std::atomic<DWORD> g_counts[COUNT_KINDS];
// Written by the writer thread, and by SerialOpen while no writer holds a port; atomic.
static std::atomic<DWORD> g_refusedRun;

void SerialCountAdd(SerialCount what, DWORD n)
{
    g_counts[what].fetch_add(n, std::memory_order_relaxed);
}

void SerialReadCounts(DWORD counts[COUNT_KINDS])
{
    for (int i = 0; i < COUNT_KINDS; i++)
        counts[i] = g_counts[i].load(std::memory_order_relaxed);
}

void SerialCountWrite(bool ok, DWORD done, DWORD length)
{
    if (ok && done == length)
        g_refusedRun.store(0, std::memory_order_relaxed);
    else
        g_refusedRun.fetch_add(1, std::memory_order_relaxed);
}

DWORD SerialRefusedRun()
{
    return g_refusedRun.load(std::memory_order_relaxed);
}

void SerialClearErrors(HANDLE port)
{
    // What a wrong baud rate or a bad line gives on a real port (a pty reports none).
    DWORD errors = 0;
    if (ClearCommError(port, &errors, NULL) &&
        (errors & (CE_FRAME | CE_RXPARITY | CE_BREAK | CE_OVERRUN | CE_RXOVER)) != 0)
        SerialCountAdd(COUNT_LINE_ERRORS, 1);
}

HANDLE SerialPortBorrow()
{
    AcquireSRWLockExclusive(&g_portLock);
    HANDLE port = g_hPort;
    if (port != INVALID_HANDLE_VALUE)
        g_portBorrowers++;
    ReleaseSRWLockExclusive(&g_portLock);
    return port;
}

void SerialPortRelease()
{
    AcquireSRWLockExclusive(&g_portLock);
    LONG left = --g_portBorrowers;
    HANDLE orphan = left == 0 ? g_hOrphan : INVALID_HANDLE_VALUE;
    ReleaseSRWLockExclusive(&g_portLock);
    if (orphan != INVALID_HANDLE_VALUE) {
        // Nobody can borrow an orphan, so nobody else touches it: close it, then allow opens.
        CloseHandle(orphan);
        AcquireSRWLockExclusive(&g_portLock);
        g_hOrphan = INVALID_HANDLE_VALUE;
        ReleaseSRWLockExclusive(&g_portLock);
    }
    WakeAllConditionVariable(&g_portReturned);
}

bool SerialIsOpen()
{
    AcquireSRWLockShared(&g_portLock);
    bool open = g_hPort != INVALID_HANDLE_VALUE;
    ReleaseSRWLockShared(&g_portLock);
    return open;
}

// Whether the port at `path` exists: an open with no access rights asks that without
// disturbing a program that has the port open.
static bool PortAnswers(const WCHAR *path)
{
    HANDLE h = CreateFileW(path, 0, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

DWORD SerialProbePorts()
{
    DWORD mask = 0;
    for (int n = 1; n <= 32; n++) {
        WCHAR path[16];
        swprintf(path, ARRAYSIZE(path), L"\\\\.\\COM%d", n);
        if (PortAnswers(path))
            mask |= 1u << (n - 1);
    }
    return mask;
}

int SerialMappedPorts(char names[][PORT_NAME_MAX + 1], int max)
{
    // One value a port: its name is the driver's device, its data the port's name. Reading it
    // touches no driver; only the names kept are opened, as the probe does.
    HKEY map;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &map) != ERROR_SUCCESS)
        return 0;
    int count = 0;
    // Room for the longest name the field holds and its zero, and one character more for a
    // terminator, as the data need not end in one. A longer name fails with ERROR_MORE_DATA or
    // fills the room, and is passed over.
    WCHAR device[256], name[PORT_NAME_MAX + 2];
    const DWORD room = (PORT_NAME_MAX + 1) * sizeof(WCHAR);
    DWORD deviceLen = ARRAYSIZE(device), size = room, type;
    for (DWORD i = 0; count < max; i++, deviceLen = ARRAYSIZE(device), size = room) {
        LONG result = RegEnumValueW(map, i, device, &deviceLen, NULL, &type,
                                    reinterpret_cast<BYTE *>(name), &size);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        name[size / sizeof(WCHAR)] = 0;
        size_t length = wcslen(name);
        if (length == 0 || length > PORT_NAME_MAX)
            continue;
        WCHAR path[sizeof "\\\\.\\" + PORT_NAME_MAX];
        swprintf(path, ARRAYSIZE(path), L"\\\\.\\%ls", name);
        // The port field reads PORT_NAME_MAX bytes of GBK: a longer name could not be opened.
        if (WideCharToMultiByte(936, 0, name, -1, names[count], PORT_NAME_MAX + 1, NULL, NULL) != 0 &&
            PortAnswers(path))
            count++;
    }
    RegCloseKey(map);
    return count;
}

// No port, with `error` as the thread's last error, for the opener's callers.
static HANDLE OpenFails(DWORD error)
{
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

// Opens and configures the port at `path` and hands it back unpublished; INVALID_HANDLE_VALUE
// with the reason as the thread's last error. Shares nothing but a look at a port still
// closing, so that the opener's threads may call it.
static HANDLE OpenConfigured(const char *path)
{
    AcquireSRWLockShared(&g_portLock);
    bool closing = g_hOrphan != INVALID_HANDLE_VALUE;
    ReleaseSRWLockShared(&g_portLock);
    if (closing)   // the last port's driver still holds a borrower, perhaps the reader
        return OpenFails(SERIAL_ERROR_CLOSING);

    // The name is the port field's GBK text: the system's code page may be another one.
    WCHAR wide[MAX_PATH];
    if (MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, path, -1, wide, MAX_PATH) == 0)
        return OpenFails(ERROR_INVALID_NAME);
    HANDLE port = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE)
        return port;   // the system's error stands

    // Failures of these go unnoticed: the port counts as open, as with a driver that ignores them.
    SetCommMask(port, EV_RXCHAR);
    SetupComm(port, 2048, 2048);
    // Reads return at once with what is waiting; a write may take 100 ms a byte plus 500 ms.
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 100, 500};
    SetCommTimeouts(port, &timeouts);
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    // A handle without a line state is no serial port (a typed file name, NUL, a drive): hand
    // it back before anything is written to it.
    if (!GetCommState(port, &dcb)) {
        CloseHandle(port);
        return OpenFails(SERIAL_ERROR_NOT_A_PORT);
    }
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // The driver keeps whatever the last program set. Frames are binary and the cable has three
    // wires: no flow control, no byte replaced or dropped, no read stopped by a line error.
    // DTR and RTS stay as found, since some converters draw their power from them.
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    SetCommState(port, &dcb);
    PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
    return port;
}

// Makes a configured `port` the open port, closing the one open before, if any. Only a
// configured port is handed to the reader and writer, with no refusals of the last.
static void Publish(HANDLE port)
{
    SerialClose();
    g_refusedRun.store(0, std::memory_order_relaxed);
    AcquireSRWLockExclusive(&g_portLock);
    g_hPort = port;
    ReleaseSRWLockExclusive(&g_portLock);
}

bool SerialOpen(const char *path)
{
    SerialClose();
    if (!SerialOpenLater(path))
        return false;
    DWORD error;
    int opened;
    while ((opened = SerialOpenedLater(&error)) < 0)
        SerialOpenWait(INFINITE);
    SetLastError(error);
    return opened == 1;
}

// Whether another open of the port at `path` holds the port: in its open, or with what it
// opened not yet taken or closed. Under g_openLock.
static bool PortBusy(int slot)
{
    for (int i = 0; i < OPENS_MAX; i++) {
        if (i != slot && g_opens[i].used && g_opens[i].opening && _stricmp(g_opens[i].path, g_opens[slot].path) == 0)
            return true;
    }
    return false;
}

// One open: waits for any other open of its port to end (never two at once: Windows gives a
// port to one handle), then makes it, unless it was given up meanwhile.
static DWORD WINAPI OpenerThread(LPVOID arg)
{
    OpenSlot *slot = &g_opens[reinterpret_cast<INT_PTR>(arg)];
    AcquireSRWLockExclusive(&g_openLock);
    while (slot->wanted && PortBusy(int(slot - g_opens)))
        SleepConditionVariableSRW(&g_openEnded, &g_openLock, INFINITE, 0);
    bool wanted = slot->wanted;
    slot->opening = wanted;
    char path[MAX_PATH];
    memcpy(path, slot->path, sizeof path);
    ReleaseSRWLockExclusive(&g_openLock);

    HANDLE port = wanted ? OpenConfigured(path) : INVALID_HANDLE_VALUE;   // may take seconds
    DWORD error = GetLastError();

    AcquireSRWLockExclusive(&g_openLock);
    wanted = slot->wanted;
    if (wanted) {
        slot->done = true;
        slot->port = port;
        slot->error = error;
    } else {
        // Given up: closed before the slot is free, so no later open finds it busy.
        if (port != INVALID_HANDLE_VALUE)
            CloseHandle(port);
        slot->used = slot->opening = false;
    }
    ReleaseSRWLockExclusive(&g_openLock);
    WakeAllConditionVariable(&g_openEnded);
    if (wanted)
        OnOpenDone();
    return 0;
}

bool SerialOpenLater(const char *path)
{
    if (path == NULL || strlen(path) >= MAX_PATH) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    AcquireSRWLockExclusive(&g_openLock);
    int free = -1;
    for (int i = 0; i < OPENS_MAX && free < 0; i++) {
        if (!g_opens[i].used)
            free = i;
    }
    bool asked = g_wanted < 0 && free >= 0;
    if (asked) {
        OpenSlot *slot = &g_opens[free];
        snprintf(slot->path, sizeof slot->path, "%s", path);
        slot->used = slot->wanted = true;
        slot->opening = slot->done = false;
        slot->port = INVALID_HANDLE_VALUE;
        HANDLE thread = CreateThread(NULL, 0, OpenerThread, reinterpret_cast<LPVOID>(INT_PTR(free)), 0, NULL);
        asked = thread != NULL;
        if (asked) {
            CloseHandle(thread);
            g_wanted = free;
        } else {
            slot->used = false;
        }
    }
    ReleaseSRWLockExclusive(&g_openLock);
    if (!asked)
        SetLastError(ERROR_BUSY);   // an open under way, or the slots taken by given-up ones
    return asked;
}

void SerialOpenWait(DWORD ms)
{
    DWORD start = GetTickCount();
    AcquireSRWLockExclusive(&g_openLock);
    for (DWORD waited = 0; g_wanted >= 0 && !g_opens[g_wanted].done && waited < ms;
         waited = GetTickCount() - start)
        SleepConditionVariableSRW(&g_openEnded, &g_openLock, ms == INFINITE ? INFINITE : ms - waited, 0);
    ReleaseSRWLockExclusive(&g_openLock);
}

int SerialOpenedLater(DWORD *error)
{
    AcquireSRWLockExclusive(&g_openLock);
    OpenSlot *slot = g_wanted >= 0 && g_opens[g_wanted].done ? &g_opens[g_wanted] : NULL;
    HANDLE port = INVALID_HANDLE_VALUE;
    if (slot != NULL) {
        port = slot->port;
        *error = slot->error;
        // Published before the slot is free: the port stays busy all along.
        if (port != INVALID_HANDLE_VALUE)
            Publish(port);
        slot->used = slot->opening = false;
        g_wanted = -1;
    }
    ReleaseSRWLockExclusive(&g_openLock);
    WakeAllConditionVariable(&g_openEnded);
    if (slot == NULL)
        return -1;
    return port != INVALID_HANDLE_VALUE ? 1 : 0;
}

void SerialOpenLaterCancel()
{
    AcquireSRWLockExclusive(&g_openLock);
    if (g_wanted >= 0) {
        OpenSlot *slot = &g_opens[g_wanted];
        slot->wanted = false;
        if (slot->done) {
            // Nobody else ever had it; closed before the slot is free.
            if (slot->port != INVALID_HANDLE_VALUE)
                CloseHandle(slot->port);
            slot->used = slot->opening = false;
        }
        g_wanted = -1;
    }
    ReleaseSRWLockExclusive(&g_openLock);
    WakeAllConditionVariable(&g_openEnded);
}

int SerialOpensUnderWay()
{
    AcquireSRWLockShared(&g_openLock);
    int n = 0;
    for (const OpenSlot &slot : g_opens)
        n += slot.used;
    ReleaseSRWLockShared(&g_openLock);
    return n;
}

void SerialClose()
{
    AcquireSRWLockExclusive(&g_portLock);
    HANDLE port = g_hPort;
    g_hPort = INVALID_HANDLE_VALUE;     // no new borrowers from here on
    ReleaseSRWLockExclusive(&g_portLock);
    if (port == INVALID_HANDLE_VALUE)
        return;

    SetCommMask(port, 0);               // ends a pending WaitCommEvent
    PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    // Under Wine the purge leaves a pending read running, and a borrower may only now be
    // issuing its call, so cancel again until both borrowers are out, or the driver has had
    // its time.
    DWORD start = GetTickCount();
    for (;;) {
        CancelIoEx(port, NULL);
        AcquireSRWLockExclusive(&g_portLock);
        if (g_portBorrowers)
            SleepConditionVariableSRW(&g_portReturned, &g_portLock, 5, 0);
        LONG left = g_portBorrowers;
        bool giveUp = left != 0 && GetTickCount() - start >= CLOSE_WAIT_MS;
        if (giveUp)
            g_hOrphan = port;           // the last borrower closes it
        ReleaseSRWLockExclusive(&g_portLock);
        if (giveUp)
            return;
        if (left == 0)
            break;
    }
    CloseHandle(port);
}

// One pass of the reader: waits for the received-byte event (unless `wait` is false), reads
// what is waiting and hands it on. Returns the number of bytes read, 0 after an error or an
// empty read, -1 when no port is open.
static long RxReadPass(HANDLE ev, bool wait)
{
    OVERLAPPED ov;
    DWORD done = 0;
    HANDLE port;

    if (wait) {
        port = SerialPortBorrow();
        if (port == INVALID_HANDLE_VALUE)
            return -1;
        ZeroMemory(&ov, sizeof ov);
        ov.hEvent = ev;
        DWORD mask = 0;
        bool ok = WaitCommEvent(port, &mask, &ov) || GetLastError() == ERROR_IO_PENDING;
        if (ok)
            GetOverlappedResult(port, &ov, &done, TRUE); // a cancelled or empty wait reads too
        else
            SerialClearErrors(port);                    // a line error may hold up every call
        SerialPortRelease();
        if (!ok)
            return 0;
    }

    port = SerialPortBorrow();
    if (port == INVALID_HANDLE_VALUE)
        return -1;
    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = ev;
    done = 0;
    if (!ReadFile(port, g_rxRaw + g_rxRawCount, RX_BUF_SIZE, &done, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            done = 0;
            SerialClearErrors(port);
        } else if (!GetOverlappedResult(port, &ov, &done, TRUE)) {
            SerialClearErrors(port);            // what came before the error still counts
        }
    }
    SerialPortRelease();

    // The port is given back before the append: the append may wait for the parser, which may
    // be waiting for the user-interface thread, which may be closing the port.
    g_rxRawCount += done;
    if (g_rxRawCount != 0) {
        RxAppend(g_rxRaw, g_rxRawCount);
        g_rxRawCount = 0;
    }
    return long(done);
}

DWORD WINAPI RxReaderThread(LPVOID)
{
    HANDLE ev = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD rest = 1;
    bool wait = true;
    for (;;) {
        long got = RxReadPass(ev, wait);
        if (got < 0) {
            Sleep(1);                   // no port: idle
            rest = 1;
        } else if (got == 0) {
            // Nothing read: an error, or a wait that ended at once. A line that has gone (an
            // unplugged adapter) fails every call at once, so rest longer each time, up to
            // 64 ms, rather than spin on it (under Wine each failed wait costs a few ms of CPU).
            // A pass that reads anything starts the rest over, so a live line keeps it short.
            Sleep(rest);
            rest = rest < 64 ? rest * 2 : 64;
        } else {
            rest = 1;
        }
        // A full read may have left bytes behind that raise no new event: read on at once.
        wait = got < RX_BUF_SIZE;
    }
}
