// The panel: a modeless dialog inside the main window. Its controls are changed only on the
// user-interface thread; reports from the parser thread reach it through ViewCall, which sends
// them here and waits. The controls are Unicode ones: the program's GBK texts are converted
// here, from code page 936 whatever the system's own.
#include "panel.h"

#include "link.h"

#include <commctrl.h>
#include <stdio.h>
#include <string.h>

// Private message that runs a report on this thread: wParam the function, lParam its argument.
#define WM_PANEL_CALL (WM_APP + 1)

// Set once by the panel's initialisation on the user-interface thread; read-only afterwards.
static HWND g_hPanel;
static HWND g_hPortList;
static DWORD g_uiThreadId;

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
    WCHAR wide[256];              // a version text is at most 255 bytes
    Widen(text, wide, ARRAYSIZE(wide));
    SetDlgItemTextW(g_hPanel, id, wide);
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

    DWORD ports = SerialProbePorts();
    g_hPortList = GetDlgItem(panel, IDC_PORT_LIST);
    for (int i = 0; i < 32; i++) {
        if (ports & (1u << i)) {
            char name[8];
            snprintf(name, sizeof name, "COM%d", i + 1);
            AddItem(g_hPortList, name);
        }
    }
    SendMessageW(g_hPortList, CB_SETCURSEL, 0, 0);   // the list sorts as text: COM1, COM10, COM2

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

// Every message falls through to the dialog manager's default handling (the result is 0), so
// no control takes the focus at start.
INT_PTR CALLBACK PanelDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        PanelInit(dialog);
        break;
    case WM_COMMAND:
        // Any notification code: a click, or the keyboard's equivalent.
        if (LOWORD(wParam) == IDC_OPEN_BUTTON)
            PanelOpenClose();
        else if (LOWORD(wParam) == IDC_APPLY_BUTTON)
            PanelApply();
        break;
    case WM_TIMER:
        if (wParam == POLL_TIMER_ID)
            PanelTick();
        break;
    case WM_PANEL_CALL:
        reinterpret_cast<void (*)(const void *)>(wParam)(reinterpret_cast<const void *>(lParam));
        break;
    }
    return 0;
}

void ViewCall(void (*fn)(const void *arg), const void *arg)
{
    if (GetCurrentThreadId() == g_uiThreadId)
        fn(arg);
    else
        SendMessageW(g_hPanel, WM_PANEL_CALL, reinterpret_cast<WPARAM>(fn), reinterpret_cast<LPARAM>(arg));
}

void ViewSetStatus(const char *text)
{
    SetItemText(IDC_STATUS_TEXT, text);
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
