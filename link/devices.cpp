// The devices behind the ports, from the system's Plug and Play records (SetupAPI). The records
// are the system's, written by drivers and installers: every value is taken only as far as the
// size the system returned, and ended here, never trusted to end by itself.
#include "link.h"

#include <initguid.h>   // defines GUID_DEVCLASS_PORTS here
#include <devguid.h>
#include <setupapi.h>
#include <wchar.h>

// SetupAPI is loaded, and its functions looked up, the first time the records are read, not
// with the program: under Wine loading it costs the start-up about 40 ms. Set once, on the
// user-interface thread.
static int g_setupApi;   // 0: not tried yet; 1: ready; -1: not to be had
static decltype(&SetupDiGetClassDevsW) g_getClassDevs;
static decltype(&SetupDiEnumDeviceInfo) g_enumDeviceInfo;
static decltype(&SetupDiOpenDevRegKey) g_openDevRegKey;
static decltype(&SetupDiGetDeviceRegistryPropertyW) g_getRegistryProperty;
static decltype(&SetupDiGetDeviceInstanceIdW) g_getInstanceId;
static decltype(&SetupDiDestroyDeviceInfoList) g_destroyList;

template <typename F> static bool Find(HMODULE module, F *fn, const char *name)
{
    *fn = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    return *fn != NULL;
}

static bool LoadSetupApi()
{
    if (g_setupApi == 0) {
        HMODULE m = LoadLibraryW(L"setupapi.dll");
        bool found = m != NULL && Find(m, &g_getClassDevs, "SetupDiGetClassDevsW") &&
                     Find(m, &g_enumDeviceInfo, "SetupDiEnumDeviceInfo") &&
                     Find(m, &g_openDevRegKey, "SetupDiOpenDevRegKey") &&
                     Find(m, &g_getRegistryProperty, "SetupDiGetDeviceRegistryPropertyW") &&
                     Find(m, &g_getInstanceId, "SetupDiGetDeviceInstanceIdW") &&
                     Find(m, &g_destroyList, "SetupDiDestroyDeviceInfoList");
        g_setupApi = found ? 1 : -1;
    }
    return g_setupApi == 1;
}

// Property `property` of a record as text: a string, or the first string of a list. False when
// it is missing, of another type, or does not fit `capacity` characters.
static bool ReadProperty(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD property, WCHAR *text, DWORD capacity)
{
    DWORD type = 0, size = 0;
    if (!g_getRegistryProperty(set, device, property, &type, reinterpret_cast<BYTE *>(text),
                               (capacity - 1) * sizeof(WCHAR), &size) ||
        (type != REG_SZ && type != REG_MULTI_SZ))
        return false;
    text[size / sizeof(WCHAR) < capacity - 1 ? size / sizeof(WCHAR) : capacity - 1] = 0;
    return true;
}

// The record's PortName: false unless it has 1 to PORT_NAME_MAX characters.
static bool ReadPortName(HDEVINFO set, SP_DEVINFO_DATA *device, WCHAR port[PORT_NAME_MAX + 1])
{
    HKEY key = g_openDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE)
        return false;
    // Room for the longest name and the terminator stored with it, and a character more to end
    // a value stored without one. A longer name fails with ERROR_MORE_DATA or fills the room.
    WCHAR name[PORT_NAME_MAX + 2];
    DWORD type = 0, size = (PORT_NAME_MAX + 1) * sizeof(WCHAR);
    LONG status = RegQueryValueExW(key, L"PortName", NULL, &type, reinterpret_cast<BYTE *>(name), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return false;
    name[size / sizeof(WCHAR)] = 0;
    size_t length = wcslen(name);
    if (length < 1 || length > PORT_NAME_MAX)
        return false;
    wmemcpy(port, name, length + 1);
    return true;
}

void SerialDeviceName(const WCHAR *text, const WCHAR *port, WCHAR name[DEVICE_NAME_MAX + 1])
{
    size_t length = wcslen(text), portLength = wcslen(port);
    // "... (COM4)": the name ends before the space.
    if (portLength > 0 && length >= portLength + 3 && text[length - 1] == L')' &&
        _wcsnicmp(text + length - portLength - 1, port, portLength) == 0 &&
        wcsncmp(text + length - portLength - 3, L" (", 2) == 0)
        length -= portLength + 3;
    if (length > DEVICE_NAME_MAX)
        length = DEVICE_NAME_MAX;
    wmemcpy(name, text, length);
    name[length] = 0;
}

int SerialDevices(SerialDevice devices[], int max)
{
    if (!LoadSetupApi())
        return 0;
    HDEVINFO set = g_getClassDevs(&GUID_DEVCLASS_PORTS, NULL, NULL, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return 0;
    int count = 0;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; count < max && g_enumDeviceInfo(set, i, &device); i++) {
        SerialDevice *d = &devices[count];
        if (!ReadPortName(set, &device, d->port))
            continue;
        bool listed = false;
        for (int j = 0; j < count && !listed; j++)
            listed = _wcsicmp(devices[j].port, d->port) == 0;
        if (listed)
            continue;
        // Room for any name worth showing; a longer one is taken as no name.
        WCHAR text[512];
        if (!ReadProperty(set, &device, SPDRP_FRIENDLYNAME, text, ARRAYSIZE(text)) &&
            !ReadProperty(set, &device, SPDRP_DEVICEDESC, text, ARRAYSIZE(text)))
            text[0] = 0;
        SerialDeviceName(text, d->port, d->name);
        if (!g_getInstanceId(set, &device, d->instance, ARRAYSIZE(d->instance), NULL))
            d->instance[0] = 0;
        d->instance[DEVICE_ID_MAX] = 0;
        if (!ReadProperty(set, &device, SPDRP_HARDWAREID, d->hardware, ARRAYSIZE(d->hardware)))
            d->hardware[0] = 0;
        count++;
    }
    g_destroyList(set);
    return count;
}
