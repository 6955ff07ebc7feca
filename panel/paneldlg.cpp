// The panel: a modeless dialog inside the main window. Its controls are changed only on the
// user-interface thread; reports from the parser thread reach it through ViewCall, which sends
// them here and waits. The controls are Unicode ones: the program's GBK texts are converted
// here, from code page 936 whatever the system's own.
#include "panel.h"

#include "link.h"

#include <commctrl.h>
#include <dbt.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

// Private message that runs the waiting report on this thread. Any program can send a window
// this message, so it carries no address: only a ticket, which must match the waiting report's.
// (A sender that guessed the ticket would only run that report a moment before its time.)
#define WM_PANEL_CALL (WM_APP + 1)
// Private message that shows the ports' devices, posted at start-up so that the window shows
// before their records are read (unless something needs them sooner). It carries nothing;
// from anywhere else it only shows them once more.
#define WM_PANEL_DEVICES (WM_APP + 2)
// Private message, posted by an opener thread, that an open asked of the opener has ended. It
// carries nothing: the panel asks the link what ended, if anything.
#define WM_PANEL_OPENED (WM_APP + 3)

// Set once by the panel's initialisation on the user-interface thread; read-only afterwards.
static HWND g_hPanel;
static HWND g_hPortList;
static DWORD g_uiThreadId;
// How the port list draws its entries, set whenever the list or the records change: where the
// devices' names start, in pixels. And whether the line under the status holds a hint (else
// it names the device of the port in the field). User-interface thread only.
static int g_deviceColumn;
static bool g_hinting;

// The report waiting to run on the user-interface thread: set by ViewCall on the parser thread,
// taken by the panel when the message with its ticket comes, or withdrawn by ViewCall if the
// message was never handled. Under g_callLock, which is never held while anything runs.
struct PanelCall {
    void (*fn)(const void *arg);   // NULL: nothing waiting
    const void *arg;
    WPARAM ticket;
};
static PanelCall g_call;
static SRWLOCK g_callLock = SRWLOCK_INIT;

// A GBK text as UTF-16; empty if it does not fit `capacity` characters with its terminator
// (the program's texts all do).
static void Widen(const char *gbk, WCHAR *wide, int capacity)
{
    if (MultiByteToWideChar(936, 0, gbk, -1, wide, capacity) == 0)
        wide[0] = 0;
}

static void AddItem(HWND list, const char *text)
{
    WCHAR wide[16];
    Widen(text, wide, ARRAYSIZE(wide));
    SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide));
}

static void SetItemText(int id, const char *text)
{
    // A GBK character takes a byte or more, so this holds any text a frame can carry.
    WCHAR wide[RX_BUF_SIZE];
    Widen(text, wide, ARRAYSIZE(wide));
    SetDlgItemTextW(g_hPanel, id, wide);
}

// The port list's entry for `name`, or CB_ERR; as the list sorts, in any case.
static int FindPort(const WCHAR *name)
{
    return int(SendMessageW(g_hPortList, CB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(name)));
}

// Lists a port once.
static void AddPort(const WCHAR *name)
{
    if (FindPort(name) == CB_ERR)
        SendMessageW(g_hPortList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
}

// Port list entry `entry`'s name; empty when there is none or it is no port's.
static void EntryName(int entry, WCHAR port[PORT_NAME_MAX + 1])
{
    port[0] = 0;
    LRESULT length = SendMessageW(g_hPortList, CB_GETLBTEXTLEN, WPARAM(entry), 0);
    if (length != CB_ERR && length <= PORT_NAME_MAX)
        SendMessageW(g_hPortList, CB_GETLBTEXT, WPARAM(entry), reinterpret_cast<LPARAM>(port));
}

// The line under the status while it holds no hint: the device of the port in the field, or of
// list entry `entry` when it is one (at CBN_SELCHANGE the field still holds the last pick).
static void ShowDevice(int entry)
{
    WCHAR port[PORT_NAME_MAX + 2] = L"";   // one more: a longer name is no port's
    if (entry >= 0)
        EntryName(entry, port);
    else
        GetWindowTextW(g_hPortList, port, ARRAYSIZE(port));
    const SerialDevice *device = PanelDeviceOf(port);
    const WCHAR *name = device != NULL ? device->name : L"";
    // Set only when it changes, so that the line does not flicker.
    WCHAR shown[DEVICE_NAME_MAX + 2];
    GetDlgItemTextW(g_hPanel, IDC_HINT_TEXT, shown, ARRAYSIZE(shown));
    if (wcscmp(shown, name) != 0)
        SetDlgItemTextW(g_hPanel, IDC_HINT_TEXT, name);
}

// Widens the dropped list to its widest line: the port's name, then its device's.
static void FitPortList()
{
    HDC dc = GetDC(g_hPortList);
    HGDIOBJ font = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(g_hPortList, WM_GETFONT, 0, 0)));
    int names = 0, devices = 0, count = int(SendMessageW(g_hPortList, CB_GETCOUNT, 0, 0));
    SIZE size;
    for (int i = 0; i < count; i++) {
        WCHAR port[PORT_NAME_MAX + 1];
        EntryName(i, port);
        if (GetTextExtentPoint32W(dc, port, int(wcslen(port)), &size) && size.cx > names)
            names = size.cx;
        const SerialDevice *device = PanelDeviceOf(port);
        if (device != NULL && GetTextExtentPoint32W(dc, device->name, int(wcslen(device->name)), &size) &&
            size.cx > devices)
            devices = size.cx;
    }
    int gap = GetTextExtentPoint32W(dc, L"\x3000", 1, &size) ? size.cx : 0;   // one wide character
    SelectObject(dc, font);
    ReleaseDC(g_hPortList, dc);
    g_deviceColumn = 2 + names + gap;
    // The system never makes it narrower than the field.
    int width = g_deviceColumn + devices + 2 + GetSystemMetrics(SM_CXVSCROLL) + 2 * GetSystemMetrics(SM_CXEDGE);
    SendMessageW(g_hPortList, CB_SETDROPPEDWIDTH, WPARAM(width), 0);
}

// The devices as the records last read say: in the list, and on the line unless it has a hint.
static void ShowDevices()
{
    FitPortList();
    if (!g_hinting)
        ShowDevice(CB_ERR);
}

// An entry of the port list: its name, and its device's beside it. The structure is the
// system's own (a copy, when another program sends the message); its window must be the list's.
static void DrawPort(const DRAWITEMSTRUCT *item)
{
    if (item == NULL || item->CtlType != ODT_COMBOBOX || item->hwndItem != g_hPortList)
        return;
    bool selected = (item->itemState & ODS_SELECTED) != 0;
    FillRect(item->hDC, &item->rcItem, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    WCHAR port[PORT_NAME_MAX + 1] = L"";
    if (item->itemID != UINT(-1))
        EntryName(int(item->itemID), port);
    SetBkMode(item->hDC, TRANSPARENT);
    SetTextColor(item->hDC, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    RECT text = item->rcItem;
    text.left += 2;
    DrawTextW(item->hDC, port, -1, &text, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    const SerialDevice *device = PanelDeviceOf(port);
    if (device != NULL) {
        text.left = item->rcItem.left + g_deviceColumn;
        DrawTextW(item->hDC, device->name, -1, &text, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    }
    if (item->itemState & ODS_FOCUS)
        DrawFocusRect(item->hDC, &item->rcItem);
}

// The height of the port list's entries: a line of the panel's font, which the system cannot
// know when it creates the list. The selection field (item -1) keeps the height the system
// gives it, as the channel list's does, so that the two fields line up.
static void MeasurePort(HWND dialog, MEASUREITEMSTRUCT *item)
{
    if (item == NULL || item->CtlType != ODT_COMBOBOX || item->CtlID != IDC_PORT_LIST || item->itemID == UINT(-1))
        return;
    HDC dc = GetDC(dialog);
    HGDIOBJ font = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(dialog, WM_GETFONT, 0, 0)));
    TEXTMETRICW metrics;
    if (GetTextMetricsW(dc, &metrics))
        item->itemHeight = UINT(metrics.tmHeight);
    SelectObject(dc, font);
    ReleaseDC(dialog, dc);
}

static void PanelInit(HWND panel)
{
    INITCOMMONCONTROLSEX icc = {sizeof icc, 0xFF};
    InitCommonControlsEx(&icc);

    // The reader idles until a port is open, and a port can only be opened after SerialInit.
    CloseHandle(CreateThread(NULL, 0, RxReaderThread, NULL, 0, NULL));
    SerialInit();

    g_hPanel = panel;
    g_uiThreadId = GetCurrentThreadId();
    PanelInitState();

    // COM1 to COM32, then whatever else the system names (ports above COM32, other drivers'
    // names): one list, each name once.
    DWORD ports = SerialProbePorts();
    char names[256][PORT_NAME_MAX + 1];
    int count = 0;
    for (int i = 0; i < 32; i++) {
        if (ports & (1u << i))
            snprintf(names[count++], sizeof names[0], "COM%d", i + 1);
    }
    count += SerialMappedPorts(names + count, ARRAYSIZE(names) - count);
    g_hPortList = GetDlgItem(panel, IDC_PORT_LIST);
    for (int i = 0; i < count; i++) {
        WCHAR wide[PORT_NAME_MAX + 1];
        Widen(names[i], wide, ARRAYSIZE(wide));
        AddPort(wide);
    }
    SendMessageW(g_hPortList, CB_SETCURSEL, 0, 0);   // the list sorts as text: COM1, COM10, COM2
    PostMessageW(panel, WM_PANEL_DEVICES, 0, 0);

    ViewSetVersion("");
    ViewEnableChannelList(false);
    ViewEnableApply(false);
    HWND channels = GetDlgItem(panel, IDC_CHANNEL_LIST);
    for (int channel = 1; channel <= 16; channel++) {
        char text[4];
        snprintf(text, sizeof text, "%d", channel);
        AddItem(channels, text);
    }
    SendMessageW(channels, CB_SETCURSEL, 0, 0);
    ViewSetStatus("");
}

// Every message but the port list's drawing falls through to the dialog manager's default
// handling (the result is 0), so no control takes the focus at start.
INT_PTR CALLBACK PanelDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        PanelInit(dialog);
        break;
    case WM_COMMAND:
        // Any notification code: a click, or the keyboard's equivalent.
        if (LOWORD(wParam) == IDC_OPEN_BUTTON) {
            PanelOpenClose();
        } else if (LOWORD(wParam) == IDC_APPLY_BUTTON) {
            PanelApply();
        } else if (LOWORD(wParam) == IDC_PORT_LIST && (HIWORD(wParam) == CBN_SELCHANGE || HIWORD(wParam) == CBN_EDITCHANGE)) {
            PanelPortFieldChanged();
            if (!g_hinting)
                ShowDevice(HIWORD(wParam) == CBN_SELCHANGE ? int(SendMessageW(g_hPortList, CB_GETCURSEL, 0, 0)) : CB_ERR);
        }
        break;
    // The system's own structure, or a copy of one another program sent (or none).
    case WM_MEASUREITEM:
        MeasurePort(dialog, reinterpret_cast<MEASUREITEMSTRUCT *>(lParam));
        return TRUE;
    case WM_DRAWITEM:
        DrawPort(reinterpret_cast<const DRAWITEMSTRUCT *>(lParam));
        return TRUE;
    case WM_PANEL_DEVICES:
        ShowDevices();
        break;
    case WM_PANEL_OPENED:
        PanelOpenDone();
        break;
    case WM_TIMER:
        if (wParam == POLL_TIMER_ID)
            PanelTick();
        break;
    case WM_PANEL_CALL: {
        // From anywhere else, or with no report waiting, this does nothing.
        PanelCall call = {};
        AcquireSRWLockExclusive(&g_callLock);
        if (g_call.fn != NULL && g_call.ticket == wParam) {
            call = g_call;
            g_call.fn = NULL;
        }
        ReleaseSRWLockExclusive(&g_callLock);
        if (call.fn != NULL)
            call.fn(call.arg);
        break;
    }
    }
    return 0;
}

// The port a port notice names; false for anything else. The notice may come from any program
// with any content: nothing past the size it gives is read.
static bool NoticedPort(LPARAM data, WCHAR name[PORT_NAME_MAX + 1])
{
    const size_t head = offsetof(DEV_BROADCAST_PORT_W, dbcp_name);
    const DEV_BROADCAST_PORT_W *port = reinterpret_cast<const DEV_BROADCAST_PORT_W *>(data);
    if (port == NULL || port->dbcp_size < head || port->dbcp_devicetype != DBT_DEVTYP_PORT)
        return false;
    size_t room = (port->dbcp_size - head) / sizeof(WCHAR), length = 0;
    while (length < room && port->dbcp_name[length] != 0)
        length++;
    // Unterminated, or longer than the field holds (so never read as half a name); parallel
    // ports are no use to the transmitter.
    if (length == room || length == 0 || length > PORT_NAME_MAX ||
        _wcsnicmp(port->dbcp_name, L"LPT", 3) == 0)
        return false;
    memcpy(name, port->dbcp_name, (length + 1) * sizeof(WCHAR));
    char gbk[PORT_NAME_MAX + 1];   // what the port field will read of it
    return WideCharToMultiByte(936, 0, name, -1, gbk, sizeof gbk, NULL, NULL) != 0;
}

void PanelDeviceChange(WPARAM event, LPARAM data)
{
    WCHAR name[PORT_NAME_MAX + 1];
    if ((event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) || !NoticedPort(data, name))
        return;
    // The system has changed its records before it tells.
    PanelReadDevices();
    // Only the entries follow the machine: adding or deleting one leaves the field's text as
    // it is, the operator's choice or the open port's name.
    if (event == DBT_DEVICEREMOVECOMPLETE) {
        PanelPortRemoved(name);
        int entry = FindPort(name);
        if (entry != CB_ERR)
            SendMessageW(g_hPortList, CB_DELETESTRING, WPARAM(entry), 0);
    } else {
        AddPort(name);
        PanelPortArrived(name);
        // Nothing chosen yet (no ports at start, or the field cleared): take the adapter just
        // plugged in, so that 打开串口 opens it.
        if (GetWindowTextLengthW(g_hPortList) == 0 && g_portOpen == 0)
            SendMessageW(g_hPortList, CB_SETCURSEL, WPARAM(FindPort(name)), 0);
    }
    ShowDevices();
}

bool PanelDialogMessage(MSG *msg)
{
    if (g_hPanel == NULL)
        return false;
    // At start nothing in the panel has the focus (the main window has it): the first Tab
    // enters the panel at its first tab stop, Shift+Tab at its last, as they would wrap round.
    if (msg->message == WM_KEYDOWN && msg->wParam == VK_TAB && !IsChild(g_hPanel, msg->hwnd)) {
        bool back = GetKeyState(VK_SHIFT) < 0;
        HWND first = GetWindow(g_hPanel, GW_CHILD);
        HWND to = GetNextDlgTabItem(g_hPanel, back ? first : GetWindow(first, GW_HWNDLAST), back);
        if (to != NULL)
            SendMessageW(g_hPanel, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(to), TRUE);
        return true;
    }
    return IsDialogMessageW(g_hPanel, msg) != FALSE;
}

void OnOpenDone()
{
    // A lost message (a full queue) only delays it: the tick asks too.
    PostMessageW(g_hPanel, WM_PANEL_OPENED, 0, 0);
}

void ViewCall(void (*fn)(const void *arg), const void *arg)
{
    if (GetCurrentThreadId() == g_uiThreadId) {
        fn(arg);
        return;
    }
    // Only the parser thread comes here, so one report at most is waiting.
    AcquireSRWLockExclusive(&g_callLock);
    WPARAM ticket = ++g_call.ticket;
    g_call.fn = fn;
    g_call.arg = arg;
    ReleaseSRWLockExclusive(&g_callLock);
    SendMessageW(g_hPanel, WM_PANEL_CALL, ticket, 0);
    // A message that was never handled (the window gone) leaves nothing that could run later,
    // when `arg` is no longer valid.
    AcquireSRWLockExclusive(&g_callLock);
    g_call.fn = NULL;
    ReleaseSRWLockExclusive(&g_callLock);
}

void ViewSetStatus(const char *text)
{
    SetItemText(IDC_STATUS_TEXT, text);
}

void ViewSetHint(const char *text)
{
    g_hinting = text[0] != 0;
    if (g_hinting)
        SetItemText(IDC_HINT_TEXT, text);
    else
        ShowDevice(CB_ERR);
}

void ViewSetVersion(const char *text)
{
    SetItemText(IDC_VERSION_TEXT, text);
}

void ViewEnablePortList(bool on)
{
    EnableWindow(g_hPortList, on);
}

void ViewEnableChannelList(bool on)
{
    EnableWindow(GetDlgItem(g_hPanel, IDC_CHANNEL_LIST), on);
}

void ViewEnableApply(bool on)
{
    EnableWindow(GetDlgItem(g_hPanel, IDC_APPLY_BUTTON), on);
}

void ViewSelectChannel(BYTE index)
{
    // Say "no selection" outright: an index past the end clears it on Windows but leaves the
    // old one selected under Wine.
    int count = int(SendDlgItemMessageW(g_hPanel, IDC_CHANNEL_LIST, CB_GETCOUNT, 0, 0));
    WPARAM entry = index < count ? index : WPARAM(-1);
    SendDlgItemMessageW(g_hPanel, IDC_CHANNEL_LIST, CB_SETCURSEL, entry, 0);
}

int ViewGetChannel()
{
    return int(SendDlgItemMessageW(g_hPanel, IDC_CHANNEL_LIST, CB_GETCURSEL, 0, 0));
}

void ViewGetPortText(char buffer[PORT_TEXT_MAX + 1])
{
    // The first PORT_TEXT_MAX bytes of the field in GBK, never half a character: what the ANSI
    // functions give under code page 936. Each character takes one byte or more, so the first
    // PORT_TEXT_MAX characters are all that can count.
    WCHAR wide[PORT_TEXT_MAX + 1];
    char gbk[2 * PORT_TEXT_MAX + 1];
    GetWindowTextW(g_hPortList, wide, ARRAYSIZE(wide));
    if (WideCharToMultiByte(936, 0, wide, -1, gbk, sizeof gbk, NULL, NULL) == 0)
        gbk[0] = 0;
    int n = 0;
    while (gbk[n] != 0) {
        int size = IsDBCSLeadByteEx(936, BYTE(gbk[n])) && gbk[n + 1] != 0 ? 2 : 1;
        if (n + size > PORT_TEXT_MAX)
            break;
        n += size;
    }
    memcpy(buffer, gbk, n);
    buffer[n] = 0;
}

void ViewSetPortText(const char *text)
{
    WCHAR wide[PORT_TEXT_MAX + 1];
    Widen(text, wide, ARRAYSIZE(wide));
    SetWindowTextW(g_hPortList, wide);
}

void ViewSetOpenCaption(const char *text)
{
    SetItemText(IDC_OPEN_BUTTON, text);
}

void ViewStartTick()
{
    SetTimer(g_hPanel, POLL_TIMER_ID, TICK_MS, NULL);
}

void ViewStopTick()
{
    KillTimer(g_hPanel, POLL_TIMER_ID);
}
