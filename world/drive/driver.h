// Drives the configuration tool's window from another process, the way an operator would,
// for the tests, the demonstration run and the benchmark: starts and ends it (and the other
// processes they need), finds the window by its class, clicks by control id, and reads texts
// (GBK, as the program shows them), enabled states and lists. A message the tool does not
// answer within DRIVE_ANSWER_MS counts as failed (no click, an empty text, no entries): a tool
// that hangs fails the step, and never holds its caller.
#ifndef WORLD_DRIVER_H
#define WORLD_DRIVER_H

#include <windows.h>
#include <dbt.h>

#include <functional>
#include <string>
#include <vector>

enum { DRIVE_ANSWER_MS = 5000 };

// Starts `commandLine` with CreateProcess `flags` (CREATE_NO_WINDOW for a console program; never
// for the tool: under Wine it costs a GUI program CPU time); its output and errors go to
// `output` when that is not NULL (an inheritable handle). False when three tries could not
// start it.
bool DriveLaunch(const std::string &commandLine, HANDLE output, DWORD flags, PROCESS_INFORMATION *process);

// Ends a started process at once and waits for it (a Wine program takes seconds to exit by
// itself after WM_CLOSE).
void DriveEnd(PROCESS_INFORMATION *process);

// The working set of a process in MB: now, or its peak.
double DriveWorkingSetMb(HANDLE process, bool peak);

// A tool started by DriveStart.
struct DriveProcess {
    PROCESS_INFORMATION process;
    HWND main;              // NULL when the window did not appear
    HWND panel;
    unsigned long unixPid;  // its Linux process id when started from the Linux side, else 0
};

// Starts the tool at `exe` (a Windows path) and waits up to 10 s for its window to show: a
// window of its own process, never one that was there before. With a `locale` (such as
// "C.UTF-8") the tool runs in that locale, and so with its code page: it is started from the
// Linux side then, with nothing of this process (UnixStartProgram).
DriveProcess DriveStart(const std::string &exe, const char *locale = NULL);

// Ends a tool started by DriveStart, by its process, and one started from the Linux side also
// there: false when its Linux process was still running after that (it is ended then).
bool DriveStop(DriveProcess *p);

// The main window of a running tool (class "Pellwick") once it is shown, waiting up to
// `timeoutMs`; NULL if none. With `process`, only that process's window counts.
HWND DriveFindMain(DWORD timeoutMs, DWORD process = 0);

// The panel inside the main window; NULL if it is not there.
HWND DrivePanel(HWND main);

// A WM_COMMAND for control `id` with the BN_CLICKED code; returns once the tool handled it.
void DriveClick(HWND panel, int id);

// The text of a window or control, as GBK bytes.
std::string DriveText(HWND window);
std::string DriveItemText(HWND panel, int id);

// Puts `text` (GBK) into a control's field, as a program would (no change notice).
void DriveSetText(HWND panel, int id, const std::string &text);

// Types `text` over what combo box `id`'s field holds, character by character, as the keyboard
// would (each change noticed), then presses key `vk` there, if any (VK_DOWN picks the next
// entry). Returns once the tool handled it.
void DriveType(HWND panel, int id, const std::wstring &text, UINT vk = 0);

// A control's text as the window holds it (UTF-16): for texts outside GBK.
std::wstring DriveWideText(HWND panel, int id);

bool DriveEnabled(HWND panel, int id);

// A combo box's entries (GBK) and its selection (-1 for none); CB_SETCURSEL on it.
std::vector<std::string> DriveListItems(HWND panel, int id);
int DriveSelection(HWND panel, int id);
void DriveSelect(HWND panel, int id, int index);

// Asks `done` every 5 ms for up to `timeoutMs` until it says yes; true if it did.
bool DriveWaitFor(const std::function<bool()> &done, DWORD timeoutMs);

// Waits up to `timeoutMs` until control `id` reads `text`; true if it did.
bool DriveWaitText(HWND panel, int id, const std::string &text, DWORD timeoutMs);

// Waits up to `timeoutMs` for the channel read-back that follows a link-up: the channel list
// and Apply enabled, `channel` (1..16) selected. True if it came.
bool DriveWaitChannel(HWND panel, int channel, DWORD timeoutMs);

// Sends the tool's main window the notice the system sends when serial port `name` arrives or
// goes (DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE, or another event), giving `size` as its
// size (0: the exact size, with the name's terminator) and `type` as its device type, and
// returns how long the window took to answer, in ms; a negative value if it did not answer
// within 2 s.
double DriveNotice(HWND main, WPARAM event, const wchar_t *name, DWORD size = 0,
                   DWORD type = DBT_DEVTYP_PORT);

// The id of the panel's control that has the keyboard focus (a combo box for its edit field);
// 0 when none has it.
int DriveFocus(HWND panel);

// Presses key `vk` (with Shift held, when `shift`) on the focused window of the tool's
// user-interface thread, as the keyboard would; returns the focus after it, waiting up to 1 s
// for it to move away from where it was.
int DriveKey(HWND panel, UINT vk, bool shift = false);

// GBK bytes as UTF-8, for printing on a Linux terminal.
std::string DriveUtf8(const std::string &gbk);

#endif
