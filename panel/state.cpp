// Link supervision, channel read-back and channel setting, and taking back a port that went
// away. Everything here runs on the user-interface thread: the tick, the buttons and the port
// notices are called there, and each report operation hands its work to that thread with
// ViewCall while the parser thread waits.
#include "panel.h"

#include "link.h"
#include "texts.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

int g_portOpen;
int g_linked;
int g_linkCountdown;
int g_configCountdown;

// The hint's look back, user-interface thread only. g_marks holds the link's counts as read on
// each of the last LINK_TICKS ticks, the oldest at g_markNext; an open or a version report sets
// them all to the counts of that moment, so nothing before it counts.
static DWORD g_marks[LINK_TICKS][COUNT_KINDS];
static int g_markNext;
// The open port as the operator opened it, and whether it went away. While it is away the
// panel stays open to the operator (g_portOpen), but the link has let go of it and the tick
// tries to open the same name again. User-interface thread only.
static int g_portAway;                      // 1: known gone, and let go of
static int g_awayTicks;                     // ticks since it was let go of
static int g_awayBusy;                      // 1: the last try found it held by another program
static char g_openName[PORT_TEXT_MAX + 1];  // the port field's text it was opened by (GBK)
static WCHAR g_openPort[PORT_TEXT_MAX + 1]; // the same, for the system's notices
static char g_hint[HINT_MAX];               // the hint shown
// The open port's device as it was when the port was opened (the record goes before the
// removal notice comes): what tells the same adapter under another name. Empty: unknown.
// User-interface thread only.
static WCHAR g_openInstance[DEVICE_ID_MAX + 1];
static WCHAR g_openHardware[DEVICE_ID_MAX + 1];
// The records of the ports' devices as last read (PanelReadDevices), first when one is needed.
// User-interface thread only.
static SerialDevice g_devices[DEVICES_MAX];
static int g_deviceCount;
static bool g_devicesRead;

static void ShowHint(const char *text)
{
    // Shown afresh only when it changes, so the line does not flicker on every tick; no hint
    // always goes to the view, which then names the device of the port in the field.
    if (text[0] != 0 && strcmp(text, g_hint) == 0)
        return;
    snprintf(g_hint, sizeof g_hint, "%s", text);
    ViewSetHint(g_hint);
}

static void LookBackFromNow()
{
    DWORD now[COUNT_KINDS];
    SerialReadCounts(now);
    for (int tick = 0; tick < LINK_TICKS; tick++)
        memcpy(g_marks[tick], now, sizeof now);
}

bool PanelPortGone(bool removed, DWORD refusedRun)
{
    // One refused write can be a driver's hiccup; two in a row with none through is a port
    // that is not there any more.
    return removed || refusedRun >= 2;
}

const char *PanelLinkHint(const DWORD seen[], bool gone)
{
    if (gone)
        return TEXT_HINT_PORT_GONE;
    // A line error is something received too: the line is not dead.
    if (seen[COUNT_BYTES_IN] == 0 && seen[COUNT_LINE_ERRORS] == 0)
        return TEXT_HINT_NO_DATA;
    if (seen[COUNT_REQUESTS_IN] != 0 && seen[COUNT_REPORTS_IN] == 0)
        return TEXT_HINT_ECHO;
    return TEXT_HINT_NO_ANSWER;
}

void PanelOpenHint(const char *name, DWORD error, char hint[HINT_MAX])
{
    const char *text = NULL;
    if (name[0] == 0)
        text = TEXT_HINT_NO_NAME;
    else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME)
        text = TEXT_HINT_NO_SUCH_PORT;
    // Windows gives a serial port to one program at a time.
    else if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_BUSY)
        text = TEXT_HINT_PORT_BUSY;
    else if (error == SERIAL_ERROR_NOT_A_PORT)
        text = TEXT_HINT_NOT_A_PORT;
    else if (error == SERIAL_ERROR_CLOSING)
        text = TEXT_HINT_CLOSING;
    if (text != NULL)
        snprintf(hint, HINT_MAX, "%s", text);
    else
        snprintf(hint, HINT_MAX, "%s%lu", TEXT_HINT_OPEN_ERROR, static_cast<unsigned long>(error));
}

// `\\.\name` opened, with what SerialOpen says.
static bool OpenPort(const char *name)
{
    char path[sizeof "\\\\.\\" + PORT_TEXT_MAX];
    snprintf(path, sizeof path, "\\\\.\\%s", name);
    return SerialOpen(path);
}

void PanelReadDevices()
{
    g_deviceCount = SerialDevices(g_devices, DEVICES_MAX);
    g_devicesRead = true;
}

const SerialDevice *PanelDeviceOf(const WCHAR *name)
{
    if (!g_devicesRead)
        PanelReadDevices();
    for (int i = 0; i < g_deviceCount; i++) {
        if (_wcsicmp(g_devices[i].port, name) == 0)
            return &g_devices[i];
    }
    return NULL;
}

// What every successful open starts afresh: a session not linked, with nothing pending and
// nothing of the last port counted. The port's device is kept, if the records know it.
static void StartSession()
{
    const SerialDevice *device = PanelDeviceOf(g_openPort);
    if (device != NULL) {
        wcscpy(g_openInstance, device->instance);
        wcscpy(g_openHardware, device->hardware);
    }
    LookBackFromNow();
    g_portAway = 0;
    g_awayBusy = 0;
    ViewSetVersion("");
    ViewSetStatus(TEXT_PORT_OPENED);
    g_configCountdown = 0;
    g_linkCountdown = LINK_TICKS;
    g_linked = 0;
}

// Lets go of the open port the moment it is known gone (`removed`: the system said so), as a
// close does, but for the operator it stays open: the tick goes on and tries to take it back.
static void LetGoIfGone(bool removed)
{
    if (g_portOpen && !g_portAway && PanelPortGone(removed, SerialRefusedRun())) {
        SerialClose();
        g_portAway = 1;
        g_awayTicks = 0;
    }
}

// The open port's name, as the port field gave it (GBK) and for the system's notices.
static void KeepOpenName(const char *name)
{
    snprintf(g_openName, sizeof g_openName, "%s", name);
    if (MultiByteToWideChar(936, 0, name, -1, g_openPort, ARRAYSIZE(g_openPort)) == 0)
        g_openPort[0] = 0;
}

// One try to open the port that went away, under its name, or under `name` when it is the same
// adapter in another socket: the port field shows that name from then on. A port that is not
// there fails at once; one that is there but held by another program says so on the hint.
static void TryTakeBack(const char *name)
{
    if (OpenPort(name)) {
        if (strcmp(name, g_openName) != 0) {
            KeepOpenName(name);
            ViewSetPortText(name);
        }
        StartSession();
        ShowHint("");
        return;
    }
    char hint[HINT_MAX];
    PanelOpenHint(name, GetLastError(), hint);
    g_awayBusy = strcmp(hint, TEXT_HINT_PORT_BUSY) == 0;
    if (g_awayBusy)
        ShowHint(hint);
}

void PanelPortRemoved(const WCHAR *name)
{
    if (_wcsicmp(name, g_openPort) == 0)
        LetGoIfGone(true);
}

// The same adapter: the same instance id, or the same first hardware id.
static bool SameDevice(const SerialDevice *device)
{
    return (g_openInstance[0] != 0 && _wcsicmp(device->instance, g_openInstance) == 0) ||
           (g_openHardware[0] != 0 && _wcsicmp(device->hardware, g_openHardware) == 0);
}

void PanelPortArrived(const WCHAR *name)
{
    if (!g_portAway)
        return;
    if (_wcsicmp(name, g_openPort) == 0) {
        TryTakeBack(g_openName);
        return;
    }
    // Most adapters plugged into another socket get another name there.
    const SerialDevice *device = PanelDeviceOf(name);
    char gbk[PORT_TEXT_MAX + 1];
    if (device != NULL && SameDevice(device) &&
        WideCharToMultiByte(936, 0, name, -1, gbk, sizeof gbk, NULL, NULL) != 0)
        TryTakeBack(gbk);
}

void PanelPortFieldChanged()
{
    if (g_portOpen == 0)
        ShowHint("");
}

void PanelInitState()
{
    g_linkCountdown = 0;
    g_linked = 0;
}

static void VersionReport(const void *arg)
{
    ViewSetVersion(static_cast<const char *>(arg));
    g_linkCountdown = LINK_TICKS;
    if (g_linked == 0) {
        // Read the channel back once per link-up, not on every report.
        g_linked = 1;
        ViewSetStatus(TEXT_LINKED);
        SerialSendFrame(FRAME_QUERY_CHANNEL, sizeof FRAME_QUERY_CHANNEL);
        ShowHint("");
    }
    // The transmitter's answer, and all before it, says nothing of a silence that may follow.
    LookBackFromNow();
}

static void ChannelReport(const void *arg)
{
    ViewEnableChannelList(true);
    ViewEnableApply(true);
    ViewSelectChannel(*static_cast<const BYTE *>(arg));   // the wire index is the list position
}

static void ConfigResult(const void *arg)
{
    g_configCountdown = 0;
    ViewSetStatus(*static_cast<const BYTE *>(arg) ? TEXT_CONFIG_OK : TEXT_CONFIG_FAILED);
    ViewEnableApply(true);
}

void OnVersionReport(const char *text)
{
    ViewCall(VersionReport, text);
}

void OnChannelReport(BYTE index)
{
    ViewCall(ChannelReport, &index);
}

void OnConfigResult(BYTE result)
{
    ViewCall(ConfigResult, &result);
}

void PanelTick()
{
    SerialSendFrame(FRAME_POLL, sizeof FRAME_POLL);
    if (g_configCountdown > 0 && --g_configCountdown == 0) {
        ViewSetStatus(TEXT_CONFIG_TIMEOUT);
        ViewEnableApply(true);
    }
    // After the configuration countdown, so that a loss on the same tick has the last word.
    if (g_linkCountdown > 0 && --g_linkCountdown == 0) {
        ViewSetVersion("");
        ViewSetStatus(TEXT_LINK_LOST);
        g_linked = 0;
    }

    // A port known gone is let go of; while it is away it is tried again every second, for
    // systems that send no notices.
    LetGoIfGone(false);
    if (g_portAway && ++g_awayTicks % 2 == 0)
        TryTakeBack(g_openName);

    // What the line did since the reading LINK_TICKS ticks ago, or since the open or the last
    // version report; said from the tick the status gave up on the transmitter, unless a try to
    // take the port back found it held.
    DWORD now[COUNT_KINDS], seen[COUNT_KINDS];
    SerialReadCounts(now);
    for (int i = 0; i < COUNT_KINDS; i++)
        seen[i] = now[i] - g_marks[g_markNext][i];
    memcpy(g_marks[g_markNext], now, sizeof now);
    g_markNext = (g_markNext + 1) % LINK_TICKS;
    if (g_portOpen && g_linkCountdown == 0 && !g_awayBusy)
        ShowHint(PanelLinkHint(seen, g_portAway != 0));
}

static void PanelOpen()
{
    char name[PORT_TEXT_MAX + 1];
    ViewGetPortText(name);
    ShowHint("");
    if (!OpenPort(name)) {
        char hint[HINT_MAX];
        PanelOpenHint(name, GetLastError(), hint);
        ViewSetStatus(TEXT_PORT_OPEN_FAILED);
        ShowHint(hint);
        return;
    }
    KeepOpenName(name);
    g_openInstance[0] = g_openHardware[0] = 0;
    StartSession();
    ViewEnablePortList(false);
    ViewStartTick();
    g_portOpen = 1;
    ViewSetOpenCaption(TEXT_CLOSE_PORT);
}

static void PanelClose()
{
    SerialClose();              // nothing left to close when the port is away
    ViewStopTick();
    g_portOpen = 0;
    g_portAway = 0;
    g_awayBusy = 0;
    ViewSetOpenCaption(TEXT_OPEN_PORT);
    ViewEnablePortList(true);
    ViewEnableChannelList(false);
    ViewEnableApply(false);
    // The version, the link flag and both countdowns stay: the stopped tick freezes them and
    // the next open starts afresh.
    ViewSetStatus(TEXT_PORT_CLOSED);
    ShowHint("");
}

void PanelOpenClose()
{
    if (g_portOpen == 0)
        PanelOpen();
    else
        PanelClose();
}

void PanelApply()
{
    int index = ViewGetChannel();
    ViewEnableApply(false);
    ViewSetStatus("");
    SerialSendChannel(index);   // no selection (-1) goes out as 0xFF
    g_configCountdown = CONFIG_TICKS;
}
