#include "hook.h"

#include "unix.h"

#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>

// Whether the module at `path` (a Windows path) is loaded in `process`.
static bool LoadedIn(HANDLE process, const std::wstring &path)
{
    HMODULE modules[512];
    DWORD size = 0;
    if (!EnumProcessModules(process, modules, sizeof modules, &size))
        return false;
    for (DWORD i = 0; i < size / sizeof modules[0] && i < ARRAYSIZE(modules); i++) {
        wchar_t name[MAX_PATH];
        if (GetModuleFileNameExW(process, modules[i], name, MAX_PATH) != 0 && lstrcmpiW(name, path.c_str()) == 0)
            return true;
    }
    return false;
}

// A thread made in another process, by a thread of this one: seen to hang for good under Wine,
// and then the hook fails instead of its caller hanging with it.
struct RemoteThread {
    HANDLE target;
    LPTHREAD_START_ROUTINE start;
    void *arg;
    HANDLE made;
};

static DWORD WINAPI MakeRemoteThread(LPVOID arg)
{
    RemoteThread *r = static_cast<RemoteThread *>(arg);
    r->made = CreateRemoteThread(r->target, NULL, 0, r->start, r->arg, 0, NULL);
    return 0;
}

bool HookInto(HANDLE process)
{
    const char *dll = getenv("RQ47_HOOK");
    if (dll == NULL || *dll == 0)
        return false;
    std::string narrow = UnixPath(dll);
    std::wstring path(MAX_PATH, L'\0');
    int n = MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, &path[0], MAX_PATH);
    if (n == 0)
        return false;
    path.resize(n - 1);

    // DriveStart's handle of a tool started in another locale may not write to it.
    HANDLE target = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_VM_OPERATION | PROCESS_VM_WRITE | PROCESS_VM_READ |
                                    PROCESS_QUERY_INFORMATION | SYNCHRONIZE,
                                FALSE, GetProcessId(process));
    if (target == NULL)
        return false;
    // Not while the tool is still starting up: under 64-bit Wine a thread made in a tool that is
    // reading its device records (SetupAPI, loaded at the first read) can hang its maker for good.
    WaitForInputIdle(target, 5000);
    SIZE_T size = (path.size() + 1) * sizeof(wchar_t);
    void *remote = VirtualAllocEx(target, NULL, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    bool loaded = false;
    if (remote != NULL && WriteProcessMemory(target, remote, path.c_str(), size, NULL)) {
        // The system's DLLs lie at the same place in every process of one bitness, so this
        // process's LoadLibraryW is the tool's too.
        LPTHREAD_START_ROUTINE load = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32"), "LoadLibraryW")));
        RemoteThread *r = new RemoteThread{target, load, remote, NULL};
        HANDLE maker = CreateThread(NULL, 0, MakeRemoteThread, r, 0, NULL);
        if (maker == NULL || WaitForSingleObject(maker, 10000) != WAIT_OBJECT_0) {
            fprintf(stderr, "HookInto: no thread could be made in the tool\n");
            return false;   // the maker may still use the handle, the memory and `r`
        }
        CloseHandle(maker);
        HANDLE thread = r->made;
        delete r;
        if (thread != NULL) {
            DWORD code = 0;
            bool done = WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0 && GetExitCodeThread(thread, &code);
            // The exit code is the module's handle cut to 32 bits: 0 for a 64-bit one loaded at
            // a multiple of 4 GiB, so then the tool's module list says.
            loaded = done && (code != 0 || LoadedIn(target, path));
            CloseHandle(thread);
            if (!done)
                remote = NULL;   // the thread may still read it
        }
    }
    if (remote != NULL)
        VirtualFreeEx(target, remote, 0, MEM_RELEASE);
    CloseHandle(target);
    return loaded;
}

void SlowOpenSet(const wchar_t *port, DWORD ms)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, SLOW_OPENS_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) != ERROR_SUCCESS)
        return;
    if (ms == 0)
        RegDeleteValueW(key, port);
    else
        RegSetValueExW(key, port, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&ms), sizeof ms);
    RegCloseKey(key);
}

// The DWORD value `port` + `suffix` of the key; 0 when there is none.
static DWORD SlowCount(const wchar_t *port, const wchar_t *suffix)
{
    std::wstring name = std::wstring(port) + suffix;
    DWORD value = 0, size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, SLOW_OPENS_KEY, name.c_str(), RRF_RT_REG_DWORD, NULL, &value, &size) != ERROR_SUCCESS)
        return 0;
    return value;
}

DWORD SlowOpensBegun(const wchar_t *port)
{
    return SlowCount(port, SLOW_BEGUN);
}

DWORD SlowOpensMostAtOnce(const wchar_t *port)
{
    return SlowCount(port, SLOW_MOST);
}

void SlowOpensClear()
{
    RegDeleteKeyW(HKEY_CURRENT_USER, SLOW_OPENS_KEY);
}

std::map<int, std::vector<std::wstring>> HookDrawn()
{
    std::map<int, std::map<int, std::wstring>> at;
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, DRAWN_KEY, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        wchar_t where[32], text[256];
        DWORD whereLength = ARRAYSIZE(where), size = sizeof text - sizeof(wchar_t), type;
        for (DWORD i = 0; RegEnumValueW(key, i, where, &whereLength, NULL, &type, reinterpret_cast<BYTE *>(text), &size) ==
                          ERROR_SUCCESS;
             i++, whereLength = ARRAYSIZE(where), size = sizeof text - sizeof(wchar_t)) {
            text[size / sizeof(wchar_t)] = 0;
            int top = 0, left = 0;
            if (type == REG_SZ && swscanf(where, L"%d %d", &top, &left) == 2)
                at[top][left] = text;
        }
        RegCloseKey(key);
    }
    std::map<int, std::vector<std::wstring>> rows;
    for (const auto &row : at) {
        for (const auto &text : row.second)
            rows[row.first].push_back(text.second);
    }
    return rows;
}

void HookDrawnClear()
{
    RegDeleteKeyW(HKEY_CURRENT_USER, DRAWN_KEY);
}
