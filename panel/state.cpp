// Link supervision, channel read-back and channel setting. Everything here runs on the
// user-interface thread: the tick and the buttons are called there, and each report operation
// hands its work to that thread with ViewCall while the parser thread waits.
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
static int g_portRemoved;                   // 1: the system said the open port went away
static WCHAR g_openPort[PORT_TEXT_MAX + 1]; // the name it was opened by
static char g_hint[HINT_MAX];               // the hint shown

static void ShowHint(const char *text)
{
    // Shown afresh only when it changes, so the line does not flicker on every tick.
    if (strcmp(text, g_hint) == 0)
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

const char *PanelLinkHint(const DWORD seen[], bool removed)
{
    if (removed || (seen[COUNT_WRITES] != 0 && seen[COUNT_WRITES_FAILED] == seen[COUNT_WRITES]))
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

void PanelPortRemoved(const WCHAR *name)
{
    if (g_portOpen && _wcsicmp(name, g_openPort) == 0)
        g_portRemoved = 1;
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

    // What the line did since the reading LINK_TICKS ticks ago, or since the open or the last
    // version report; said from the tick the status gave up on the transmitter.
    DWORD now[COUNT_KINDS], seen[COUNT_KINDS];
    SerialReadCounts(now);
    for (int i = 0; i < COUNT_KINDS; i++)
        seen[i] = now[i] - g_marks[g_markNext][i];
    memcpy(g_marks[g_markNext], now, sizeof now);
    g_markNext = (g_markNext + 1) % LINK_TICKS;
    if (g_portOpen && g_linkCountdown == 0)
        ShowHint(PanelLinkHint(seen, g_portRemoved != 0));
}

static void PanelOpen()
{
    char name[PORT_TEXT_MAX + 1];
    char path[sizeof "\\\\.\\" + PORT_TEXT_MAX];
    ViewGetPortText(name);
    snprintf(path, sizeof path, "\\\\.\\%s", name);
    ShowHint("");
    if (!SerialOpen(path)) {
        char hint[HINT_MAX];
        PanelOpenHint(name, GetLastError(), hint);
        ViewSetStatus(TEXT_PORT_OPEN_FAILED);
        ShowHint(hint);
        return;
    }
    LookBackFromNow();
    g_portRemoved = 0;
    if (MultiByteToWideChar(936, 0, name, -1, g_openPort, ARRAYSIZE(g_openPort)) == 0)
        g_openPort[0] = 0;
    ViewSetVersion("");
    ViewSetStatus(TEXT_PORT_OPENED);
    ViewEnablePortList(false);
    ViewStartTick();
    g_configCountdown = 0;
    g_linkCountdown = LINK_TICKS;
    g_portOpen = 1;
    g_linked = 0;
    ViewSetOpenCaption(TEXT_CLOSE_PORT);
}

static void PanelClose()
{
    SerialClose();
    ViewStopTick();
    g_portOpen = 0;
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
