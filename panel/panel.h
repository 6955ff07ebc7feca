// The configuration panel: the link and configuration state (state.cpp) and the dialog that
// shows it (paneldlg.cpp).
//
// The state is driven by the 500 ms tick, the two buttons, the system's port notices and the
// ends of the opener's opens (posted as a message) on the user-interface thread, and by
// the transmitter's reports, which the parser thread delivers. Every report is run on the
// user-interface thread (ViewCall) while the parser waits, so the flags and countdowns below are
// only ever touched by that one thread and need no lock.
#ifndef PANEL_PANEL_H
#define PANEL_PANEL_H

// Resource ids of the panel template; also read by the resource compiler.
#define IDD_PANEL 101
#define IDC_PORT_LIST 1001
#define IDC_OPEN_BUTTON 1002
#define IDC_APPLY_BUTTON 1007
#define IDC_STATUS_TEXT 1009
#define IDC_VERSION_TEXT 1010
#define IDC_CHANNEL_LIST 1011
#define IDC_HINT_TEXT 1012

#ifndef RC_INVOKED
#include <windows.h>

struct SerialDevice;

enum {
    POLL_TIMER_ID = 1,
    TICK_MS = 500,
    LINK_TICKS = 6,     // the link is lost at the 6th tick without a version report
    CONFIG_TICKS = 10,  // a channel change times out at the 10th tick after Apply
    OPEN_QUICK_MS = 150, // the press of 打开串口 waits this long for the open, then says it is slow
    PORT_TEXT_MAX = 9,  // characters of the port field that are used
    HINT_MAX = 64       // bytes of a hint, with its zero
};

// Link and configuration state; user-interface thread only.
extern int g_portOpen;         // 1 while the panel has a port open
extern int g_linked;           // 1 while the transmitter counts as connected
extern int g_linkCountdown;    // ticks left before the link counts as lost; 0: not running
extern int g_configCountdown;  // ticks left before a channel change times out; 0: not running

void PanelInitState();
void PanelTick();
// 打开串口, 关闭串口, and 取消 of an open under way. The open is the opener's: its end is shown
// at once when it comes within OPEN_QUICK_MS; a slower one shows 正在打开串口… and 取消, with the
// port field disabled, until PanelOpenDone takes its end.
void PanelOpenClose();
void PanelApply();

// The system said serial port `name` went away: if it is the open port (case aside), the link
// lets go of it at once; for the operator it stays open, and the tick tries to take it back.
void PanelPortRemoved(const WCHAR *name);

// The system said serial port `name` arrived: while the open port is away, a try at once to
// take it back if it is that port, or to open it in that port's place if it is surely the
// same adapter plugged into another socket (PanelIsPulledAdapter); such a port is tried again
// every second, after the own name, until one of them opens. Tries are made by the opener,
// one at a time: a notice that comes while one is under way starts none.
void PanelPortArrived(const WCHAR *name);

// An open of the opener has ended (OnOpenDone, through the panel's message; also from the tick,
// and from any program's message, which finds nothing): the operator's slow open shows its end;
// a try to take the port back has taken it back, or the next try waits. One no longer wanted
// lets go of what it opened.
void PanelOpenDone();

// Whether the open port's adapter (`open`, its record at the open) was the only one of its
// model then: no other record in `devices` had its first hardware id.
bool PanelModelAlone(const SerialDevice *open, const SerialDevice devices[], int count);

// Whether port `name`, arriving while the open port is away, is surely the adapter pulled out:
// its record in `devices` (the records now) has the instance id of `open` (the open port's record
// at the open); or its first hardware id, when the model was `alone` at the open and this is its
// only record now. A hardware id names a model, not a device: every channel of a multi-port
// adapter and every adapter of the model has it. Empty ids match nothing.
bool PanelIsPulledAdapter(const WCHAR *name, const SerialDevice *open, bool alone, const SerialDevice devices[],
                          int count);

// The port field was changed by the operator (an entry picked, a name typed): the hint of a
// failed open goes.
void PanelPortFieldChanged();

// Reads the records of the ports' devices anew (SerialDevices): at each port notice, never on
// the tick.
void PanelReadDevices();

// The device of port `name` (case aside) as the records last read say (read now if they never
// were); NULL when it has none.
const SerialDevice *PanelDeviceOf(const WCHAR *name);

// Whether the open port is gone: the system said it went away (`removed`), or the driver refused
// the last two writes in a row and none went through since (`refusedRun`, SerialRefusedRun).
bool PanelPortGone(bool removed, DWORD refusedRun);

// The hint while the tool waits for the transmitter: the first cause that holds, the port
// `gone` first, then what the line did in the look-back window (`seen`, indexed by SerialCount:
// differences of two readings). Never empty.
const char *PanelLinkHint(const DWORD seen[], bool gone);

// The hint after a failed open of the port field's text `name`, with the error SerialOpen left.
void PanelOpenHint(const char *name, DWORD error, char hint[HINT_MAX]);

// --- View operations: implemented on the panel's controls by paneldlg.cpp (tests give their
// --- own). Texts are zero-terminated GBK strings. User-interface thread only.
void ViewSetStatus(const char *text);
void ViewSetHint(const char *text);
void ViewSetVersion(const char *text);
void ViewEnablePortList(bool on);
void ViewEnableChannelList(bool on);
void ViewEnableApply(bool on);
void ViewSelectChannel(BYTE index);   // an index outside 0..15 leaves no entry selected
int ViewGetChannel();                 // the selected entry, -1 when none
void ViewGetPortText(char buffer[PORT_TEXT_MAX + 1]);
void ViewSetPortText(const char *text);
void ViewSetOpenCaption(const char *text);
void ViewStartTick();                 // PanelTick then runs every 500 ms
void ViewStopTick();

// Runs fn(arg) on the user-interface thread and returns when it has run; called from the
// parser thread for each report (at once when already on that thread).
void ViewCall(void (*fn)(const void *arg), const void *arg);

// The panel's dialog procedure (template IDD_PANEL). Its initialisation starts the serial
// link's threads.
INT_PTR CALLBACK PanelDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// A WM_DEVICECHANGE that reached the main window: a serial port that arrives joins the port
// list, one that goes leaves it. The port field's text stays as it is, unless it is empty and no
// port is open: then the port that arrived is selected. The open port's own notices also go to
// PanelPortRemoved and PanelPortArrived.
void PanelDeviceChange(WPARAM event, LPARAM data);

// The dialog keys for the panel, from the message loop: Tab and Shift+Tab move the focus
// between its tab stops, Space presses a focused button. True when the message was handled.
bool PanelDialogMessage(MSG *msg);

#endif
#endif
