#include "records.h"

#include <initguid.h>   // defines GUID_DEVCLASS_PORTS here
#include <devguid.h>
#include <setupapi.h>

#include <set>
#include <string>

// The instance ids this process made records for and has not removed.
static std::set<std::wstring> g_made;

bool RecordAdd(const wchar_t *instance, const wchar_t *port, const wchar_t *friendly, const wchar_t *hardware)
{
    RecordRemove(instance);
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    bool made = SetupDiCreateDeviceInfoW(set, instance, &GUID_DEVCLASS_PORTS, NULL, NULL, 0, &device) &&
                SetupDiRegisterDeviceInfo(set, &device, 0, NULL, NULL, NULL);
    if (made)
        g_made.insert(instance);
    if (made && friendly != NULL)
        made = SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, reinterpret_cast<const BYTE *>(friendly),
                                                 DWORD((wcslen(friendly) + 1) * sizeof(wchar_t)));
    if (made && hardware != NULL) {
        std::wstring list = std::wstring(hardware) + L'\0';   // a list of one, and its end
        made = SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE *>(list.c_str()),
                                                 DWORD((list.size() + 1) * sizeof(wchar_t)));
    }
    if (made && port != NULL) {
        HKEY key = SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
        made = key != INVALID_HANDLE_VALUE &&
               RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE *>(port),
                              DWORD((wcslen(port) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
        if (key != INVALID_HANDLE_VALUE)
            RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(set);
    return made;
}

bool RecordRemove(const wchar_t *instance)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    bool removed = SetupDiOpenDeviceInfoW(set, instance, NULL, 0, &device) &&
                   SetupDiRemoveDevice(set, &device);
    SetupDiDestroyDeviceInfoList(set);
    g_made.erase(instance);
    return removed;
}

int RecordRemoveEvery()
{
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, NULL, NULL, 0);
    if (set == INVALID_HANDLE_VALUE)
        return 0;
    int removed = 0;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); i++)
        removed += SetupDiRemoveDevice(set, &device) ? 1 : 0;
    SetupDiDestroyDeviceInfoList(set);
    g_made.clear();
    return removed;
}

void RecordRemoveAll()
{
    while (!g_made.empty())
        RecordRemove(g_made.begin()->c_str());
}
