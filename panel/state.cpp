// Link supervision, channel read-back and channel setting. Everything here runs on the
// user-interface thread: the tick and the buttons are called there, and each report operation
// hands its work to that thread with ViewCall while the parser thread waits.
#include "panel.h"

#include "link.h"
#include "texts.h"

#include <stdio.h>

int g_portOpen;
int g_linked;
int g_linkCountdown;
int g_configCountdown;

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
    }
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
}

static void PanelOpen()
{
    char name[PORT_TEXT_MAX + 1];
    char path[sizeof "\\\\.\\" + PORT_TEXT_MAX];
    ViewGetPortText(name);
    snprintf(path, sizeof path, "\\\\.\\%s", name);
    if (!SerialOpen(path)) {
        ViewSetStatus(TEXT_PORT_OPEN_FAILED);
        return;
    }
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
