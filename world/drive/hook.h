// What Wine cannot show of a running tool, for the tests only, never the product: the tests load
// rq47hook.dll (world/hook) into the tool, which waits in the tool's own CreateFileA and
// CreateFileW, and keeps what the tool's own DrawTextW calls draw into a dropped list.
//
// A slow serial port: the read/write open of a named port made to take as long as a Bluetooth
// port's does on Windows (seconds, with the opening thread blocked), only for the thread that
// opens. Wine opens ports in its server and cannot be made to take its time.
//
// Delays and counts live in the prefix's registry, under SLOW_OPENS_KEY in HKEY_CURRENT_USER,
// a DWORD value each, read and written by every process of the prefix:
//   "COM3"        the delay of a read/write open of \\.\COM3, in ms (read at every such open);
//   "COM3 begun"  how many such opens of COM3 were begun;
//   "COM3 most"   the most of them in progress at once in one process.
// Names are compared case aside. An open with no access rights (the tool's probe) and any path
// not of the form \\.\NAME are never slowed nor counted.
#ifndef WORLD_HOOK_H
#define WORLD_HOOK_H

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#define SLOW_OPENS_KEY L"Software\\RQ47 test world\\Slow opens"
#define SLOW_BEGUN L" begun"
#define SLOW_MOST L" most"
// What was drawn into a dropped list: a REG_SZ value a text, named "TOP LEFT" after the
// rectangle it was drawn in (the list's client coordinates); a text drawn there again replaces it.
#define DRAWN_KEY L"Software\\RQ47 test world\\Drawn"

// Loads rq47hook.dll (the Linux path in RQ47_HOOK) into the running tool `process` (any handle
// that may query it; a handle of DriveStart will do), with a thread of the tool's started
// there; from then on its opens are slowed as set here, and its drawing kept. True once it is in
// place; false when RQ47_HOOK is not set, the tool could not be reached, or the DLL found none of
// its imports to redirect. Loading it again into the same tool changes nothing.
bool HookInto(HANDLE process);

// Makes every later read/write open of `port` (such as L"COM3") wait `ms` ms before it is made,
// in the thread that opens; 0 makes it fast again. Opens already waiting keep their delay.
void SlowOpenSet(const wchar_t *port, DWORD ms);

// How many read/write opens of `port` were begun, and the most that were in progress at once
// in one process (waiting or being made), since the last SlowOpensClear; 0 when none were.
DWORD SlowOpensBegun(const wchar_t *port);
DWORD SlowOpensMostAtOnce(const wchar_t *port);

// Removes every delay and count, for a test's tear-down: all opens are fast again.
void SlowOpensClear();

// What the tool's own code drew into a dropped list since the last HookDrawnClear: for each
// row, by the top of the rectangle drawn in, the texts drawn in it from left to right.
std::map<int, std::vector<std::wstring>> HookDrawn();
void HookDrawnClear();

#endif
