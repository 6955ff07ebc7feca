#include "line.h"

#include <stdio.h>

HANDLE LineOpen(const char *name)
{
    char path[64];
    snprintf(path, sizeof path, "\\\\.\\%s", name);   // the prefix also reaches COM10 and up
    HANDLE line = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, NULL);
    if (line == INVALID_HANDLE_VALUE)
        return line;
    // The line state is set here on its own, not with the tool's port code: this is the other
    // end, and sharing that code would let a fault in it hide behind its twin.
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    GetCommState(line, &dcb);
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    SetCommState(line, &dcb);
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 2000};
    SetCommTimeouts(line, &timeouts);
    PurgeComm(line, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return line;
}

// Runs one overlapped call to its end, waiting at most `ms`; a call still running then is
// cancelled and its end awaited, so `ov` and the buffer are free again on return.
static DWORD Finish(HANDLE line, BOOL started, OVERLAPPED *ov, DWORD ms)
{
    DWORD done = 0;
    if (!started) {
        if (GetLastError() != ERROR_IO_PENDING)
            return 0;
        if (WaitForSingleObject(ov->hEvent, ms) != WAIT_OBJECT_0)
            CancelIoEx(line, ov);
    }
    if (!GetOverlappedResult(line, ov, &done, TRUE) && done == 0)
        return 0;
    return done;
}

bool LineWrite(HANDLE line, const void *bytes, DWORD count)
{
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    BOOL started = WriteFile(line, bytes, count, NULL, &ov);
    DWORD done = Finish(line, started, &ov, 2000);
    CloseHandle(ov.hEvent);
    return done == count;
}

DWORD LineRead(HANDLE line, BYTE *buffer, DWORD capacity, DWORD timeoutMs)
{
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD start = GetTickCount(), got = 0;
    for (;;) {
        DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs)
            break;
        // Under Wine a read with nothing waiting stays pending; Windows returns 0 bytes at once.
        BOOL started = ReadFile(line, buffer, capacity, NULL, &ov);
        got = Finish(line, started, &ov, timeoutMs - spent);
        if (got != 0)
            break;
        Sleep(1);
    }
    CloseHandle(ov.hEvent);
    return got;
}

void LineClose(HANDLE line)
{
    if (line != INVALID_HANDLE_VALUE)
        CloseHandle(line);
}
