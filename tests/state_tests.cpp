// The link and configuration state against a recording view, with the real transmit queue
// (what the state queues is read back with TxTake) and the real port for opening.
#include "driver.h"
#include "hook.h"
#include "link.h"
#include "panel.h"
#include "names.h"
#include "records.h"
#include "texts.h"
#include "unix.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stdlib.h>
#include <string>
#include <thread>
#include <vector>

using Lines = std::vector<std::string>;
using Bytes = std::vector<BYTE>;

// --- Recording view. Every operation must run on the user-interface thread; one that does not
// --- is counted in g_offUiThread.

static Lines g_view;
static std::string g_hint;   // the hint line, kept apart from the other operations
static std::string g_portText = "COM3";
static int g_selected;
static DWORD g_uiThread;
static int g_offUiThread;

static void Record(const std::string &line)
{
    if (GetCurrentThreadId() != g_uiThread)
        g_offUiThread++;
    g_view.push_back(line);
}

void ViewSetStatus(const char *text) { Record(std::string("status:") + text); }
void ViewSetHint(const char *text) { g_hint = text; }
void ViewSetVersion(const char *text) { Record(std::string("version:") + text); }
void ViewEnablePortList(bool on) { Record(std::string("ports:") + (on ? "on" : "off")); }
void ViewEnableChannelList(bool on) { Record(std::string("channels:") + (on ? "on" : "off")); }
void ViewEnableApply(bool on) { Record(std::string("apply:") + (on ? "on" : "off")); }
void ViewSelectChannel(BYTE index)
{
    g_selected = index < 16 ? index : -1;
    Record("select:" + std::to_string(index));
}
int ViewGetChannel() { return g_selected; }
void ViewGetPortText(char buffer[PORT_TEXT_MAX + 1])
{
    snprintf(buffer, PORT_TEXT_MAX + 1, "%s", g_portText.c_str());
}
void ViewSetPortText(const char *text)
{
    g_portText = text;
    Record(std::string("port:") + text);
}
void ViewSetOpenCaption(const char *text) { Record(std::string("caption:") + text); }
void ViewStartTick() { Record("tick:start"); }
void ViewStopTick() { Record("tick:stop"); }

// Calls handed to the user-interface thread by other threads, run by PumpUiCalls.
static std::mutex g_callLock;
static std::condition_variable g_callDone;
static std::deque<std::function<void()>> g_calls;
static int g_callsRun;

void ViewCall(void (*fn)(const void *arg), const void *arg)
{
    if (GetCurrentThreadId() == g_uiThread) {
        fn(arg);
        return;
    }
    // Like SendMessage: queue it for the user-interface thread and wait until it has run.
    std::unique_lock<std::mutex> hold(g_callLock);
    int ticket = g_callsRun + int(g_calls.size()) + 1;
    g_calls.push_back([=] { fn(arg); });
    g_callDone.wait(hold, [&] { return g_callsRun >= ticket; });
}

// The opener's end of a try, posted to the user-interface thread as the panel's message is.
void OnOpenDone()
{
    std::lock_guard<std::mutex> hold(g_callLock);
    g_calls.push_back(PanelOpenDone);
}

static void PumpUiCalls()
{
    std::unique_lock<std::mutex> hold(g_callLock);
    while (!g_calls.empty()) {
        std::function<void()> call = g_calls.front();
        g_calls.pop_front();
        hold.unlock();
        call();
        hold.lock();
        g_callsRun++;
        g_callDone.notify_all();
    }
}

namespace {

const char kStatusOpened[] = "status:" TEXT_PORT_OPENED;
const char kLinked[] = "status:" TEXT_LINKED;
const char kWaiting[] = "status:" TEXT_LINK_LOST;

std::vector<Bytes> Queued()
{
    std::vector<Bytes> frames;
    BYTE *frame;
    DWORD length;
    while (TxTake(&frame, &length)) {
        frames.push_back(Bytes(frame, frame + length));
        free(frame);
    }
    return frames;
}

const Bytes kPoll(FRAME_POLL, FRAME_POLL + 7);
const Bytes kQuery(FRAME_QUERY_CHANNEL, FRAME_QUERY_CHANNEL + 7);

Bytes SetFrame(BYTE c) { return Bytes{0x55, 0xAA, 0x00, 0x05, 0x01, c, 0xAA, 0x55}; }

// Waits for the opener's try, if one is under way, and runs its end on this thread.
void Settle()
{
    for (int i = 0; i < 400 && SerialOpensUnderWay() != 0; i++) {
        PumpUiCalls();
        Sleep(5);
    }
    PumpUiCalls();
}

int Count(const Lines &lines, const std::string &line)
{
    int n = 0;
    for (const std::string &l : lines)
        n += l == line;
    return n;
}

const wchar_t kCh340[] = L"USB\\VID_1A86&PID_7523";

// A CH340's record made, and read as at its arrival notice.
void Record(const wchar_t *instance, const wchar_t *port)
{
    EXPECT_TRUE(RecordAdd(instance, port, L"USB-SERIAL CH340", kCh340));
    PanelReadDevices();
}

// A record removed, and its port's removal notice.
void Pull(const wchar_t *instance, const wchar_t *port)
{
    RecordRemove(instance);
    PanelReadDevices();
    PanelPortRemoved(port);
}

int Opened()
{
    return Count(g_view, kStatusOpened);
}

class State : public testing::Test {
protected:
    void SetUp() override
    {
        g_uiThread = GetCurrentThreadId();
        if (g_portOpen)
            PanelOpenClose();
        SerialClose();
        g_portOpen = g_linked = g_linkCountdown = g_configCountdown = 0;
        PanelInitState();
        g_portText = "COM3";
        g_selected = 0;
        g_offUiThread = 0;
        Queued();
        g_view.clear();
    }
    void TearDown() override
    {
        if (g_portOpen)
            PanelOpenClose();
        EXPECT_EQ(g_offUiThread, 0) << "a view operation ran off the user-interface thread";
    }
    // Opens COM3 and forgets what that showed, and the end of the open that came after it.
    void Open()
    {
        PanelOpenClose();
        ASSERT_EQ(g_portOpen, 1);
        PumpUiCalls();
        g_view.clear();
    }
    void Ticks(int n)
    {
        for (int i = 0; i < n; i++)
            PanelTick();
    }
};

TEST_F(State, OpenShowsOpenedDisablesThePortListAndStartsTheTick)
{
    PanelOpenClose();
    EXPECT_EQ(g_view, (Lines{"version:", kStatusOpened, "ports:off", "tick:start", "caption:" TEXT_CLOSE_PORT}));
    EXPECT_EQ(g_portOpen, 1);
    EXPECT_EQ(g_linked, 0);
    EXPECT_EQ(g_linkCountdown, 6);
    EXPECT_TRUE(SerialIsOpen());
}

TEST_F(State, FailedOpenShowsFailureAndChangesNothingElse)
{
    g_portText = "COM99";
    PanelOpenClose();
    EXPECT_EQ(g_view, (Lines{"status:" TEXT_PORT_OPEN_FAILED}));
    EXPECT_EQ(g_hint, TEXT_HINT_NO_SUCH_PORT);
    EXPECT_EQ(g_portOpen, 0);
    EXPECT_FALSE(SerialIsOpen());
    // An empty field forms the bare prefix, which fails the same way.
    g_portText = "";
    PanelOpenClose();
    EXPECT_EQ(g_portOpen, 0);
    EXPECT_EQ(g_hint, TEXT_HINT_NO_NAME);
}

// The hint from what the line did while the tool waited (counts in SerialCount's order) and
// from how the writes since the last that went through ended (s went through, f refused, t
// timed out), and from the error a failed open left: the first cause that holds.
TEST(Hint, NamesTheFirstCauseThatHolds)
{
    const struct {
        DWORD seen[COUNT_KINDS];   // bytes, requests, reports, line errors
        bool removed;
        const char *writes;
        const char *hint;
    } lines[] = {
        {{0, 0, 0, 0}, false, "fsf", TEXT_HINT_NO_DATA},         // one went through between
        {{0, 0, 0, 0}, false, "ff", TEXT_HINT_PORT_GONE},
        {{120, 0, 0, 0}, false, "sst", TEXT_HINT_NO_ANSWER},     // refused once only
        {{120, 0, 0, 0}, false, "ssft", TEXT_HINT_PORT_GONE},    // whatever went before
        {{42, 6, 0, 0}, true, "", TEXT_HINT_PORT_GONE},          // removed, whatever came
        {{42, 6, 0, 0}, false, "f", TEXT_HINT_ECHO},
        {{50, 5, 1, 0}, false, "", TEXT_HINT_NO_ANSWER},         // a report came too
        {{0, 0, 0, 2}, false, "", TEXT_HINT_NO_ANSWER},          // framing errors and not a byte
    };
    for (const auto &l : lines) {
        SerialCountWrite(true, 7, 7);
        for (const char *w = l.writes; *w; w++)
            SerialCountWrite(*w != 'f', *w == 's' ? 7 : *w == 't' ? 3 : 0, 7);
        EXPECT_STREQ(PanelLinkHint(l.seen, PanelPortGone(l.removed, SerialRefusedRun())), l.hint)
            << "row " << &l - lines;
    }
    const struct { const char *name; DWORD error; const char *hint; } opens[] = {
        {"", ERROR_ACCESS_DENIED, TEXT_HINT_NO_NAME},
        {"COM9", ERROR_FILE_NOT_FOUND, TEXT_HINT_NO_SUCH_PORT}, {"COM9", ERROR_PATH_NOT_FOUND, TEXT_HINT_NO_SUCH_PORT},
        {"COM9?", ERROR_INVALID_NAME, TEXT_HINT_NO_SUCH_PORT}, {"COM9", ERROR_ACCESS_DENIED, TEXT_HINT_PORT_BUSY},
        {"COM9", ERROR_SHARING_VIOLATION, TEXT_HINT_PORT_BUSY}, {"COM9", ERROR_BUSY, TEXT_HINT_PORT_BUSY},
        {"NUL", SERIAL_ERROR_NOT_A_PORT, TEXT_HINT_NOT_A_PORT}, {"COM9", SERIAL_ERROR_CLOSING, TEXT_HINT_CLOSING},
        {"COM9", ERROR_GEN_FAILURE, TEXT_HINT_OPEN_ERROR "31"},
    };
    for (const auto &o : opens) {
        char hint[HINT_MAX];
        PanelOpenHint(o.name, o.error, hint);
        EXPECT_STREQ(hint, o.hint) << o.name << " " << o.error;
    }
}

TEST_F(State, AnsweringDeviceLinksOnceAndIsReadBackOnce)
{
    Open();
    for (int i = 0; i < 8; i++) {
        PanelTick();
        OnVersionReport("V1.0");
    }
    EXPECT_EQ(Count(g_view, kLinked), 1);
    EXPECT_EQ(Count(g_view, "version:V1.0"), 8) << "the version is refreshed on every report";
    EXPECT_EQ(Count(g_view, kWaiting), 0);
    std::vector<Bytes> q = Queued();
    EXPECT_EQ(std::count(q.begin(), q.end(), kQuery), 1);
    EXPECT_EQ(std::count(q.begin(), q.end(), kPoll), 8);
}

TEST_F(State, LinkIsLostAtExactlyTheSixthSilentTickAfterTheOpenOrTheLastReport)
{
    Open();
    Ticks(5);
    EXPECT_TRUE(g_view.empty());
    PanelTick();
    EXPECT_EQ(g_view, (Lines{"version:", kWaiting}));
    Ticks(4);
    EXPECT_EQ(g_view.size(), 2u) << "the loss is shown once";
    EXPECT_EQ(Queued(), std::vector<Bytes>(10, kPoll)) << "the polls go on";

    OnVersionReport("V1");
    Ticks(5);
    EXPECT_EQ(g_linked, 1);
    EXPECT_EQ(Count(g_view, kWaiting), 1);
    PanelTick();
    EXPECT_EQ(g_linked, 0);
    EXPECT_EQ(g_view.back(), kWaiting);
    // The next report is a new link-up with a new read-back.
    Queued();
    OnVersionReport("V1");
    EXPECT_EQ(Count(g_view, kLinked), 2);
    EXPECT_EQ(Queued(), std::vector<Bytes>{kQuery});
}

TEST_F(State, ChannelReportSelectsApplySendsTheSelectionAndAResultEndsIt)
{
    Open();
    OnChannelReport(4);
    EXPECT_EQ(g_view, (Lines{"channels:on", "apply:on", "select:4"}));
    g_view.clear();
    Queued();
    PanelApply();
    EXPECT_EQ(g_view, (Lines{"apply:off", "status:"}));
    EXPECT_EQ(Queued(), std::vector<Bytes>{SetFrame(4)});
    EXPECT_EQ(g_configCountdown, 10);

    OnConfigResult(0);
    EXPECT_EQ(g_configCountdown, 0);
    EXPECT_EQ(g_view.back(), "apply:on");
    EXPECT_EQ(g_view[g_view.size() - 2], "status:" TEXT_CONFIG_FAILED);
    Ticks(12);
    EXPECT_EQ(Count(g_view, "status:" TEXT_CONFIG_TIMEOUT), 0) << "a stopped countdown timed out";

    PanelApply();
    OnConfigResult(1);
    EXPECT_EQ(g_view[g_view.size() - 2], "status:" TEXT_CONFIG_OK);
    PanelApply();
    OnConfigResult(0xAA);                             // a payload-less result counts as success
    EXPECT_EQ(g_view[g_view.size() - 2], "status:" TEXT_CONFIG_OK);

    OnChannelReport(16);                              // no such channel: nothing selected,
    Queued();
    PanelApply();                                     // which goes out as 0xFF
    EXPECT_EQ(Queued(), std::vector<Bytes>{SetFrame(0xFF)});
}

TEST_F(State, ResultWithNothingPendingStillShowsAndEnablesApply)
{
    Open();
    OnConfigResult(1);
    EXPECT_EQ(g_view, (Lines{"status:" TEXT_CONFIG_OK, "apply:on"}));
}

TEST_F(State, UnansweredApplyTimesOutAtExactlyTheTenthTick)
{
    Open();
    OnVersionReport("V");                 // keep the link up so only the change can end
    PanelApply();
    for (int i = 1; i < 10; i++) {
        PanelTick();
        OnVersionReport("V");
    }
    EXPECT_EQ(Count(g_view, "status:" TEXT_CONFIG_TIMEOUT), 0);
    g_view.clear();
    PanelTick();
    EXPECT_EQ(g_view, (Lines{"status:" TEXT_CONFIG_TIMEOUT, "apply:on"}));
}

TEST_F(State, BothCountdownsEndingOnOneTickLeaveWaiting)
{
    Open();
    PanelApply();                         // configuration countdown 10
    Ticks(4);
    OnVersionReport("V");                 // link countdown 6, configuration 6 left
    ASSERT_EQ(g_configCountdown, 6);
    ASSERT_EQ(g_linkCountdown, 6);
    Ticks(5);
    g_view.clear();
    PanelTick();
    EXPECT_EQ(g_view, (Lines{"status:" TEXT_CONFIG_TIMEOUT, "apply:on", "version:", kWaiting}));
}

TEST_F(State, CloseWhileLinkedKeepsTheVersionAndFreezesTheCountdowns)
{
    Open();
    OnVersionReport("V2.1");
    OnChannelReport(2);
    PanelApply();
    g_view.clear();
    PanelOpenClose();
    EXPECT_EQ(g_view, (Lines{"tick:stop", "caption:" TEXT_OPEN_PORT, "ports:on", "channels:off", "apply:off",
                             "status:" TEXT_PORT_CLOSED}));
    EXPECT_EQ(g_portOpen, 0);
    EXPECT_EQ(g_linked, 1);
    EXPECT_EQ(g_linkCountdown, 6);
    EXPECT_EQ(g_configCountdown, 10);
    EXPECT_FALSE(SerialIsOpen());
    OnVersionReport("V2.2");              // received before the close: still shown
    EXPECT_EQ(g_view.back(), "version:V2.2");

    // Reopening starts unlinked with no change pending: the first report brings a fresh
    // read-back, and the change left at the close never times out.
    Open();
    EXPECT_EQ(g_configCountdown, 0);
    Queued();
    OnVersionReport("V2.1");
    EXPECT_EQ(Count(g_view, kLinked), 1);
    EXPECT_EQ(Queued(), std::vector<Bytes>{kQuery});
}

// A port away (removed, or its writes refused) is taken back, or followed to its adapter under
// another name (here the same instance id, also when it arrived before the loss; the end-to-end
// case has the same hardware id), only while away: each reopen starts its look-back and its refused run afresh, and the old name
// coming back or a removal after the close opens nothing. Ids a record lacks match nothing.
TEST_F(State, PortAwayIsTakenBackOrFollowedToItsAdapterAndNothingElse)
{
    const wchar_t kAdapter[] = L"FTDIBUS\\VID_0403+PID_6001+A1\\0000";
    ASSERT_TRUE(RecordAdd(kAdapter, L"COM3", L"USB Serial Port (COM3)", NULL));
    ASSERT_TRUE(RecordAdd(L"USB\\VID_067B&PID_2303\\1", L"COM10", L"Prolific (COM10)", NULL));
    PanelReadDevices();
    Open();
    ASSERT_TRUE(RecordAdd(kAdapter, L"COM11", L"USB Serial Port (COM11)", L"FTDIBUS\\COMPORT&VID_0403&PID_6001"));
    PanelReadDevices();
    RecordRemoveAll();                    // read: the records need not stay
    PanelPortArrived(L"COM3");            // present and open: a duplicate notice
    PanelPortArrived(L"COM11");           // the same kind, while all is well
    EXPECT_EQ(Opened(), 0);
    PanelTick();
    SerialCountAdd(COUNT_BYTES_IN, 5);    // garbage, then the adapter is pulled
    PanelPortRemoved(L"com3");            // COM11, there before the loss, is followed at it
    EXPECT_FALSE(SerialIsOpen());
    for (const wchar_t *other : {L"COM10", L"COM12"})   // another kind; no record
        PanelPortArrived(other);
    Settle();
    EXPECT_EQ(g_view, (Lines{"port:COM11", "version:", kStatusOpened}));
    EXPECT_EQ(g_portText, "COM11");
    Ticks(6);
    EXPECT_EQ(g_hint, TEXT_HINT_NO_DATA) << "the garbage before the reopen counted";
    PanelPortArrived(L"COM3");
    EXPECT_EQ(Opened(), 1) << "the old name coming back reopened";

    SerialCountWrite(false, 0, 7);        // refused twice: let go, then back by its notice
    SerialCountWrite(false, 0, 7);
    PanelTick();
    EXPECT_FALSE(SerialIsOpen());
    PanelPortArrived(L"COM11");
    Settle();
    Ticks(2);
    EXPECT_TRUE(SerialIsOpen()) << "let go again for the refusals before the reopen";
    EXPECT_EQ(Opened(), 2);
    PanelOpenClose();
    PanelPortRemoved(L"COM11");
    PanelPortArrived(L"COM11");
    Settle();
    EXPECT_FALSE(SerialIsOpen()) << "opened behind a closed panel";
    PanelReadDevices();
}

// Who is the pulled adapter, from the records alone: the open port's record at the open (with
// the others then), and the records when a port arrives under another name. A four-port adapter
// (one hardware id, an instance id a channel) comes back a channel at a time.
TEST(Adapter, OnlyTheOneThatSurelyCameBackIsTakenForThePulledOne)
{
    const wchar_t kQuad[] = L"FTDIBUS\\COMPORT&VID_0403&PID_6011", kCh340[] = L"USB\\VID_1A86&PID_7523";
    auto rec = [](const wchar_t *port, const wchar_t *instance, const wchar_t *hardware) {
        SerialDevice d = {};
        wcscpy(d.port, port);
        wcscpy(d.instance, instance);
        wcscpy(d.hardware, hardware);
        return d;
    };
    const SerialDevice quad2 = rec(L"COM2", L"FTDI\\A", kQuad), quad3 = rec(L"COM3", L"FTDI\\B", kQuad),
                       quad10 = rec(L"COM10", L"FTDI\\C", kQuad), ch340 = rec(L"COM3", L"USB\\2", kCh340),
                       ch340b = rec(L"COM4", L"USB\\4", kCh340), blank = rec(L"COM3", L"", L"");
    const struct {
        std::vector<SerialDevice> atOpen;   // the open port's record first
        std::vector<SerialDevice> now;
        const wchar_t *arrived;
        bool taken;
    } rows[] = {
        {{quad3, quad2, quad10}, {quad2}, L"COM2", false},                          // another channel first
        {{quad3, quad2, quad10}, {quad10, quad2}, L"COM10", false},                 // in any order
        {{quad3, quad2, quad10}, {quad2, rec(L"COM7", L"ftdi\\b", kQuad)}, L"COM7", true},  // its channel renamed
        {{ch340}, {rec(L"COM5", L"USB\\3", kCh340)}, L"COM5", true},              // another socket
        {{ch340}, {rec(L"COM5", L"USB\\3", kCh340), rec(L"COM6", L"USB\\6", kCh340)}, L"COM5", false},
        {{ch340, ch340b}, {rec(L"COM5", L"USB\\3", kCh340)}, L"COM5", false},     // not alone at the open
        {{ch340}, {rec(L"COM5", L"USB\\3", L"USB\\VID_067B&PID_2303")}, L"COM5", false},
        {{ch340}, {rec(L"COM5", L"USB\\3", kCh340)}, L"COM6", false},             // no record
        {{blank}, {rec(L"COM5", L"", L"")}, L"COM5", false},                        // ids unknown
    };
    for (const auto &r : rows) {
        bool alone = PanelModelAlone(&r.atOpen[0], r.atOpen.data(), int(r.atOpen.size()));
        EXPECT_EQ(PanelIsPulledAdapter(r.arrived, &r.atOpen[0], alone, r.now.data(), int(r.now.size())), r.taken)
            << "row " << &r - rows;
    }
}

// A port made to go, its line and its name, and to come back (the adapter pulled out, or
// announced before it opens); back at the end of the scope at the latest.
struct Hidden {
    const wchar_t *port;
    std::wstring target;
    bool shown = false;
    explicit Hidden(const wchar_t *name) : port(name), target(NameTarget(name)) { EXPECT_TRUE(PortPull(port)); }
    void Show()
    {
        shown = true;
        EXPECT_TRUE(PortPlug(port, target));
    }
    ~Hidden()
    {
        if (!shown)
            Show();
    }
};

// A port taken for the pulled adapter that does not open at its notice is tried again every
// second after the own name, until one opens; the own name coming back wins over it, and one
// that goes again is tried no more. An open of a port with no record knows no adapter.
TEST_F(State, PortTakenForThePulledAdapterIsTriedUntilOneOpens)
{
    auto arrive = [](const wchar_t *instance, const wchar_t *port) {
        Record(instance, port);
        PanelPortArrived(port);
        Settle();
    };
    Record(L"USB\\VID_1A86&PID_7523\\2", L"COM3");
    Open();
    Hidden com3(L"COM3"), com11(L"COM11");
    Pull(L"USB\\VID_1A86&PID_7523\\2", L"COM3");
    arrive(L"USB\\VID_1A86&PID_7523\\11", L"COM11");       // announced before it opens
    EXPECT_EQ(Opened(), 0);
    com11.Show();
    Ticks(2);
    Settle();
    EXPECT_EQ(g_view, (Lines{"port:COM11", "version:", kStatusOpened})) << "not tried again";

    // Pulled from there: the same adapter (its instance id) announced in another socket, then
    // another adapter under the own name, which wins all the same.
    const wchar_t kOther[] = L"USB\\VID_1A86&PID_7523\\13";
    Pull(L"USB\\VID_1A86&PID_7523\\11", L"COM11");
    Hidden own(L"COM11"), other(L"COM12");
    arrive(L"USB\\VID_1A86&PID_7523\\11", L"COM12");
    arrive(kOther, L"COM11");
    other.Show();
    Ticks(2);
    Settle();
    EXPECT_EQ(DescriptorsOn(UnixPid(), WorldPort("COM12")), 0) << "the other socket tried after the own name";
    own.Show();
    Ticks(2);
    Settle();
    EXPECT_EQ(g_portText, "COM11");
    EXPECT_EQ(Opened(), 2);

    // One that goes again before it opens is tried no more.
    Pull(kOther, L"COM11");
    Hidden once(L"COM11"), com12(L"COM12");
    arrive(kOther, L"COM12");
    Pull(kOther, L"COM12");
    com12.Show();
    Ticks(4);
    Settle();
    EXPECT_EQ(Opened(), 2) << "opened after its removal";
    once.Show();
    PanelOpenClose();

    // COM12 has no record: its open keeps nothing of COM11's adapter.
    g_portText = "COM12";
    RecordRemoveAll();
    PanelReadDevices();
    Open();
    Pull(L"none", L"COM12");
    arrive(kOther, L"COM10");
    EXPECT_EQ(Opened(), 0) << "followed with the last port's ids";
    RecordRemoveAll();
    PanelReadDevices();
}

// The operator's open is the opener's too: one slower than OPEN_QUICK_MS says so at once, can
// be given up, and ends as a quick one does, or fails with its reason; an open of a port that a
// given-up one still holds waits for it: never two at once (on Windows the second would fail).
TEST_F(State, SlowOpenSaysSoCanBeGivenUpAndNeverMeetsAGivenUpOne)
{
    ASSERT_TRUE(HookInto(GetCurrentProcess()));
    SlowOpensClear();
    SlowOpenSet(L"COM3", 600);
    PanelOpenClose();
    EXPECT_EQ(g_view, (Lines{"status:" TEXT_PORT_OPENING, "ports:off", "caption:" TEXT_CANCEL_OPEN, "tick:start"}));
    PanelTick();
    EXPECT_TRUE(Queued().empty()) << "polled with nothing open";
    g_view.clear();
    Settle();
    EXPECT_EQ(g_view, (Lines{"version:", kStatusOpened, "caption:" TEXT_CLOSE_PORT}));

    PanelOpenClose();
    PanelOpenClose();
    g_view.clear();
    PanelOpenClose();   // 取消, and at once 打开串口 again
    EXPECT_EQ(g_view, (Lines{"tick:stop", "caption:" TEXT_OPEN_PORT, "ports:on", "channels:off", "apply:off",
                             "status:" TEXT_PORT_CLOSED}));
    PanelOpenClose();
    Settle();
    EXPECT_EQ(g_portOpen, 1);
    EXPECT_EQ(SlowOpensMostAtOnce(L"COM3") * 10 + DescriptorsOn(UnixPid(), WorldPort("COM3")), 11u)
        << "two opens of the port at once, or the given-up one kept";
    PanelOpenClose();

    g_portText = "COM77";
    SlowOpenSet(L"COM77", 600);
    PanelOpenClose();
    g_view.clear();
    Settle();
    EXPECT_EQ(g_view, (Lines{"tick:stop", "caption:" TEXT_OPEN_PORT, "ports:on", "status:" TEXT_PORT_OPEN_FAILED}));
    EXPECT_EQ(g_hint, TEXT_HINT_NO_SUCH_PORT);
    SlowOpensClear();
}

// The open's end, once the opener has it, lost on its way to the user-interface thread.
void LoseTheOpensEnd()
{
    auto queued = [] { std::lock_guard<std::mutex> hold(g_callLock); return !g_calls.empty(); };
    DriveWaitFor(queued, 2000);
    std::lock_guard<std::mutex> hold(g_callLock);
    g_calls.clear();
}

// Taking back and following, the system's records and notices coming in any order: the tick
// that takes the port back asks no new try; a take-back before the port has its record again
// keeps the adapter's ids; a removal of the own name lets go of its try that opened it; a
// candidate that stops being sure while it opens is not taken; a second adapter of the model,
// once seen, is never taken for it.
TEST_F(State, TakeBackAndFollowKeepTheAdapterAndTakeNoOther)
{
    ASSERT_TRUE(HookInto(GetCurrentProcess()));
    const wchar_t kB[] = L"USB\\VID_1A86&PID_7523\\B";
    auto held = [](const char *port) { return DescriptorsOn(UnixPid(), WorldPort(port)); };
    Record(L"USB\\VID_1A86&PID_7523\\3", L"COM3");
    Open();
    Pull(L"USB\\VID_1A86&PID_7523\\3", L"COM3");
    PanelTick();
    PanelPortArrived(L"COM3");      // back before its record
    LoseTheOpensEnd();
    PanelTick();
    EXPECT_EQ(Opened(), 1) << "not taken back by the tick";
    EXPECT_EQ(SerialOpensUnderWay(), 0) << "a new try of the port just taken back";

    Pull(L"none", L"COM3");
    PanelPortArrived(L"COM3");
    LoseTheOpensEnd();
    PanelPortRemoved(L"COM3");      // gone again before the try's end came
    EXPECT_EQ(held("COM3"), 0) << "the try kept the port that went";
    Record(L"USB\\VID_1A86&PID_7523\\11", L"COM11");
    PanelPortArrived(L"COM11");
    Settle();
    EXPECT_EQ(g_portText, "COM11") << "the adapter's ids forgotten at the take-back";

    SlowOpenSet(L"COM12", 500);
    Pull(L"USB\\VID_1A86&PID_7523\\11", L"COM11");
    Record(L"USB\\VID_1A86&PID_7523\\12", L"COM12");
    PanelPortArrived(L"COM12");
    Record(kB, L"COM10");           // another of the model while the candidate opens
    PanelPortArrived(L"COM10");
    Settle();
    Pull(L"USB\\VID_1A86&PID_7523\\12", L"COM12");
    Pull(kB, L"COM10");
    Record(kB, L"COM10");
    PanelPortArrived(L"COM10");
    Settle();
    EXPECT_EQ(Opened(), 2) << "taken for the adapter when it was no longer sure";
    EXPECT_EQ(held("COM12") + held("COM10"), 0);
    SlowOpensClear();

    // Its channel renamed COM12, which does not open yet; then back under its own name, taken
    // by the tick. Renamed COM32 before its writes are refused: found at the let-go, also after
    // a candidate.
    {
        Hidden com12(L"COM12");
        Record(L"USB\\VID_1A86&PID_7523\\11", L"COM12");
        PanelPortArrived(L"COM12");
        Settle();
        Ticks(2);
        Settle();
    }
    EXPECT_EQ(Opened(), 3);
    Hidden com11(L"COM11");
    Record(L"USB\\VID_1A86&PID_7523\\11", L"COM32");
    PanelPortArrived(L"COM32");
    SerialCountWrite(false, 0, 7);
    SerialCountWrite(false, 0, 7);
    PanelTick();
    Settle();
    EXPECT_EQ(g_portText, "COM32") << "not found at the let-go";
    RecordRemoveAll();
    PanelReadDevices();
}

// Reports arrive on the parser thread while the user-interface thread ticks and applies: all
// their effects must happen on the user-interface thread, where the tick and buttons run, so
// the flags and countdowns are never changed by two threads at once.
TEST_F(State, ReportsFromTheParserThreadTakeEffectOnTheUserInterfaceThread)
{
    Open();
    std::atomic<bool> done(false);
    std::thread parser([&] {
        for (int i = 0; i < 3000; i++) {
            OnVersionReport("V");
            OnChannelReport(BYTE(i % 20));
            OnConfigResult(BYTE(i & 1));
        }
        done = true;
    });
    for (int i = 0; !done; i++) {
        PumpUiCalls();
        PanelTick();
        if (i % 3 == 0)
            PanelApply();
        Queued();
    }
    parser.join();
    PumpUiCalls();
    EXPECT_EQ(g_offUiThread, 0);
    EXPECT_EQ(Count(g_view, "version:V"), 3000);
}

} // namespace
