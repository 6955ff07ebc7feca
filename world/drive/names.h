// The port names of the prefix (the object links \??\COMn to the serial devices behind them),
// made to go and come back as a pulled adapter's name does on Windows. Wine keeps a name's link
// after its line is gone, so the test world removes it itself. For the tests and the benchmark,
// never the product. Through ntdll, as Windows' own DefineDosDevice does it: Wine's overruns a
// buffer on long names, and in the 64-bit build fails already on COM11 and COM12 (errors 2, 183).
#ifndef WORLD_NAMES_H
#define WORLD_NAMES_H

#include <windows.h>

#include <string>

// What port `name` (such as COM12) stands for, such as \Device\Serial12; "" when it has no link.
std::wstring NameTarget(const wchar_t *name);

// Removes port `name`'s link: from now on no open finds the port. False when it had none.
bool NameRemove(const wchar_t *name);

// Makes port `name` a link to `target` for the rest of the run, or until NameRemove. False when
// it could not be made (a link of that name is there already).
bool NameMake(const wchar_t *name, const std::wstring &target);

// A test world's port pulled out as an adapter is: its line ended (the switchboard's unplug-NAME)
// and its name removed; and plugged back in: its line made anew and its name made again, to the
// `target` NameTarget gave before. False when either step failed.
bool PortPull(const wchar_t *name);
bool PortPlug(const wchar_t *name, const std::wstring &target);

#endif
