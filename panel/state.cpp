// Link supervision, channel read-back and channel setting, and taking back a port that went
// away. Everything here runs on the user-interface thread: the tick, the buttons and the port
// notices are called there, each report operation hands its work to that thread with ViewCall
// while the parser thread waits, and the ends of the opener's opens come back to it as a message.
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
// panel stays open to the operator (g_portOpen), but the link has let go of it and the opener
// tries to open it again, one try at a time. User-interface thread only.
static int g_opening;                       // 1: the operator's open outlasted OPEN_QUICK_MS
                                            // and is under way (取消 shown)
static int g_portAway;                      // 1: known gone, and let go of
static int g_awayTicks;                     // ticks since it was let go of
static int g_awayBusy;                      // 1: the last round of tries found a port held by
                                            // another program
static char g_openName[PORT_TEXT_MAX + 1];  // the port field's text it was opened by (GBK)
static WCHAR g_openPort[PORT_TEXT_MAX + 1]; // the same, for the system's notices
static char g_candidate[PORT_TEXT_MAX + 1]; // while away: a port taken for its adapter in another
static WCHAR g_candidatePort[PORT_TEXT_MAX + 1]; // socket, tried after the own name; "": none
static char g_trying[PORT_TEXT_MAX + 1];    // the name the opener is opening; "": none wanted
static char g_hint[HINT_MAX];               // the hint shown
// The open port's device record as it was when the port was last opened (the record goes
// before the removal notice comes), and whether its model was alone at the operator's open and
// no two records of it have been seen at once since: what tells the same adapter under another
// name. All empty: unknown. User-interface thread only.
static SerialDevice g_openDevice;
static bool g_openAlone;
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

enum { PATH_MAX_BYTES = sizeof "\\\\.\\" + PORT_TEXT_MAX };

// The device path of port `name`: `\\.\name`.
static void PortPath(const char *name, char path[PATH_MAX_BYTES])
{
    snprintf(path, PATH_MAX_BYTES, "\\\\.\\%s", name);
}

static bool SameId(const WCHAR *a, const WCHAR *b)
{
    return a[0] != 0 && _wcsicmp(a, b) == 0;
}

// Records in `devices` with first hardware id `hardware`.
static int OfModel(const WCHAR *hardware, const SerialDevice devices[], int count)
{
    int n = 0;
    for (int i = 0; i < count; i++)
        n += SameId(hardware, devices[i].hardware);
    return n;
}

void PanelReadDevices()
{
    g_deviceCount = SerialDevices(g_devices, DEVICES_MAX);
    g_devicesRead = true;
    // Two adapters of the open port's model: from now on its id tells them apart no more.
    if (OfModel(g_openDevice.hardware, g_devices, g_deviceCount) > 1)
        g_openAlone = false;
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

bool PanelModelAlone(const SerialDevice *open, const SerialDevice devices[], int count)
{
    for (int i = 0; i < count; i++) {
        if (SameId(open->hardware, devices[i].hardware) && _wcsicmp(devices[i].port, open->port) != 0)
            return false;
    }
    return open->hardware[0] != 0;
}

bool PanelIsPulledAdapter(const WCHAR *name, const SerialDevice *open, bool alone, const SerialDevice devices[],
                          int count)
{
    const SerialDevice *device = NULL;
    for (int i = 0; i < count && device == NULL; i++) {
        if (_wcsicmp(devices[i].port, name) == 0)
            device = &devices[i];
    }
    if (device == NULL)
        return false;
    if (SameId(open->instance, device->instance))
        return true;
    return alone && SameId(open->hardware, device->hardware) && OfModel(device->hardware, devices, count) == 1;
}

// What every successful open starts afresh: a session not linked, with nothing pending and
// nothing of the last port counted. The operator's open (`fresh`) keeps the port's device as the
// records last read know it, or nothing. A take-back or a follow reads them anew, and keeps the
// adapter's ids while its port has no record yet: its arrival notice may still be queued.
static void StartSession(bool fresh)
{
    if (!fresh)
        PanelReadDevices();
    const SerialDevice *device = PanelDeviceOf(g_openPort);
    if (device != NULL)
        g_openDevice = *device;
    else if (fresh)
        ZeroMemory(&g_openDevice, sizeof g_openDevice);
    if (fresh)
        g_openAlone = device != NULL && PanelModelAlone(device, g_devices, g_deviceCount);
    g_candidate[0] = 0;
    LookBackFromNow();
    g_portAway = 0;
    g_awayBusy = 0;
    ViewSetVersion("");
    ViewSetStatus(TEXT_PORT_OPENED);
    g_configCountdown = 0;
    g_linkCountdown = LINK_TICKS;
    g_linked = 0;
}

static bool TakeForAdapter(const WCHAR *name);

// Lets go of the open port the moment it is known gone (`removed`: the system said so), as a
// close does, but for the operator it stays open: the tick goes on and tries to take it back.
static void LetGoIfGone(bool removed)
{
    if (!g_portOpen || g_portAway || !PanelPortGone(removed, SerialRefusedRun()))
        return;
    SerialClose();
    g_portAway = 1;
    g_awayTicks = 0;
    // The adapter may be back in another socket already, its notice handled before the loss
    // was known (refused writes, or a late removal notice): the records say, as read at the
    // removal notice, or now.
    if (!removed)
        PanelReadDevices();
    for (int i = 0; i < g_deviceCount && g_candidate[0] == 0; i++) {
        if (_wcsicmp(g_devices[i].port, g_openPort) != 0)
            TakeForAdapter(g_devices[i].port);
    }
}

// A port's name (GBK, as the port field gives it) kept in `gbk`, and in `wide` for the system's
// notices.
static void KeepName(const char *name, char gbk[PORT_TEXT_MAX + 1], WCHAR wide[PORT_TEXT_MAX + 1])
{
    snprintf(gbk, PORT_TEXT_MAX + 1, "%s", name);
    if (MultiByteToWideChar(936, 0, name, -1, wide, PORT_TEXT_MAX + 1) == 0)
        wide[0] = 0;
}

// One try, by the opener, to open the port that went away under `name`: its own, or
// the candidate's. None while a try is under way: its end (PanelOpenDone) goes on from there.
static void TryTakeBack(const char *name)
{
    char path[PATH_MAX_BYTES];
    PortPath(name, path);
    if (SerialOpenLater(path))
        snprintf(g_trying, sizeof g_trying, "%s", name);
}

// No try wanted any more: one under way lets go of what it opens.
static void StopTrying()
{
    SerialOpenLaterCancel();
    g_trying[0] = 0;
}

// Whether port `name` is surely the pulled adapter, as the records say now (read first if they
// never were).
static bool PulledAdapter(const WCHAR *name)
{
    return PanelDeviceOf(name) != NULL &&
           PanelIsPulledAdapter(name, &g_openDevice, g_openAlone, g_devices, g_deviceCount);
}

// Takes port `name` for the pulled adapter, and tries it, if it surely is that adapter.
static bool TakeForAdapter(const WCHAR *name)
{
    char gbk[PORT_TEXT_MAX + 1];
    if (!PulledAdapter(name) || WideCharToMultiByte(936, 0, name, -1, gbk, sizeof gbk, NULL, NULL) == 0)
        return false;
    KeepName(gbk, g_candidate, g_candidatePort);
    TryTakeBack(gbk);
    return true;
}

// Whether the candidate still is; if not, it is dropped.
static bool CandidateHolds()
{
    if (g_candidate[0] != 0 && !PulledAdapter(g_candidatePort))
        g_candidate[0] = 0;
    return g_candidate[0] != 0;
}

static void OpenEnds(const char *name, int opened, DWORD error);

void PanelOpenDone()
{
    // Also from a message another program sent: only an open that has ended counts.
    DWORD error;
    if (g_opening) {
        char name[PORT_TEXT_MAX + 1];
        snprintf(name, sizeof name, "%s", g_trying);
        int opened = SerialOpenedLater(&error);
        if (opened >= 0)
            OpenEnds(name, opened, error);
        return;
    }
    // A try no longer wanted (the port taken back or closed, the candidate gone or no longer
    // sure) lets go of what it opens.
    bool own = strcmp(g_trying, g_openName) == 0;
    if (!g_portAway || (!own && !(strcmp(g_trying, g_candidate) == 0 && CandidateHolds()))) {
        StopTrying();
        return;
    }
    int opened = SerialOpenedLater(&error);
    if (opened < 0)
        return;
    char tried[PORT_TEXT_MAX + 1];
    snprintf(tried, sizeof tried, "%s", g_trying);
    g_trying[0] = 0;
    if (opened) {
        // The adapter in another socket: the port field shows its name from now on.
        if (!own) {
            KeepName(tried, g_openName, g_openPort);
            ViewSetPortText(tried);
        }
        StartSession(false);
        ShowHint("");
        return;
    }
    // A port that is not there fails at once; one held by another program says so on the hint.
    // A round is the own name and then the candidate: either one held counts.
    char hint[HINT_MAX];
    PanelOpenHint(tried, error, hint);
    bool busy = strcmp(hint, TEXT_HINT_PORT_BUSY) == 0;
    g_awayBusy = busy || (!own && g_awayBusy);
    if (busy)
        ShowHint(hint);
    if (own && CandidateHolds())
        TryTakeBack(g_candidate);
}

void PanelPortRemoved(const WCHAR *name)
{
    // A candidate that goes is dropped at its next try: its record has gone with it.
    if (_wcsicmp(name, g_openPort) != 0)
        return;
    LetGoIfGone(true);
    // A try of it that opened the device now gone, its end not yet taken, is let go of.
    if (g_portAway && strcmp(g_trying, g_openName) == 0)
        StopTrying();
}

void PanelPortArrived(const WCHAR *name)
{
    if (!g_portAway)
        return;
    if (_wcsicmp(name, g_openPort) == 0) {
        // The own name always wins over a port taken for its adapter.
        if (g_candidate[0] != 0 && strcmp(g_trying, g_candidate) == 0)
            StopTrying();
        g_candidate[0] = 0;
        TryTakeBack(g_openName);
        return;
    }
    // Most adapters plugged into another socket get another name there; only one that is
    // surely the pulled adapter is taken for it, and tried until it opens.
    TakeForAdapter(name);
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
    // While the operator's open is under way nothing is open: only its end is asked for, should
    // its message have been lost.
    if (g_opening) {
        PanelOpenDone();
        return;
    }
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
    // systems that send no notices (and the end of a try taken here, should its message have
    // been lost).
    LetGoIfGone(false);
    if (g_portAway) {
        PanelOpenDone();
        if (g_portAway && ++g_awayTicks % 2 == 0)   // not when it has just been taken back
            TryTakeBack(g_openName);
    }

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

// The end of the operator's open of `name`: what an open has always shown, the panel made
// ready for what follows, and after a slow open (正在打开串口…, 取消) made as it was before it.
static void OpenEnds(const char *name, int opened, DWORD error)
{
    bool slow = g_opening != 0;
    g_opening = 0;
    g_trying[0] = 0;
    if (!opened) {
        if (slow) {
            ViewStopTick();
            ViewSetOpenCaption(TEXT_OPEN_PORT);
            ViewEnablePortList(true);
        }
        char hint[HINT_MAX];
        PanelOpenHint(name, error, hint);
        ViewSetStatus(TEXT_PORT_OPEN_FAILED);
        ShowHint(hint);
        return;
    }
    KeepName(name, g_openName, g_openPort);
    StartSession(true);
    if (!slow) {
        ViewEnablePortList(false);
        ViewStartTick();
    }
    g_portOpen = 1;
    ViewSetOpenCaption(TEXT_CLOSE_PORT);
}

// The operator's open, made by the opener: one that ends within OPEN_QUICK_MS shows just its
// end; a slower one says so, and the window goes on answering until it ends.
static void PanelOpen()
{
    char name[PORT_TEXT_MAX + 1], path[PATH_MAX_BYTES];
    ViewGetPortText(name);
    ShowHint("");
    PortPath(name, path);
    if (!SerialOpenLater(path)) {
        OpenEnds(name, 0, GetLastError());
        return;
    }
    snprintf(g_trying, sizeof g_trying, "%s", name);
    SerialOpenWait(OPEN_QUICK_MS);
    DWORD error;
    int opened = SerialOpenedLater(&error);
    if (opened >= 0) {
        OpenEnds(name, opened, error);
        return;
    }
    g_opening = 1;
    ViewSetStatus(TEXT_PORT_OPENING);
    ViewEnablePortList(false);
    ViewSetOpenCaption(TEXT_CANCEL_OPEN);
    ViewStartTick();
}

// The close, and 取消 of an open under way: what it opens is closed the moment it ends.
static void PanelClose()
{
    SerialClose();              // nothing left to close when the port is away
    StopTrying();
    ViewStopTick();
    g_opening = 0;
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
    if (g_portOpen == 0 && g_opening == 0)
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
