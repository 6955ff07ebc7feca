// The Linux side of the test world, as seen from a test running under Wine: paths through the
// Z: drive, and short shell commands for what Win32 cannot see (which process holds a pty).
#ifndef WORLD_UNIX_H
#define WORLD_UNIX_H

#include <windows.h>

#include <set>
#include <string>

// "/a/b" as Wine's Z:\a\b.
std::string UnixPath(const std::string &path);

// The whole of a file (a Windows path); "" when it cannot be read.
std::string ReadAll(const std::string &path);

// The test world's folder (TESTENV_DIR), or "" outside ctest.
std::string TestEnvDir();

// The link the test world keeps for its port `name` (such as COM3), in its folder.
std::string WorldPort(const char *name);

// Starts `command` with bash on the Linux side and does not wait for it. It gets nothing of
// this process: standard input, output and error are /dev/null (redirect inside `command` for
// more), and no other descriptor goes along. No double quotes in `command`: it travels inside
// a quoted Windows command line. False when it could not be started.
bool UnixStart(const std::string &command);

// Runs `command` (as UnixStart) and returns what it printed (at most a few KB); "" when it did
// not finish within 10 s.
std::string UnixRun(const std::string &command);

// Starts the program that `command` runs (as UnixStart; such as "wine 'Z:\a.exe'") and returns
// its Linux process id, or 0 when it could not be started.
unsigned long UnixStartProgram(const std::string &command);

// Waits up to `timeoutMs` for Linux process `pid` to be gone (ended, or a zombie): true if it
// went; otherwise ends it from the Linux side (SIGKILL) and returns false.
bool UnixGone(unsigned long pid, DWORD timeoutMs);

// The test world's programs (rq47cfg.exe, rq47sim.exe) still running from this Wine prefix,
// given 2 s to finish ending and then ended from the Linux side: one line for each, such as
// "rq47cfg.exe (Linux process 1234)"; "" when there were none.
std::string UnixEndSurvivors();

// Asks the test world's switchboard to carry out `request` (such as "unplug-COM12" or
// "replug-COM12") and waits up to 2 s for it to be done; false when it was not.
bool WorldTrigger(const std::string &request);

// The COM ports the test prefix has (the mapped lines and whatever Wine made of the host's
// /dev/ttyS*), in capitals, sorted as text; and those of COM1 to COM32 as a mask, bit n-1 for COMn.
std::set<std::string> PrefixPorts();
unsigned long PrefixPortMask();

// This process's Linux process id.
unsigned long UnixPid();

// The Linux process id of the newest process whose command line holds `exe` (such as
// "rq47cfg.exe"); 0 if there is none. Wine reports neither other processes' CPU times nor
// their handle counts, so the Linux side is asked.
unsigned long UnixPidOf(const std::string &exe);

// How many descriptors process `pid` holds open on the device that `link` points to (such as
// the test world's COM3 link, or a /dev/pts/N itself, also once its line is gone), and how
// many descriptors it holds in all.
int DescriptorsOn(unsigned long pid, const std::string &link);
int Descriptors(unsigned long pid);

#endif
