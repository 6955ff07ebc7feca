// Plain access to one end of a serial line for the transmitter simulator and the tests: the
// far end of the line the configuration tool talks over.
#ifndef SIM_LINE_H
#define SIM_LINE_H

#include <windows.h>

// Opens COMn (a name such as "COM40") at 115200 8N1 for overlapped use; INVALID_HANDLE_VALUE
// when it cannot be opened.
HANDLE LineOpen(const char *name);

// Writes all `count` bytes, waiting up to 2 s; false on error or time-out.
bool LineWrite(HANDLE line, const void *bytes, DWORD count);

// Reads what arrives within `timeoutMs`: returns as soon as at least one byte is there, with
// everything waiting (at most `capacity`); 0 when nothing came in time or on error.
DWORD LineRead(HANDLE line, BYTE *buffer, DWORD capacity, DWORD timeoutMs);

void LineClose(HANDLE line);

#endif
