#include "driver.h"

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

std::string DriveUtf8(const std::string &gbk)
{
    return Narrow(Wide(gbk), CP_UTF8);
}

HWND DriveFindMain(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        // The window shows only once its panel is initialised.
        HWND main = FindWindowA("Pellwick", NULL);
        if (main != NULL && IsWindowVisible(main))
            return main;
        if (GetTickCount() - start >= timeoutMs)
            return NULL;
        Sleep(20);
    }
}

HWND DrivePanel(HWND main)
{
    return FindWindowExA(main, NULL, MAKEINTRESOURCEA(32770), NULL);   // the dialog class
}

void DriveClick(HWND panel, int id)
{
    SendMessageA(panel, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(panel, id)));
}

std::string DriveText(HWND window)
{
    // Ask the window itself (a combo box's text lives in its edit field), in UTF-16: ANSI texts
    // are not converted reliably across processes under Wine.
    wchar_t buf[512];
    LRESULT n = SendMessageW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buf));
    return Narrow(std::wstring(buf, n > 0 ? size_t(n) : 0), 936);
}

std::string DriveItemText(HWND panel, int id)
{
    return DriveText(GetDlgItem(panel, id));
}

void DriveSetText(HWND panel, int id, const std::string &text)
{
    std::wstring w = Wide(text);
    SendMessageW(GetDlgItem(panel, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(w.c_str()));
}

bool DriveEnabled(HWND panel, int id)
{
    return IsWindowEnabled(GetDlgItem(panel, id)) != FALSE;
}

std::vector<std::string> DriveListItems(HWND panel, int id)
{
    HWND list = GetDlgItem(panel, id);
    std::vector<std::string> items;
    int count = int(SendMessageW(list, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; i++) {
        int len = int(SendMessageW(list, CB_GETLBTEXTLEN, i, 0));
        if (len < 0)
            break;
        std::wstring w(len + 1, L'\0');
        SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&w[0]));
        w.resize(len);
        items.push_back(Narrow(w, 936));
    }
    return items;
}

int DriveSelection(HWND panel, int id)
{
    return int(SendDlgItemMessageW(panel, id, CB_GETCURSEL, 0, 0));
}

void DriveSelect(HWND panel, int id, int index)
{
    SendDlgItemMessageW(panel, id, CB_SETCURSEL, WPARAM(index), 0);
}

bool DriveWaitText(HWND panel, int id, const std::string &text, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (DriveItemText(panel, id) == text)
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(5);
    }
}

DriveProcess DriveStart(const std::string &exe)
{
    DriveProcess p = {};
    std::string line = "\"" + exe + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (!CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &p.process))
        return p;
    DWORD start = GetTickCount();
    while (p.main == NULL && GetTickCount() - start < 10000) {
        // Only this instance's window counts.
        HWND w = DriveFindMain(100);
        DWORD pid = 0;
        if (w != NULL)
            GetWindowThreadProcessId(w, &pid);
        if (pid == p.process.dwProcessId)
            p.main = w;
    }
    if (p.main != NULL)
        p.panel = DrivePanel(p.main);
    return p;
}

void DriveStop(DriveProcess *p)
{
    if (p->process.hProcess == NULL)
        return;
    TerminateProcess(p->process.hProcess, 0);
    WaitForSingleObject(p->process.hProcess, 5000);
    CloseHandle(p->process.hProcess);
    CloseHandle(p->process.hThread);
    p->process.hProcess = NULL;
    p->main = p->panel = NULL;
}
