#include "driver.h"

#include "clock.h"
#include "panel.h"
#include "unix.h"

#include <dbt.h>
#include <psapi.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>

#include <set>

static std::wstring Wide(const std::string &gbk)
{
    int n = MultiByteToWideChar(936, 0, gbk.c_str(), -1, NULL, 0);
    std::wstring w(n > 0 ? n : 1, L'\0');
    MultiByteToWideChar(936, 0, gbk.c_str(), -1, &w[0], n);
    w.resize(n > 0 ? n - 1 : 0);
    return w;
}

static std::string Narrow(const std::wstring &w, UINT codePage)
{
    int n = WideCharToMultiByte(codePage, 0, w.c_str(), -1, NULL, 0, NULL, NULL);
    std::string s(n > 0 ? n : 1, '\0');
    WideCharToMultiByte(codePage, 0, w.c_str(), -1, &s[0], n, NULL, NULL);
    s.resize(n > 0 ? n - 1 : 0);
    return s;
}

// A message to the tool's window, answered within DRIVE_ANSWER_MS, or `failed`.
static LRESULT Ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT failed = 0)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, DRIVE_ANSWER_MS, &result))
        return failed;
    return LRESULT(result);
}

std::string DriveUtf8(const std::string &gbk)
{
    return Narrow(Wide(gbk), CP_UTF8);
}

// The shown main window of a tool whose process `keep` takes, or NULL.
static HWND ShownMain(const std::function<bool(DWORD)> &keep)
{
    for (HWND w = NULL; (w = FindWindowExA(NULL, w, "Pellwick", NULL)) != NULL;) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        // The window shows only once its panel is initialised.
        if (pid != 0 && keep(pid) && IsWindowVisible(w))
            return w;
    }
    return NULL;
}

HWND DriveFindMain(DWORD timeoutMs, DWORD process)
{
    HWND main = NULL;
    auto shown = [&] { return (main = ShownMain([&](DWORD pid) { return process == 0 || pid == process; })) != NULL; };
    return DriveWaitFor(shown, timeoutMs) ? main : NULL;
}

HWND DrivePanel(HWND main)
{
    return FindWindowExA(main, NULL, MAKEINTRESOURCEA(32770), NULL);   // the dialog class
}

void DriveClick(HWND panel, int id)
{
    Ask(panel, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(panel, id)));
}

std::string DriveText(HWND window)
{
    // Ask the window itself (a combo box's text lives in its edit field), in UTF-16: ANSI texts
    // are not converted reliably across processes under Wine.
    wchar_t buf[2048];
    LRESULT n = Ask(window, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buf));
    return Narrow(std::wstring(buf, n > 0 ? size_t(n) : 0), 936);
}

std::string DriveItemText(HWND panel, int id)
{
    return DriveText(GetDlgItem(panel, id));
}

void DriveSetText(HWND panel, int id, const std::string &text)
{
    std::wstring w = Wide(text);
    Ask(GetDlgItem(panel, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(w.c_str()));
}

void DriveType(HWND panel, int id, const std::wstring &text, UINT vk)
{
    HWND field = GetWindow(GetDlgItem(panel, id), GW_CHILD);   // a drop-down combo box's edit
    if (!text.empty())
        Ask(field, EM_SETSEL, 0, -1);
    for (wchar_t c : text)
        Ask(field, WM_CHAR, WPARAM(c), 1);
    if (vk != 0)
        Ask(field, WM_KEYDOWN, vk, 1);
}

std::wstring DriveWideText(HWND panel, int id)
{
    wchar_t buf[2048];
    LRESULT n = Ask(GetDlgItem(panel, id), WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buf));
    return std::wstring(buf, n > 0 ? size_t(n) : 0);
}

bool DriveEnabled(HWND panel, int id)
{
    return IsWindowEnabled(GetDlgItem(panel, id)) != FALSE;
}

std::vector<std::string> DriveListItems(HWND panel, int id)
{
    HWND list = GetDlgItem(panel, id);
    std::vector<std::string> items;
    int count = int(Ask(list, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; i++) {
        int len = int(Ask(list, CB_GETLBTEXTLEN, i, 0, CB_ERR));
        if (len < 0)
            break;
        std::wstring w(len + 1, L'\0');
        Ask(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&w[0]));
        w.resize(len);
        items.push_back(Narrow(w, 936));
    }
    return items;
}

int DriveSelection(HWND panel, int id)
{
    return int(Ask(GetDlgItem(panel, id), CB_GETCURSEL, 0, 0, CB_ERR));
}

void DriveSelect(HWND panel, int id, int index)
{
    Ask(GetDlgItem(panel, id), CB_SETCURSEL, WPARAM(index), 0);
}

bool DriveWaitFor(const std::function<bool()> &done, DWORD timeoutMs)
{
    for (DWORD start = GetTickCount(); !done(); Sleep(5))
        if (GetTickCount() - start >= timeoutMs)
            return false;
    return true;
}

bool DriveWaitText(HWND panel, int id, const std::string &text, DWORD timeoutMs)
{
    return DriveWaitFor([&] { return DriveItemText(panel, id) == text; }, timeoutMs);
}

bool DriveLaunch(const std::string &commandLine, HANDLE output, DWORD flags, PROCESS_INFORMATION *process)
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (output != NULL) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = output;
    }
    // Once in a full run under Wine a start failed before the program ran at all (the same exe
    // had started a moment before); only a start that fails three times, a second apart, fails.
    for (int attempt = 0; attempt < 3; attempt++) {
        std::string line = commandLine;
        *process = PROCESS_INFORMATION();
        if (CreateProcessA(NULL, &line[0], NULL, NULL, output != NULL, flags, NULL, NULL, &si,
                           process))
            return true;
        fprintf(stderr, "could not start %s (error %lu)\n", commandLine.c_str(), GetLastError());
        if (attempt < 2)
            Sleep(1000);
    }
    return false;
}

void DriveEnd(PROCESS_INFORMATION *process)
{
    if (process->hProcess == NULL)
        return;
    TerminateProcess(process->hProcess, 0);
    WaitForSingleObject(process->hProcess, 5000);
    CloseHandle(process->hProcess);
    if (process->hThread != NULL)
        CloseHandle(process->hThread);
    *process = PROCESS_INFORMATION();
}

double DriveWorkingSetMb(HANDLE process, bool peak)
{
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(process, &pmc, sizeof pmc);
    return double(peak ? pmc.PeakWorkingSetSize : pmc.WorkingSetSize) / 1048576.0;
}

bool DriveWaitChannel(HWND panel, int channel, DWORD timeoutMs)
{
    return DriveWaitFor([&] {
        return DriveEnabled(panel, IDC_CHANNEL_LIST) && DriveEnabled(panel, IDC_APPLY_BUTTON) &&
               DriveSelection(panel, IDC_CHANNEL_LIST) == channel - 1;
    }, timeoutMs);
}

DriveProcess DriveStart(const std::string &exe, const char *locale)
{
    DriveProcess p = {};
    if (locale == NULL) {
        if (DriveLaunch("\"" + exe + "\"", NULL, 0, &p.process))
            p.main = DriveFindMain(10000, p.process.dwProcessId);
    } else {
        // A Wine process takes its ANSI code page from the locale it starts in, and a Windows
        // parent cannot give it another: start it from the Linux side. Wine gives no process
        // for that, so its window is the first of a process that had none before.
        std::set<DWORD> before;
        ShownMain([&](DWORD pid) { before.insert(pid); return false; });
        // The build's own Wine, for its word size (RQ47_WINE, a Linux path).
        const char *wine = getenv("RQ47_WINE");
        p.unixPid = UnixStartProgram(std::string("env LC_ALL=") + locale + " LANG=" + locale + " '" +
                                     (wine != NULL ? wine : "wine") + "' '" + exe + "'");
        DWORD pid = 0;
        auto shown = [&] {
            return (p.main = ShownMain([&](DWORD owner) { return before.count(owner) == 0; })) != NULL;
        };
        if (p.unixPid != 0 && DriveWaitFor(shown, 10000)) {
            GetWindowThreadProcessId(p.main, &pid);
            p.process.dwProcessId = pid;
            p.process.hProcess = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
                                             FALSE, pid);
        }
    }
    if (p.main != NULL)
        p.panel = DrivePanel(p.main);
    return p;
}

bool DriveStop(DriveProcess *p)
{
    DriveEnd(&p->process);
    bool gone = p->unixPid == 0 || UnixGone(p->unixPid, 2000);
    *p = DriveProcess();
    return gone;
}

double DriveNotice(HWND main, WPARAM event, const wchar_t *name, DWORD size, DWORD type)
{
    union {
        DEV_BROADCAST_PORT_W port;
        BYTE room[256];
    } notice = {};
    wcscpy(notice.port.dbcp_name, name);
    notice.port.dbcp_size = size != 0 ? size : DWORD(offsetof(DEV_BROADCAST_PORT_W, dbcp_name) + (wcslen(name) + 1) * sizeof(wchar_t));
    notice.port.dbcp_devicetype = type;
    DWORD_PTR result;
    double start = Now();
    bool answered = SendMessageTimeoutW(main, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&notice), SMTO_NORMAL, 2000, &result);
    return answered ? Now() - start : -1;
}

static HWND FocusWindow(HWND panel)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(panel, NULL), &info);
    return info.hwndFocus;
}

int DriveFocus(HWND panel)
{
    for (HWND w = FocusWindow(panel); w != NULL; w = GetParent(w)) {
        if (GetParent(w) == panel)
            return GetDlgCtrlID(w);
    }
    return 0;
}

int DriveKey(HWND panel, UINT vk, bool shift)
{
    HWND target = FocusWindow(panel);
    if (target == NULL)
        target = GetParent(panel);
    int before = DriveFocus(panel);
    // Posted keys leave the key state alone: Shift is set on the tool's own input state.
    DWORD thread = GetWindowThreadProcessId(panel, NULL);
    AttachThreadInput(GetCurrentThreadId(), thread, TRUE);
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_SHIFT] = shift ? 0x80 : 0;
    SetKeyboardState(keys);
    UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
    PostMessageW(target, WM_KEYDOWN, vk, LPARAM(1 | scan << 16));
    PostMessageW(target, WM_KEYUP, vk, LPARAM(1 | scan << 16 | 3u << 30));
    DriveWaitFor([&] { return DriveFocus(panel) != before; }, 1000);
    keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
    AttachThreadInput(GetCurrentThreadId(), thread, FALSE);
    return DriveFocus(panel);
}
