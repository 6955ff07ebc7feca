// Drives the configuration tool's window from another process, the way an operator would,
// for the end-to-end tests and the demonstration run: finds the window by its class, clicks
// by control id, and reads texts (GBK, as the program shows them), enabled states and lists.
#ifndef TOOLS_DRIVER_H
#define TOOLS_DRIVER_H

#include <windows.h>

#include <string>
#include <vector>

// A tool started by DriveStart.
struct DriveProcess {
    PROCESS_INFORMATION process;
    HWND main;    // NULL when the window did not appear
    HWND panel;
};

// Starts the tool at `exe` (a Windows path) and waits up to 10 s for its window to show.
DriveProcess DriveStart(const std::string &exe);

// Ends a tool started by DriveStart, by its process (a Wine program takes seconds to exit by
// itself after WM_CLOSE).
void DriveStop(DriveProcess *p);

// The main window of a running tool (class "Pellwick") once it is shown, waiting up to
// `timeoutMs`; NULL if none.
HWND DriveFindMain(DWORD timeoutMs);

// The panel inside the main window; NULL if it is not there.
HWND DrivePanel(HWND main);

// A WM_COMMAND for control `id` with the BN_CLICKED code; returns once the tool handled it.
void DriveClick(HWND panel, int id);

// The text of a window or control, as GBK bytes.
std::string DriveText(HWND window);
std::string DriveItemText(HWND panel, int id);

// Types `text` (GBK) into a control's field.
void DriveSetText(HWND panel, int id, const std::string &text);

bool DriveEnabled(HWND panel, int id);

// A combo box's entries (GBK) and its selection (-1 for none); CB_SETCURSEL on it.
std::vector<std::string> DriveListItems(HWND panel, int id);
int DriveSelection(HWND panel, int id);
void DriveSelect(HWND panel, int id, int index);

// Waits up to `timeoutMs` until control `id` reads `text`; true if it did.
bool DriveWaitText(HWND panel, int id, const std::string &text, DWORD timeoutMs);

// GBK bytes as UTF-8, for printing on a Linux terminal.
std::string DriveUtf8(const std::string &gbk);

#endif
