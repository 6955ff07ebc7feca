// The tool against the lines its users really have: a flood of noise, a line pulled out and
// plugged back in, endless opening and closing, and an operator hammering Apply. Every case is
// bounded in time and ends its processes, also when it fails.
#include "session.h"


#include <algorithm>
#include <atomic>
#include <functional>
#include <random>
#include <thread>

namespace {

using Faults = Session;

// How long the program's window takes to answer a message; 1000 ms or more when it does not.
double Responsiveness(HWND window)
{
    double t0 = Now();
    DWORD_PTR result;
    if (!SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &result))
        return 1000;
    return Now() - t0;
}

// Waits up to `ms` for `done`, asking the window meanwhile how fast it answers: the slowest
// answer goes to `worst`. True if `done` came.
bool WaitAnswering(HWND window, const std::function<bool()> &done, double ms, double *worst)
{
    for (double end = Now() + ms;; Sleep(20)) {
        *worst = std::max(*worst, Responsiveness(window));
        if (done())
            return true;
        if (Now() >= end)
            return false;
    }
}

// How long the window took to answer a port notice; 2000 ms when it did not answer in that time.
double NoticeTaken(HWND window, WPARAM event, const wchar_t *port)
{
    double ms = DriveNotice(window, event, port);
    return ms < 0 ? 2000 : ms;
}

bool Alive(const Program &p)
{
    return WaitForSingleObject(p.process.hProcess, 0) == WAIT_TIMEOUT;
}

TEST_F(Faults, NoiseFloodNeverStallsTheWindowAndTheLinkComesBack)
{
    const int noiseSeconds = 30;
    double noiseEnd = Now() + noiseSeconds * 1000.0;     // it cannot end sooner than this
    Start("--noise " + std::to_string(noiseSeconds));
    Open();
    double worst = 0;
    int samples = 0;
    while (Now() < noiseEnd) {
        worst = std::max(worst, Responsiveness(program.main));
        samples++;
        Sleep(50);
    }
    printf("noise: %d looks at the window, slowest answer %.1f ms; status then \"%s\"\n", samples,
           worst, DriveUtf8(Text(IDC_STATUS_TEXT)).c_str());
    EXPECT_LT(worst, 200.0);
    ASSERT_TRUE(Alive(program));
    ASSERT_TRUE(WaitStatus("变送器已连接", 5000)) << DriveUtf8(Text(IDC_STATUS_TEXT));
    double back = Now() - noiseEnd;
    printf("link back %.0f ms after the noise ended\n", back);
    EXPECT_LE(back, 3000.0);
}

// An adapter pulled out while its port is open, and plugged back in (line and name gone, as on
// Windows): the tool lets go at once, shows the port open still, and takes it back when it returns,
// by a try every second or at once on the arrival notice, or follows it into another socket,
// where it has another name. Only the open port's notices count; the operator's close ends it.
// The system's record of the adapter goes before its removal notice and comes before its
// arrival notice, as on Windows. Under code pages 936 and 1252.
TEST_F(Faults, PulledPortIsLetGoAtOnceAndTakenBackWhenItReturns)
{
    const wchar_t kHardware[] = L"USB\\VID_1A86&PID_7523", kCom12[] = L"USB\\VID_1A86&PID_7523\\12";
    deviceName = "USB-SERIAL CH340";
    for (const char *locale : {static_cast<const char *>(NULL), "C.UTF-8"}) {
        SCOPED_TRACE(locale ? locale : "code page 936");
        StopProgram(&program);
        sim.Stop();
        ASSERT_TRUE(RecordAdd(kCom12, L"COM12", L"USB-SERIAL CH340 (COM12)", kHardware));
        Start("--channel 8", "COM44", locale);
        ASSERT_TRUE(HookInto(program.process.hProcess));
        unsigned long pid = UnixPidOf("rq47cfg.exe");
        const std::wstring target = NameTarget(L"COM12");
        std::string device;                           // the pty the tool had open
        double answered = 0;                          // how fast the window took the last notice
        auto released = [&](DWORD ms) { return DriveWaitFor([&] { return DescriptorsOn(pid, device) == 0; }, ms); };
        // The line and name pulled out, or plugged back in (the transmitter started if asked, the
        // name last), then the notice naming `notice`, if any; returns the time of the notice.
        auto line = [&](bool in, bool transmitter, const wchar_t *notice) {
            if (!in)
                device = UnixRun("readlink -f '" + WorldPort("COM12") + "' | tr -d '\\n'");
            EXPECT_TRUE(WorldTrigger(in ? "replug-COM12" : "unplug-COM12"));
            sim.Stop();
            if (transmitter)
                sim.Start("--channel 8", "COM44");
            EXPECT_TRUE(in ? NameMake(L"COM12", target) : NameRemove(L"COM12"));
            EXPECT_TRUE(in ? RecordAdd(kCom12, L"COM12", L"USB-SERIAL CH340 (COM12)", kHardware) : RecordRemove(kCom12));
            double at = Now();
            if (notice != NULL)
                answered = NoticeTaken(program.main, in ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE, notice);
            return at;
        };
        Open("COM12");
        WaitLinkedAndReadBack(8);

        // Pulled right after the link-up, with no notice: let go once two writes are refused,
        // before the status gives up; from then on the hint says why.
        double pulled = line(false, false, NULL);
        ASSERT_TRUE(released(3000)) << "the pulled port is still held";
        double release = Now() - pulled;
        ASSERT_TRUE(DriveWaitFor([&] { return Text(IDC_HINT_TEXT) != deviceName; }, 4000));
        printf("pulled with no notice: let go after %.0f ms, hint after %.0f ms\n", release, Now() - pulled);
        EXPECT_EQ(Text(IDC_HINT_TEXT), "串口已断开，请检查串口线或适配器") << "the first hint";
        EXPECT_EQ(Text(IDC_STATUS_TEXT) + Text(IDC_OPEN_BUTTON), "等待变送器连接关闭串口");
        EXPECT_FALSE(Enabled(IDC_PORT_LIST));
        EXPECT_LT(Responsiveness(program.main), 200.0);
        // Back with the transmitter off: opened, then waiting as after any open; then it answers.
        double back = line(true, false, NULL);
        EXPECT_TRUE(WaitStatus("串口已打开", 1500));
        printf("taken back %.0f ms after the line returned\n", Now() - back);
        EXPECT_EQ(Text(IDC_HINT_TEXT), deviceName) << "the hint of the pull kept at the reopen";
        EXPECT_FALSE(Enabled(IDC_PORT_LIST)) << "the port list enabled at the reopen";
        EXPECT_TRUE(WaitStatus("等待变送器连接", 3500));
        EXPECT_TRUE(DriveWaitText(program.panel, IDC_HINT_TEXT, "未收到任何数据，请检查接线、电源和串口号", 100));
        sim.Start("--channel 8", "COM44");
        EXPECT_TRUE(WaitStatus("变送器已连接", 1500));
        Apply(3);
        EXPECT_TRUE(WaitStatus("配置成功", 2000));
        EXPECT_EQ(sim.Count(kQueryRx), 1) << "the channel not read back once";

        // Notices of other ports, or of the open port but no removal, change nothing.
        DriveNotice(program.main, DBT_DEVICEREMOVECOMPLETE, L"COM3");
        DriveNotice(program.main, DBT_DEVICEQUERYREMOVE, L"COM12");
        DriveNotice(program.main, DBT_DEVICEREMOVECOMPLETE, L"COM12", 0, DBT_DEVTYP_VOLUME);
        Sleep(600);
        EXPECT_EQ(Text(IDC_STATUS_TEXT), "配置成功");
        EXPECT_EQ(DescriptorsOn(pid, WorldPort("COM12")), 1);

        // Pulled and plugged back with the system's notices, in either case, again and again.
        int fds = Descriptors(pid);
        double ws = DriveWorkingSetMb(program.process.hProcess, false), slowestRelease = 0, slowestOpen = 0;
        for (int i = 0; i < 20; i++) {
            SCOPED_TRACE(i);
            pulled = line(false, false, i % 2 ? L"COM12" : L"com12");
            EXPECT_TRUE(released(400)) << "not let go at the removal notice";
            slowestRelease = std::max(slowestRelease, Now() - pulled);
            back = line(true, true, i % 2 ? L"com12" : L"COM12");
            EXPECT_TRUE(WaitStatus("串口已打开", 250)) << "not taken back at the arrival notice";
            slowestOpen = std::max(slowestOpen, Now() - back);
            ASSERT_TRUE(WaitStatus("变送器已连接", 1000));
            EXPECT_TRUE(DriveWaitFor([&] { return sim.Count(kQueryRx) == 1; }, 1000)) << "no channel read back";
        }
        Sleep(300);
        printf("20 pulls with notices: let go within %.0f ms of the removal, opened within %.0f ms of the arrival; "
               "descriptors %d -> %d, working set %.2f -> %.2f MB\n", slowestRelease, slowestOpen, fds,
               Descriptors(pid), ws, DriveWorkingSetMb(program.process.hProcess, false));
        EXPECT_LE(Descriptors(pid), fds + 3);
        EXPECT_LE(DriveWorkingSetMb(program.process.hProcess, false), ws + 1.0);

        // Into another socket, where the system names it COM11 (the line to COM43): followed at
        // its arrival notice, and linked and working there; the old name coming back changes
        // nothing. Pulled from there, it is followed back.
        // Announced before it can be opened (its name comes a second after the notice): tried
        // again until it opens.
        line(false, false, L"COM12");
        EXPECT_TRUE(released(400));
        const std::wstring target11 = NameTarget(L"COM11");
        EXPECT_TRUE(PortPull(L"COM11"));
        ASSERT_TRUE(RecordAdd(L"USB\\VID_1A86&PID_7523\\11", L"COM11", L"USB-SERIAL CH340 (COM11)", kHardware));
        DriveNotice(program.main, DBT_DEVICEARRIVAL, L"COM11");
        Sleep(1000);
        EXPECT_TRUE(PortPlug(L"COM11", target11));
        back = Now();
        Simulator other;
        other.Start("--channel 8", "COM43");
        // The field first: the status read before the follow would still be the one of the pull.
        EXPECT_TRUE(DriveWaitFor([&] { return Text(IDC_PORT_LIST) == "COM11"; }, 2000)) << "not followed into the other socket";
        EXPECT_TRUE(WaitStatus("变送器已连接", 1500));
        printf("followed into another socket: linked %.0f ms after it could be opened\n", Now() - back);
        EXPECT_EQ(Text(IDC_PORT_LIST) + Text(IDC_HINT_TEXT), "COM11" + deviceName);
        Apply(5);
        EXPECT_TRUE(WaitStatus("配置成功", 2000));
        // The old name back, with no device while the adapter is in the other socket.
        line(true, true, NULL);
        ASSERT_TRUE(RecordRemove(kCom12));
        DriveNotice(program.main, DBT_DEVICEARRIVAL, L"COM12");
        Sleep(600);
        EXPECT_EQ(Text(IDC_STATUS_TEXT) + Text(IDC_PORT_LIST), "配置成功COM11");
        EXPECT_EQ(DescriptorsOn(pid, WorldPort("COM11")), 1);
        // Followed back: to a port that takes a second to open under 936, the window answering
        // meanwhile, and to one that opens at once under 1252.
        DWORD followMs = locale == NULL ? 1000 : 0;
        SlowOpenSet(L"COM12", followMs);
        // Its record moves before COM11's removal notice comes: followed from that notice on.
        ASSERT_TRUE(RecordRemove(L"USB\\VID_1A86&PID_7523\\11"));
        ASSERT_TRUE(RecordAdd(kCom12, L"COM12", L"USB-SERIAL CH340 (COM12)", kHardware));
        back = Now();
        DriveNotice(program.main, DBT_DEVICEREMOVECOMPLETE, L"COM11");
        double slowest = NoticeTaken(program.main, DBT_DEVICEARRIVAL, L"COM12");
        EXPECT_TRUE(WaitAnswering(program.main, [&] { return Text(IDC_STATUS_TEXT) == "串口已打开"; }, followMs + 250,
                                  &slowest)) << "not followed back";
        double opened = Now() - back;
        EXPECT_TRUE(WaitAnswering(program.main, [&] { return Text(IDC_STATUS_TEXT) == "变送器已连接"; }, 1500, &slowest));
        printf("followed back to a port of %lu ms: open %.0f ms after the removal notice, slowest answer %.1f ms\n",
               followMs, opened, slowest);
        EXPECT_LT(slowest, 200.0);
        EXPECT_EQ(Text(IDC_PORT_LIST), "COM12");
        other.Stop();

        // Back as a port of 2 s: taken back and linked, the window answering throughout. Then as
        // one of 5 s, while the status gives up on time, and closed before it opens: the late open
        // is let go of at once, and never two opens at a time.
        SlowOpenSet(L"COM12", 2000);
        line(false, false, L"COM12");
        EXPECT_TRUE(released(400));
        back = line(true, true, L"COM12");
        slowest = answered;
        EXPECT_TRUE(WaitAnswering(program.main, [&] { return Text(IDC_STATUS_TEXT) == "串口已打开"; }, 3000, &slowest));
        EXPECT_GE(Now() - back, 1900.0) << "the port was not slow";
        EXPECT_TRUE(WaitAnswering(program.main, [&] { return Text(IDC_STATUS_TEXT) == "变送器已连接"; }, 1500, &slowest));
        printf("back as a port of 2 s: linked %.0f ms after its arrival notice, slowest answer %.1f ms\n",
               Now() - back, slowest);
        SlowOpenSet(L"COM12", 5000);
        pulled = line(false, false, L"COM12");
        EXPECT_TRUE(released(400));
        line(true, true, L"COM12");
        slowest = answered;
        EXPECT_TRUE(WaitAnswering(program.main, [&] { return Text(IDC_HINT_TEXT) == "串口已断开，请检查串口线或适配器"; },
                                  4000, &slowest));
        double gaveUp = Now() - pulled;
        EXPECT_EQ(Text(IDC_STATUS_TEXT), "等待变送器连接");
        EXPECT_LE(gaveUp, 3600.0) << "the status gave up late";
        double c0 = Now();
        DriveClick(program.panel, IDC_OPEN_BUTTON);
        double close = Now() - c0;
        ExpectClosed("串口已关闭");
        WaitAnswering(program.main, [] { return false; }, 5500 - (Now() - pulled), &slowest);
        printf("back as a port of 5 s: gave up %.0f ms after the pull, closed in %.1f ms, slowest answer %.1f ms; "
               "opens begun %lu, at most %lu at once\n", gaveUp, close, slowest, SlowOpensBegun(L"COM12"),
               SlowOpensMostAtOnce(L"COM12"));
        EXPECT_LT(slowest, 200.0);
        EXPECT_LT(close, 200.0);
        EXPECT_EQ(SlowOpensMostAtOnce(L"COM12"), 1u);
        EXPECT_EQ(DescriptorsOn(pid, WorldPort("COM12")), 0) << "the late open still held";
        EXPECT_EQ(Text(IDC_STATUS_TEXT), "串口已关闭");
        // The operator's open of a port of 3 s: 正在打开串口… and 取消 at once, then linked, one open
        // made. One of 5 s given up: nothing held or sent when it comes through. One that fails.
        SlowOpensClear();
        SlowOpenSet(L"COM12", 3000);
        double pressed = Open("COM12"), press = Now() - pressed;
        EXPECT_EQ(Text(IDC_STATUS_TEXT) + Text(IDC_OPEN_BUTTON) + (Enabled(IDC_PORT_LIST) ? "+" : "-"), "正在打开串口…取消-");
        slowest = 0;
        EXPECT_TRUE(WaitAnswering(program.main, [&] { return Text(IDC_STATUS_TEXT) == "变送器已连接"; }, 4500, &slowest));
        printf("opened by the operator, a port of 3 s: press taken in %.1f ms, linked %.0f ms after it, slowest "
               "answer %.1f ms, opens %lu\n", press, Now() - pressed, slowest, SlowOpensBegun(L"COM12"));
        EXPECT_TRUE(press < 400 && slowest < 200 && SlowOpensBegun(L"COM12") == 1);
        DriveClick(program.panel, IDC_OPEN_BUTTON);
        SlowOpenSet(L"COM12", 5000);
        int polls = sim.Count(kPollRx);
        Open("COM12");
        c0 = Now();
        DriveClick(program.panel, IDC_OPEN_BUTTON);
        close = Now() - c0;
        ExpectClosed("串口已关闭");
        slowest = 0;
        WaitAnswering(program.main, [] { return false; }, 5500, &slowest);
        printf("a port of 5 s given up: closed in %.1f ms, slowest answer %.1f ms\n", close, slowest);
        EXPECT_LT(close, 200.0);
        EXPECT_EQ(DescriptorsOn(pid, WorldPort("COM12")) + sim.Count(kPollRx) - polls, 0) << "held or sent";
        SlowOpenSet(L"COM77", 1000);
        Open("COM77");
        EXPECT_EQ(Text(IDC_STATUS_TEXT), "正在打开串口…");
        EXPECT_TRUE(DriveWaitText(program.panel, IDC_HINT_TEXT, "找不到该串口", 2000));
        ExpectClosed("打开串口失败");
        SlowOpensClear();
        Open("COM12");
        EXPECT_TRUE(WaitStatus("变送器已连接", 2000));

        // The operator's close while it is away ends the taking back.
        line(false, false, L"COM12");
        EXPECT_TRUE(released(400));
        DriveClick(program.panel, IDC_OPEN_BUTTON);
        ExpectClosed("串口已关闭");
        EXPECT_EQ(Text(IDC_HINT_TEXT), "");
        line(true, true, L"COM12");
        Sleep(1500);
        EXPECT_EQ(Text(IDC_STATUS_TEXT), "串口已关闭");
        EXPECT_EQ(DescriptorsOn(pid, WorldPort("COM12")), 0);
        EXPECT_EQ(sim.Count(kPollRx), 0) << "a frame on the line after the close";

        // The window closed while an open is under way: the program ends, not waiting for it.
        SlowOpenSet(L"COM12", 5000);
        Open("COM12");
        c0 = Now();
        PostMessageW(program.main, WM_CLOSE, 0, 0);
        EXPECT_TRUE(DriveWaitFor([&] { return UnixPidOf("rq47cfg.exe") == 0; }, 4500)) << "it waited for its open";
        printf("closed while opening: the program ended %.0f ms after\n", Now() - c0);
        SlowOpensClear();
    }
}

// The driver against a window whose thread stops answering, as a hung tool's would: each step
// fails within its bound, and the case goes on with what it saw instead of hanging.
TEST(Driver, WindowThatDoesNotAnswerFailsEachStepWithinItsBound)
{
    std::atomic<HWND> window(NULL);
    std::thread holder([&] {
        window = CreateWindowExW(0, L"STATIC", L"held", WS_POPUP, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
        Sleep(3 * DRIVE_ANSWER_MS);   // its messages wait meanwhile
        DestroyWindow(window);
    });
    EXPECT_TRUE(DriveWaitFor([&] { return window != NULL; }, 5000));
    double t0 = Now();
    DriveClick(window, IDC_OPEN_BUTTON);
    std::string text = DriveText(window);
    double notice = DriveNotice(window, DBT_DEVICEARRIVAL, L"COM3"), took = Now() - t0;
    holder.join();
    printf("a window that does not answer: a click, a text and a notice failed in %.0f ms\n", took);
    EXPECT_TRUE(text.empty() && notice < 0);
    EXPECT_TRUE(took >= 2.0 * DRIVE_ANSWER_MS && took < 2.0 * DRIVE_ANSWER_MS + 3000) << took << " ms";
}

TEST_F(Faults, ThousandOpenCloseCyclesLeakNothingAndStillWork)
{
    Start("--channel 5 --quiet");
    unsigned long pid = UnixPidOf("rq47cfg.exe");   // its descriptors stand for handles
    ASSERT_NE(pid, 0ul);
    Open();
    WaitLinkedAndReadBack(5);
    DriveClick(program.panel, IDC_OPEN_BUTTON);
    Sleep(300);
    int fdsBefore = Descriptors(pid);
    double wsBefore = DriveWorkingSetMb(program.process.hProcess, false);
    double slowest = 0, t0 = Now();
    for (int i = 0; i < 1000; i++) {
        double c0 = Now();
        DriveClick(program.panel, IDC_OPEN_BUTTON);          // open
        DriveClick(program.panel, IDC_OPEN_BUTTON);          // close
        slowest = std::max(slowest, Now() - c0);
        ASSERT_EQ(Text(IDC_STATUS_TEXT), "串口已关闭") << "cycle " << i;
    }
    double took = Now() - t0;
    Sleep(300);
    int fdsAfter = Descriptors(pid);
    double wsAfter = DriveWorkingSetMb(program.process.hProcess, false);
    int held = DescriptorsOn(pid, WorldPort("COM3"));
    printf("1000 cycles in %.1f s (slowest open+close %.1f ms); descriptors %d -> %d, "
           "on the port %d; working set %.2f -> %.2f MB\n",
           took / 1000, slowest, fdsBefore, fdsAfter, held, wsBefore, wsAfter);
    EXPECT_EQ(held, 0);
    EXPECT_LE(fdsAfter, fdsBefore + 10);
    EXPECT_LE(wsAfter, wsBefore + 1.0);
    EXPECT_LT(slowest, 500.0);
    Open();
    WaitLinkedAndReadBack(5);
}

// Every press ends in exactly one outcome, and Apply always comes back.
TEST_F(Faults, ApplyStormEndsEveryPressInOneOutcome)
{
    Start("--channel 1 --accept 1-12 --set-delay 0-300 --set-silence 10 --quiet");
    Open();
    WaitLinkedAndReadBack(1);
    const std::string outcomes[] = {"配置成功", "配置失败", "配置超时"};
    int count[3] = {0, 0, 0};
    std::mt19937 rng(7);
    for (int press = 0; press < 200; press++) {
        ASSERT_TRUE(Enabled(IDC_APPLY_BUTTON)) << "Apply stayed disabled before press " << press;
        Apply(int(rng() % 16) + 1);
        std::string status;
        int which = 3;
        DriveWaitFor([&] {
            status = Text(IDC_STATUS_TEXT);
            return (which = int(std::find(outcomes, outcomes + 3, status) - outcomes)) < 3;
        }, 6500);
        ASSERT_LT(which, 3) << "press " << press << " ended in \"" << DriveUtf8(status) << "\"";
        count[which]++;
        DriveWaitFor([&] { return Enabled(IDC_APPLY_BUTTON); }, 1000);
        // The link may come and go meanwhile (a reply that arrives in one piece with another is
        // dropped with it), but no second outcome may follow.
        std::string after = Text(IDC_STATUS_TEXT);
        EXPECT_TRUE(after == status || std::find(std::begin(outcomes), std::end(outcomes), after) ==
                                           std::end(outcomes))
            << "a second outcome for press " << press;
    }
    printf("200 presses: %d succeeded, %d refused, %d timed out\n", count[0], count[1], count[2]);
    EXPECT_EQ(count[0] + count[1] + count[2], 200);
    EXPECT_GT(count[2], 0) << "the simulator was told to ignore about one press in ten";
}

} // namespace
