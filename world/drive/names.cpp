#include "names.h"

#include "unix.h"

#include <winternl.h>

namespace {

typedef LONG(NTAPI *OpenLink)(HANDLE *, ACCESS_MASK, OBJECT_ATTRIBUTES *);
typedef LONG(NTAPI *QueryLink)(HANDLE, UNICODE_STRING *, ULONG *);
typedef LONG(NTAPI *MakeTemporary)(HANDLE);
typedef LONG(NTAPI *CreateLink)(HANDLE *, ACCESS_MASK, OBJECT_ATTRIBUTES *, UNICODE_STRING *);

enum : ACCESS_MASK { LINK_QUERY = 0x0001, LINK_ALL = 0xF0001 };

template <typename F> F Ntdll(const char *name)
{
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll"), name)));
}

UNICODE_STRING Counted(std::wstring *text)
{
    return {USHORT(2 * text->size()), USHORT(2 * text->size()), &(*text)[0]};
}

OBJECT_ATTRIBUTES Attributes(UNICODE_STRING *object, ULONG flags)
{
    OBJECT_ATTRIBUTES attr = {};   // by field: 64-bit headers pad it
    attr.Length = sizeof attr;
    attr.ObjectName = object;
    attr.Attributes = OBJ_CASE_INSENSITIVE | flags;
    return attr;
}

// The link \??\`name`, opened with `access`, to `fn`; false when there is none.
template <typename Fn> bool WithLink(const wchar_t *name, ACCESS_MASK access, Fn fn)
{
    std::wstring path = std::wstring(L"\\??\\") + name;
    UNICODE_STRING object = Counted(&path);
    OBJECT_ATTRIBUTES attr = Attributes(&object, 0);
    HANDLE link = NULL;
    if (Ntdll<OpenLink>("NtOpenSymbolicLinkObject")(&link, access, &attr) != 0)
        return false;
    bool done = fn(link);
    CloseHandle(link);
    return done;
}

} // namespace

std::wstring NameTarget(const wchar_t *name)
{
    wchar_t buf[MAX_PATH];
    UNICODE_STRING target = {0, USHORT(sizeof buf - sizeof buf[0]), buf};
    ULONG length = 0;
    if (!WithLink(name, LINK_QUERY, [&](HANDLE link) {
            return Ntdll<QueryLink>("NtQuerySymbolicLinkObject")(link, &target, &length) == 0;
        }))
        return L"";
    return std::wstring(buf, target.Length / sizeof(wchar_t));
}

bool NameRemove(const wchar_t *name)
{
    // A permanent link goes with its last handle once it is made temporary.
    return WithLink(name, DELETE, [](HANDLE link) {
        return Ntdll<MakeTemporary>("NtMakeTemporaryObject")(link) == 0;
    });
}

// The switchboard's request `what` for port `name` (ASCII, as the test world's ports are).
static bool Switch(const char *what, const wchar_t *name)
{
    std::wstring wide(name);
    return WorldTrigger(what + std::string(wide.begin(), wide.end()));
}

bool PortPull(const wchar_t *name)
{
    bool ended = Switch("unplug-", name);
    return NameRemove(name) && ended;
}

bool PortPlug(const wchar_t *name, const std::wstring &target)
{
    bool made = Switch("replug-", name);
    return NameMake(name, target) && made;
}

bool NameMake(const wchar_t *name, const std::wstring &target)
{
    std::wstring path = std::wstring(L"\\??\\") + name, to = target;
    UNICODE_STRING object = Counted(&path), destination = Counted(&to);
    OBJECT_ATTRIBUTES attr = Attributes(&object, OBJ_PERMANENT);
    HANDLE link = NULL;
    if (to.empty() || Ntdll<CreateLink>("NtCreateSymbolicLinkObject")(&link, LINK_ALL, &attr, &destination) != 0)
        return false;
    CloseHandle(link);
    return true;
}
