// The tool against the lines its users really have: a flood of noise, a line pulled out and
// plugged back in, endless opening and closing, and an operator hammering Apply. Every case is
// bounded in time and ends its processes, also when it fails.
#include "session.h"


#include <algorithm>
#include <random>

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

TEST_F(Faults, UnpluggedLineIsNoticedAndAReplugConnectsAgain)
{
    Start("--channel 8", "COM44");
    Open("COM12");
    WaitLinkedAndReadBack(8);
    double pulled = Now();
    ASSERT_TRUE(WorldTrigger("unplug-COM12"));
    ASSERT_TRUE(WaitStatus("等待变送器连接", 4000));
    double noticed = Now() - pulled;
    printf("unplug noticed after %.0f ms\n", noticed);
    EXPECT_LE(noticed, 3500.0);
    // A poll written before the line went may stay in the look back for a tick or two.
    EXPECT_TRUE(DriveWaitText(program.panel, IDC_HINT_TEXT, "串口已断开，请检查串口线或适配器", 1500));
    EXPECT_LT(Responsiveness(program.main), 200.0);
    DriveClick(program.panel, IDC_OPEN_BUTTON);
    EXPECT_EQ(Text(IDC_STATUS_TEXT), "串口已关闭");
    ASSERT_TRUE(Alive(program));

    sim.Stop();                              // its end of the line is gone too
    ASSERT_TRUE(WorldTrigger("replug-COM12"));
    sim.Start("--channel 8", "COM44");
    Open("COM12");
    EXPECT_EQ(Text(IDC_STATUS_TEXT), "串口已打开");
    WaitLinkedAndReadBack(8);
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
    int held = DescriptorsOn(pid, TestEnvDir() + "/COM3");
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
