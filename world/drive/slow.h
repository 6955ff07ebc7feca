// A slow serial port for the tests: the read/write open of a named port made to take as long as
// a Bluetooth port's does on Windows (seconds, with the opening thread blocked), in a running
// tool and only for the thread that opens. Wine opens ports in its server and cannot be made
// to take its time, so the tests load slowopen.dll (world/slow) into the tool, which waits in
// the tool's own CreateFileA and CreateFileW. For the tests only, never the product.
//
// Delays and counts live in the prefix's registry, under SLOW_OPENS_KEY in HKEY_CURRENT_USER,
// a DWORD value each, read and written by every process of the prefix:
//   "COM3"        the delay of a read/write open of \\.\COM3, in ms (read at every such open);
//   "COM3 begun"  how many such opens of COM3 were begun;
//   "COM3 most"   the most of them in progress at once in one process.
// Names are compared case aside. An open with no access rights (the tool's probe) and any path
// not of the form \\.\NAME are never slowed nor counted.
#ifndef WORLD_SLOW_H
#define WORLD_SLOW_H

#include <windows.h>

#define SLOW_OPENS_KEY L"Software\\RQ47 test world\\Slow opens"
#define SLOW_BEGUN L" begun"
#define SLOW_MOST L" most"

// Loads slowopen.dll (the Linux path in RQ47_SLOW) into the running tool `process` (any handle
// that may query it; a handle of DriveStart will do), with a thread of the tool's started
// there; from then on its opens are slowed as set here. True once it is in place; false when
// RQ47_SLOW is not set, the tool could not be reached, or the DLL found no CreateFile import
// to redirect. Loading it again into the same tool changes nothing.
bool SlowOpensInto(HANDLE process);

// Makes every later read/write open of `port` (such as L"COM3") wait `ms` ms before it is made,
// in the thread that opens; 0 makes it fast again. Opens already waiting keep their delay.
void SlowOpenSet(const wchar_t *port, DWORD ms);

// How many read/write opens of `port` were begun, and the most that were in progress at once
// in one process (waiting or being made), since the last SlowOpensClear; 0 when none were.
DWORD SlowOpensBegun(const wchar_t *port);
DWORD SlowOpensMostAtOnce(const wchar_t *port);

// Removes every delay and count, for a test's tear-down: all opens are fast again.
void SlowOpensClear();

#endif
