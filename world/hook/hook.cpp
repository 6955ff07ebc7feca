// rq47hook.dll: loaded into a running tool by the tests (world/drive/hook.h), never part of the
// product. It makes a read/write open of \\.\NAME wait as long as the registry says for NAME,
// in the thread that opens, and counts those opens there; and it keeps what the tool's own code
// draws into a dropped list (the values are described in hook.h). The tool is linked
// statically, so its import table takes CreateFileA and CreateFileW straight from KERNEL32 and
// DrawTextW from USER32: those entries are pointed here at load, and the waits happen in the
// tool's own threads, as a slow driver's would. Everything else passes straight through.
#include "hook.h"

#include <string.h>
#include <wchar.h>

typedef HANDLE(WINAPI *CreateFileWFn)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
typedef HANDLE(WINAPI *CreateFileAFn)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
typedef int(WINAPI *DrawTextWFn)(HDC, LPCWSTR, int, LPRECT, UINT);

// What the tool's import table named before it was pointed here.
static CreateFileWFn g_createFileW;
static CreateFileAFn g_createFileA;
static DrawTextWFn g_drawTextW;

// Room for a port's name and its zero (longer names are never slowed), and for the ports with
// opens in progress at once (more are slowed and counted as begun, not as in progress).
enum { PORT_CHARS = 64, PORTS_MAX = 64 };

// The slowed opens in progress in this process, per port; a slot whose count is 0 is free.
// g_lock guards them and the counts' read-modify-write in the registry.
struct OpensOf {
    wchar_t port[PORT_CHARS];
    LONG inProgress;
};
static OpensOf g_opens[PORTS_MAX];
static SRWLOCK g_lock = SRWLOCK_INIT;

// The port of a `\\.\NAME` path, in capitals, into `port` (PORT_CHARS); false for any other path.
static bool PortOf(const wchar_t *path, wchar_t *port)
{
    if (path == NULL || wcsncmp(path, L"\\\\.\\", 4) != 0 || path[4] == 0)
        return false;
    size_t n = wcslen(path + 4);
    if (n >= PORT_CHARS)
        return false;
    for (size_t i = 0; i <= n; i++) {
        wchar_t c = path[4 + i];
        port[i] = c >= L'a' && c <= L'z' ? wchar_t(c - L'a' + L'A') : c;
    }
    return true;
}

// The slot of `port`, taken when it has none; NULL when all are in use. Under g_lock.
static OpensOf *SlotOf(const wchar_t *port)
{
    OpensOf *unused = NULL;
    for (OpensOf &s : g_opens) {
        if (s.inProgress > 0 && wcscmp(s.port, port) == 0)
            return &s;
        if (s.inProgress == 0 && unused == NULL)
            unused = &s;
    }
    if (unused != NULL)
        wcscpy(unused->port, port);
    return unused;
}

static DWORD ReadDword(HKEY key, const wchar_t *name)
{
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegQueryValueExW(key, name, NULL, &type, reinterpret_cast<BYTE *>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return 0;
    return value;
}

static void WriteDword(HKEY key, const wchar_t *name, DWORD value)
{
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
}

// Counts an open of `port` as begun and in progress, and returns its delay in ms; `slot` is
// where it is counted for OpenEnds (NULL when all slots were in use).
static DWORD OpenBegins(const wchar_t *port, OpensOf **slot)
{
    AcquireSRWLockExclusive(&g_lock);
    *slot = SlotOf(port);
    DWORD now = *slot != NULL ? DWORD(++(*slot)->inProgress) : 0;
    DWORD delay = 0;
    HKEY key;
    // Created here too, so that a test may read counts before it ever set a delay.
    if (RegCreateKeyExW(HKEY_CURRENT_USER, SLOW_OPENS_KEY, 0, NULL, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, NULL, &key,
                        NULL) == ERROR_SUCCESS) {
        delay = ReadDword(key, port);
        wchar_t name[PORT_CHARS + 8];
        wcscpy(name, port);
        wcscat(name, SLOW_BEGUN);
        WriteDword(key, name, ReadDword(key, name) + 1);
        wcscpy(name, port);
        wcscat(name, SLOW_MOST);
        if (now > ReadDword(key, name))
            WriteDword(key, name, now);
        RegCloseKey(key);
    }
    ReleaseSRWLockExclusive(&g_lock);
    return delay;
}

static void OpenEnds(OpensOf *slot)
{
    if (slot == NULL)
        return;
    AcquireSRWLockExclusive(&g_lock);
    slot->inProgress--;
    ReleaseSRWLockExclusive(&g_lock);
}

// `open()` made as slowly as the registry says for `port`, and counted, keeping its last error.
template <typename Open> static HANDLE Slowed(const wchar_t *port, Open open)
{
    OpensOf *slot;
    DWORD delay = OpenBegins(port, &slot);
    if (delay > 0)
        Sleep(delay);
    HANDLE h = open();
    DWORD error = GetLastError();   // the caller reads the open's, not ours
    OpenEnds(slot);
    SetLastError(error);
    return h;
}

static HANDLE WINAPI SlowCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE templateFile)
{
    auto open = [&] { return g_createFileW(path, access, share, security, disposition, flags, templateFile); };
    wchar_t port[PORT_CHARS];
    return access != 0 && PortOf(path, port) ? Slowed(port, open) : open();
}

static HANDLE WINAPI SlowCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE templateFile)
{
    auto open = [&] { return g_createFileA(path, access, share, security, disposition, flags, templateFile); };
    wchar_t wide[4 + PORT_CHARS], port[PORT_CHARS];
    return access != 0 && path != NULL && MultiByteToWideChar(CP_ACP, 0, path, -1, wide, ARRAYSIZE(wide)) != 0 &&
                   PortOf(wide, port)
               ? Slowed(port, open)
               : open();
}

// The tool's own drawing (the port list's entries): what it draws into a dropped list (a window
// of class ComboLBox) is kept under DRAWN_KEY, a value a text, named by where it was drawn.
static int WINAPI KeptDrawTextW(HDC dc, LPCWSTR text, int count, LPRECT rect, UINT format)
{
    int height = g_drawTextW(dc, text, count, rect, format);
    wchar_t cls[16] = L"";
    HWND window = WindowFromDC(dc);
    HKEY key;
    if (text != NULL && rect != NULL && window != NULL && GetClassNameW(window, cls, ARRAYSIZE(cls)) != 0 &&
        lstrcmpiW(cls, L"ComboLBox") == 0 &&
        RegCreateKeyExW(HKEY_CURRENT_USER, DRAWN_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) == ERROR_SUCCESS) {
        wchar_t where[32];
        wsprintfW(where, L"%d %d", rect->top, rect->left);
        size_t length = count < 0 ? wcslen(text) : size_t(count);
        wchar_t kept[256];
        length = length < ARRAYSIZE(kept) - 1 ? length : ARRAYSIZE(kept) - 1;
        wmemcpy(kept, text, length);
        kept[length] = 0;
        RegSetValueExW(key, where, 0, REG_SZ, reinterpret_cast<const BYTE *>(kept), DWORD((length + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    return height;
}

// Points import table entry `slot` at `to`; false when its page could not be made writable.
static bool Redirect(void **slot, void *to)
{
    DWORD old;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old))
        return false;
    InterlockedExchangePointer(slot, to);
    VirtualProtect(slot, sizeof *slot, old, &old);
    return true;
}

// The main module's import entries pointed here, and where what they named is kept.
static const struct {
    const char *dll, *name;
    void **original;
    void *to;
} g_hooks[] = {
    {"KERNEL32.dll", "CreateFileW", reinterpret_cast<void **>(&g_createFileW), reinterpret_cast<void *>(SlowCreateFileW)},
    {"KERNEL32.dll", "CreateFileA", reinterpret_cast<void **>(&g_createFileA), reinterpret_cast<void *>(SlowCreateFileA)},
    {"USER32.dll", "DrawTextW", reinterpret_cast<void **>(&g_drawTextW), reinterpret_cast<void *>(KeptDrawTextW)},
};

// Points the main module's entries of g_hooks here, keeping what they named; returns how many
// it redirected.
static int RedirectImports()
{
    BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleW(NULL));
    const IMAGE_NT_HEADERS *nt =
        reinterpret_cast<const IMAGE_NT_HEADERS *>(base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return 0;
    int redirected = 0;
    for (const IMAGE_IMPORT_DESCRIPTOR *d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         d->Name != 0; d++) {
        if (d->OriginalFirstThunk == 0)
            continue;
        // The names live in the lookup table; the address table beside it holds what was bound.
        const char *dll = reinterpret_cast<const char *>(base + d->Name);
        const IMAGE_THUNK_DATA *names = reinterpret_cast<const IMAGE_THUNK_DATA *>(base + d->OriginalFirstThunk);
        IMAGE_THUNK_DATA *bound = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; names++, bound++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const char *name = reinterpret_cast<const char *>(
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData)->Name);
            void **slot = reinterpret_cast<void **>(&bound->u1.Function);
            for (const auto &h : g_hooks) {
                // What the entry named is kept before the entry changes: a call may come through it at once.
                if (lstrcmpiA(dll, h.dll) == 0 && strcmp(name, h.name) == 0 && *h.original == NULL) {
                    *h.original = *slot;
                    redirected += Redirect(slot, h.to);
                }
            }
        }
    }
    return redirected;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    DisableThreadLibraryCalls(self);
    // With nothing redirected the load fails, and the test hears of it.
    if (RedirectImports() == 0)
        return FALSE;
    // Never unloaded: the tool's import table points here for the rest of its life.
    HMODULE pinned;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&g_opens), &pinned);
    return TRUE;
}
