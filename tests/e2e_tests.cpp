// The whole tool end to end, scenario by scenario.
#include "line.h"
#include "session.h"

#include <dbt.h>
#include <stddef.h>

#include <algorithm>
#include <map>
#include <vector>

namespace {

using EndToEnd = Session;

TEST_F(EndToEnd, LinkUpReadsTheChannelBackOnceAndAgainAfterACloseAndReopen)
{
    Start("--version RQ47-V2.3 --channel 7");
    double opened = Open();
    ASSERT_TRUE(WaitStatus("变送器已连接", 2000));
    printf("open to connected: %.0f ms\n", Now() - opened);
    WaitLinkedAndReadBack(7);
    EXPECT_EQ(Text(IDC_VERSION_TEXT), "RQ47-V2.3");
    EXPECT_EQ(Text(IDC_CHANNEL_LIST), "7");
    int polls = sim.Count(kPollRx);
    Sleep(2100);
    EXPECT_GE(sim.Count(kPollRx) - polls, 3) << "polls stopped";
    EXPECT_EQ(sim.Count(kQueryRx), 1) << "one channel query per link-up, not per report";
    EXPECT_EQ(Text(IDC_STATUS_TEXT), "变送器已连接");

    DriveClick(program.panel, IDC_OPEN_BUTTON);
    ExpectClosed("串口已关闭");
    EXPECT_EQ(Text(IDC_VERSION_TEXT), "RQ47-V2.3") << "the last version stays in view";
    Sleep(300);                                       // a poll already queued may still go out
    polls = sim.Count(kPollRx);
    Sleep(1500);
    EXPECT_EQ(sim.Count(kPollRx), polls) << "polls after the close";
    double reopened = Open();
    ASSERT_TRUE(WaitStatus("变送器已连接", 2000));
    printf("reopen to connected: %.0f ms\n", Now() - reopened);
    WaitLinkedAndReadBack(7);
    EXPECT_EQ(sim.Count(kQueryRx), 2) << "a fresh channel query on the new link-up";
    PostMessageA(program.main, WM_CLOSE, 0, 0);       // with the port open: the program ends
    EXPECT_EQ(WaitForSingleObject(program.process.hProcess, 5000), WAIT_OBJECT_0);
}

TEST_F(EndToEnd, SetChannelIsRefusedOrSucceedsWithTheExactBytesAndApplyComesBack)
{
    Start("--channel 2 --accept 2-16");
    Open();
    WaitLinkedAndReadBack(2);
    Apply(1);
    ASSERT_TRUE(WaitStatus("配置失败", 2000));
    EXPECT_TRUE(Enabled(IDC_APPLY_BUTTON));
    EXPECT_EQ(sim.Count("rx 55 AA 00 05 01 00 AA 55"), 1);
    // Other programs' private messages, with junk where an address could be, or an address that
    // ends the tool if called (the system's DLLs lie at the same place in every process): the
    // tool carries on unchanged.
    WPARAM exitProcess = reinterpret_cast<WPARAM>(GetProcAddress(GetModuleHandleA("kernel32"), "ExitProcess"));
    for (UINT m = WM_APP; m < WM_APP + 16; m++) {
        for (WPARAM junk : {WPARAM(0x12345678), exitProcess})
            SendMessageTimeoutW(program.panel, m, junk, 0x87654321, SMTO_NORMAL, 1000, NULL);
    }
    EXPECT_EQ(WaitForSingleObject(program.process.hProcess, 0), DWORD(WAIT_TIMEOUT)) << "the tool ended";
    double clicked = Apply(16);
    EXPECT_FALSE(Enabled(IDC_APPLY_BUTTON)) << "Apply stays enabled while a change is pending";
    EXPECT_EQ(Text(IDC_STATUS_TEXT), "");
    ASSERT_TRUE(WaitStatus("配置成功", 2000));
    printf("apply to success: %.0f ms\n", Now() - clicked);
    EXPECT_TRUE(Enabled(IDC_APPLY_BUTTON));
    EXPECT_EQ(sim.Count("rx 55 AA 00 05 01 0F AA 55"), 1);
    EXPECT_NE(sim.Log().find("tx 55 AA 00 06 01 01 AA 55"), std::string::npos);
}

TEST_F(EndToEnd, UnansweredChangeTimesOutAtTheTenthTick)
{
    Start("--channel 4 --set-silence 100");
    Open();
    WaitLinkedAndReadBack(4);
    double clicked = Apply(5);
    ASSERT_TRUE(WaitStatus("配置超时", 6000));
    double took = Now() - clicked;
    printf("apply to time-out: %.0f ms\n", took);
    EXPECT_GE(took, 4500);
    EXPECT_LE(took, 5500);
    EXPECT_TRUE(Enabled(IDC_APPLY_BUTTON));
    EXPECT_EQ(Text(IDC_VERSION_TEXT), "V1.0") << "the link stayed up meanwhile";
}

// Names typed into the port field that are no serial port (a file of the operator's, the null
// device) open nothing and are never written to; a name the system takes for a port, in another
// case or by a relative path, opens it and works as the port does. Only the field's first 9
// bytes count, never half a character.
TEST_F(EndToEnd, NameThatIsNoSerialPortFailsAndLeavesItAlone)
{
    Start("--channel 4");
    const char file[] = "C:\\n.txt";
    const std::string data = "the operator's own notes";
    FILE *f = fopen(file, "wb");
    ASSERT_NE(f, nullptr);
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
    for (const char *name : {file, "NUL"}) {
        SCOPED_TRACE(name);
        Open(name);
        ExpectClosed("打开串口失败");
        EXPECT_EQ(Text(IDC_HINT_TEXT), "这不是串口");
    }
    Sleep(1000);                                      // the writer would have written by now
    EXPECT_EQ(ReadAll(file), data);
    remove(file);
    Open("com3");
    EXPECT_EQ(Text(IDC_STATUS_TEXT), "串口已打开");
    EXPECT_EQ(Text(IDC_HINT_TEXT), "");
    WaitLinkedAndReadBack(4);
    DriveClick(program.panel, IDC_OPEN_BUTTON);
    Open("..\\.\\COM3口");                       // 9 bytes, then a character of two
    EXPECT_EQ(Text(IDC_STATUS_TEXT), "串口已打开");
}

// Started in a locale whose ANSI code page is not 936 (C.UTF-8: 1252 under Wine, as on an
// English Windows), the tool shows the very same texts: the title, the template's captions, a
// hint, the status and button after an open, and a GBK version text from the line. The port is
// one beyond the probed range, listed once from the system's serial device map.
TEST_F(EndToEnd, TextsAreTheSameWhateverTheSystemCodePageOnAPortBeyondTheProbe)
{
    Start("--version 变送器V2 --channel 2", "COM42", "C.UTF-8");
    EXPECT_EQ(DriveText(program.main), "RQ47配置工具V1.0");
    std::vector<std::string> captions;
    for (HWND c = GetWindow(program.panel, GW_CHILD); c != NULL; c = GetWindow(c, GW_HWNDNEXT))
        captions.push_back(DriveText(c));
    for (const char *caption : {"串口号：", "打开串口", "选择串口", "配置", "应用", "信道：", "版本："})
        EXPECT_EQ(std::count(captions.begin(), captions.end(), caption), 1) << DriveUtf8(caption);
    std::vector<std::string> ports = DriveListItems(program.panel, IDC_PORT_LIST);
    EXPECT_EQ(std::count(ports.begin(), ports.end(), "COM33"), 1);
    Open("COM29");
    EXPECT_EQ(Text(IDC_HINT_TEXT), "找不到该串口");
    Open("COM33");
    EXPECT_EQ(Text(IDC_STATUS_TEXT), "串口已打开");
    EXPECT_EQ(Text(IDC_OPEN_BUTTON), "关闭串口");
    WaitLinkedAndReadBack(2);
    EXPECT_EQ(Text(IDC_VERSION_TEXT), "变送器V2");
}

// Why nothing answers, as the hint under the status line says: nothing until the status gives
// up on the transmitter, then, on that tick, the cause the line shows. Then the test plays the
// far end and the cause changes while the tool waits (garbage, silence, garbage): the hint
// follows each time within six ticks; it empties at a link-up, the transmitter's last answer
// does not make the silence after it look like garbage, and the close empties it.
TEST_F(EndToEnd, HintSaysWhyNothingAnswersAndFollowsTheLine)
{
    const std::string noData = "未收到任何数据，请检查接线、电源和串口号";
    const std::string garbage = "有数据但没有变送器应答，请检查波特率和设备";
    const struct {
        const char *mode;
        std::string hint;
    } modes[] = {
        {"--silent", noData},
        {"--echo", "只收到本机发出的数据，收发线可能短接"},
        {"--wrong-baud", garbage},
        {"--foreign", garbage},
    };
    for (const auto &m : modes) {
        SCOPED_TRACE(m.mode);
        Start(m.mode);
        Open();
        bool early = false;
        ASSERT_TRUE(DriveWaitFor([&] {
            // The hint first: the tool sets it after the status, on the same tick.
            bool hint = !Text(IDC_HINT_TEXT).empty(), waiting = Text(IDC_STATUS_TEXT) == "等待变送器连接";
            early |= hint && !waiting;
            return waiting;
        }, 4000));
        EXPECT_FALSE(early) << "a hint before the status gave up";
        EXPECT_TRUE(DriveWaitText(program.panel, IDC_HINT_TEXT, m.hint, 100)) << DriveUtf8(Text(IDC_HINT_TEXT));
        StopProgram(&program);
        sim.Stop();
    }

    program = StartProgram();
    ASSERT_NE(program.panel, nullptr);
    HANDLE remote = LineOpen("COM40");
    ASSERT_NE(remote, INVALID_HANDLE_VALUE);
    Open();
    // Answers each poll with `answer` (nothing, when empty) until the hint reads `hint`.
    auto answering = [&](const std::string &answer, const std::string &hint, DWORD ms) {
        return DriveWaitFor([&] {
            BYTE buf[64];
            if (LineRead(remote, buf, sizeof buf, 20) != 0 && !answer.empty())
                LineWrite(remote, answer.data(), DWORD(answer.size()));
            return Text(IDC_HINT_TEXT) == hint;
        }, ms);
    };
    const std::string junk = "\x12\x34\x56", version("\x55\xAA\x00\x02\x03V1\x00\xAA\x55", 10);
    EXPECT_TRUE(answering(junk, garbage, 4000));
    EXPECT_TRUE(answering("", noData, 4000));
    EXPECT_TRUE(answering(junk, garbage, 4000));
    EXPECT_TRUE(answering(version, "", 1000)) << "the hint stayed at the link-up";
    EXPECT_EQ(Text(IDC_STATUS_TEXT), "变送器已连接");
    ASSERT_TRUE(WaitStatus("等待变送器连接", 4000));
    EXPECT_TRUE(DriveWaitText(program.panel, IDC_HINT_TEXT, noData, 100)) << DriveUtf8(Text(IDC_HINT_TEXT));
    DriveClick(program.panel, IDC_OPEN_BUTTON);
    ExpectClosed("串口已关闭");
    EXPECT_EQ(Text(IDC_HINT_TEXT), "");
    LineClose(remote);
}

// --- Framing as seen from outside: the simulator shapes every reply one faulty way.

TEST_F(EndToEnd, FaultyRepliesLinkOrNotAsTheFramingRuleSays)
{
    const struct {
        const char *fault;
        bool links;
    } faults[] = {
        {"double", true},   // two replies in one write: the first counts
        {"split", true},    // replies in two pieces are joined
        {"nozero", true},   // a version text without its zero byte: just the text
        {"stray", false},   // a stray byte before every reply: never a frame
    };
    for (const auto &f : faults) {
        SCOPED_TRACE(f.fault);
        Start(std::string("--channel 11 --fault ") + f.fault + " --version V-" + f.fault);
        double opened = Open();
        if (f.links) {
            WaitLinkedAndReadBack(11);
            EXPECT_EQ(Text(IDC_VERSION_TEXT), std::string("V-") + f.fault);
            Apply(2);
            EXPECT_TRUE(WaitStatus("配置成功", 2000));
        } else {
            ASSERT_TRUE(WaitStatus("等待变送器连接", 4000));
            EXPECT_NEAR(Now() - opened, 3000, 300);
            EXPECT_EQ(Text(IDC_VERSION_TEXT), "");
            EXPECT_EQ(sim.Count(kQueryRx), 0);
        }
        StopProgram(&program);
        sim.Stop();
    }
}

// The test plays the transmitter itself here: a channel report with no payload hands on the end
// mark's first byte, 0xAA, which is no channel: the list is enabled with nothing selected. So
// does index 16, one past the last channel, after a good report.
TEST_F(EndToEnd, PayloadLessChannelReportLeavesNoSelection)
{
    program = StartProgram();
    ASSERT_NE(program.panel, nullptr);
    HANDLE remote = LineOpen("COM40");
    ASSERT_NE(remote, INVALID_HANDLE_VALUE);
    Open();
    // A version text longer than the line shows (a frame has room for 1017 bytes): shown whole.
    std::string text = "RQ47-" + std::string(700, '7');
    std::string version = std::string("\x55\xAA\x00\x02\x00", 5) + text + std::string("\x00\xAA\x55", 3);
    const BYTE bare[] = {0x55, 0xAA, 0x00, 0x04, 0x00, 0xAA, 0x55};
    // Reads what the tool sends, answering each poll with a version report, until `frame` comes.
    auto await = [&](const std::vector<BYTE> &frame, DWORD ms) {
        return DriveWaitFor([&] {
            BYTE buf[64];
            DWORD n = LineRead(remote, buf, sizeof buf, 100);
            if (n >= 7 && buf[3] == 0x01)
                LineWrite(remote, version.data(), DWORD(version.size()));
            return std::vector<BYTE>(buf, buf + n) == frame;
        }, ms);
    };
    ASSERT_TRUE(await({0x55, 0xAA, 0x00, 0x03, 0x00, 0xAA, 0x55}, 3000)) << "no channel query came";
    EXPECT_EQ(Text(IDC_VERSION_TEXT), text);
    LineWrite(remote, bare, sizeof bare);
    EXPECT_TRUE(DriveWaitFor([&] { return Enabled(IDC_APPLY_BUTTON); }, 2000));
    EXPECT_TRUE(Enabled(IDC_CHANNEL_LIST));
    EXPECT_EQ(DriveSelection(program.panel, IDC_CHANNEL_LIST), -1);
    for (BYTE index : {4, 16}) {
        const BYTE report[] = {0x55, 0xAA, 0x00, 0x04, 0x01, index, 0xAA, 0x55};
        LineWrite(remote, report, sizeof report);
        int selection = index < 16 ? index : -1;
        EXPECT_TRUE(DriveWaitFor([&] { return DriveSelection(program.panel, IDC_CHANNEL_LIST) == selection; }, 1000))
            << "index " << int(index);
    }
    DriveClick(program.panel, IDC_APPLY_BUTTON);
    EXPECT_TRUE(await({0x55, 0xAA, 0x00, 0x05, 0x01, 0xFF, 0xAA, 0x55}, 1500))
        << "Apply with no selection did not send 0xFF";
    LineClose(remote);
}

// Adapters plugged in and pulled out while the tool runs, as the system tells every window: the
// list follows; the field, an open port and its link never do, but for an empty field, which
// takes the port that arrives. Notices of no serial port (a volume's, a parallel port's), of other
// events (a query to remove), or whose name runs past the size they give, are ignored, and a
// burst of them leaves the window answering at once. The port chosen so
// is opened from the keyboard, as in any dialog: no control has the focus at start; Tab and
// Shift+Tab go round the enabled tab stops in template order, entering at either end; Space
// presses a button. The system's records of the adapters name the device of each port: the
// dropped list is as wide as they need, and the line under the status names the device of the
// port in the field, typed (any case) or picked, open or not, in any script.
TEST_F(EndToEnd, PortsThatComeAndGoFollowTheListAndTheKeyboardWorksThePanel)
{
    const wchar_t ch340[] = L"USB\\VID_1A86&PID_7523\\3", cp210x[] = L"USB\\VID_10C4&PID_EA60\\1";
    auto record3 = [&] { return RecordAdd(ch340, L"COM3", L"USB-SERIAL CH340 (COM3)", L"USB\\VID_1A86&PID_7523"); };
    ASSERT_TRUE(record3());
    ASSERT_TRUE(RecordAdd(cp210x, L"COM33", L"\ud55c\uad6d CP210x (COM33)", L"USB\\VID_10C4&PID_EA60"));
    Start("--channel 5");
    auto listed = [&](const char *name) {
        std::vector<std::string> ports = DriveListItems(program.panel, IDC_PORT_LIST);
        return std::count(ports.begin(), ports.end(), name);
    };
    auto dropped = [&] { return SendDlgItemMessageW(program.panel, IDC_PORT_LIST, CB_GETDROPPEDWIDTH, 0, 0); };
    RECT field;
    GetWindowRect(GetDlgItem(program.panel, IDC_PORT_LIST), &field);
    EXPECT_TRUE(DriveWaitFor([&] { return dropped() > 2 * (field.right - field.left); }, 1000))
        << "the list as narrow as the field";
    // Dropped, each entry it shows is drawn with its own name, and its own device beside it.
    ASSERT_TRUE(HookInto(program.process.hProcess));
    HookDrawnClear();
    const std::vector<std::string> all = DriveListItems(program.panel, IDC_PORT_LIST);
    const std::map<std::string, std::wstring> devices = {{"COM3", L"USB-SERIAL CH340"}, {"COM33", L"\ud55c\uad6d CP210x"}};
    DriveSelect(program.panel, IDC_PORT_LIST, int(std::find(all.begin(), all.end(), "COM3") - all.begin()));
    HWND list = GetDlgItem(program.panel, IDC_PORT_LIST);
    SendMessageW(list, CB_SHOWDROPDOWN, TRUE, 0);
    DriveWaitFor([] { return HookDrawn().size() >= 3; }, 1000);
    Sleep(100);
    std::map<int, std::vector<std::wstring>> drawn = HookDrawn();
    size_t top = SendMessageW(list, CB_GETTOPINDEX, 0, 0), height = SendMessageW(list, CB_GETITEMHEIGHT, 0, 0);
    SendMessageW(list, CB_SHOWDROPDOWN, FALSE, 0);
    int withDevice = 0;
    for (const auto &row : drawn) {
        size_t entry = top + size_t(row.first) / height;
        ASSERT_LT(entry, all.size()) << "a row drawn at " << row.first;
        std::vector<std::wstring> expected = {std::wstring(all[entry].begin(), all[entry].end())};
        if (devices.count(all[entry]) != 0)
            expected.push_back(devices.at(all[entry]));
        withDevice += expected.size() == 2;
        EXPECT_EQ(row.second, expected) << "the row drawn at " << row.first;
    }
    EXPECT_GE(drawn.size(), 3u);
    EXPECT_GE(withDevice, 1);
    DriveType(program.panel, IDC_PORT_LIST, L"com3");
    EXPECT_EQ(Text(IDC_HINT_TEXT), "USB-SERIAL CH340");
    DriveType(program.panel, IDC_PORT_LIST, L"COM");
    EXPECT_EQ(Text(IDC_HINT_TEXT), "");
    std::vector<std::string> ports = DriveListItems(program.panel, IDC_PORT_LIST);
    DriveSelect(program.panel, IDC_PORT_LIST, int(std::find(ports.begin(), ports.end(), "COM33") - ports.begin()) - 1);
    DriveType(program.panel, IDC_PORT_LIST, L"", VK_DOWN);
    EXPECT_EQ(DriveWideText(program.panel, IDC_HINT_TEXT), L"\ud55c\uad6d CP210x");
    // COM3 pulled out and a new port plugged in (COM60, a name for COM3's line): the list
    // follows, the field stays; COM3 plugged back in while the field is empty is chosen, and opens.
    std::string text = Text(IDC_PORT_LIST);
    ASSERT_TRUE(RecordRemove(ch340));
    DriveNotice(program.main, DBT_DEVICEREMOVECOMPLETE, L"COM3");
    EXPECT_EQ(listed("COM3"), 0);
    ASSERT_TRUE(NameMake(L"COM60", NameTarget(L"COM3")));
    DriveNotice(program.main, DBT_DEVICEARRIVAL, L"COM60");
    DriveNotice(program.main, DBT_DEVICEARRIVAL, L"COM60");
    EXPECT_EQ(listed("COM60"), 1);
    EXPECT_EQ(Text(IDC_PORT_LIST), text);
    DriveSetText(program.panel, IDC_PORT_LIST, "");
    ASSERT_TRUE(record3());
    DriveNotice(program.main, DBT_DEVICEARRIVAL, L"COM3");
    EXPECT_EQ(Text(IDC_PORT_LIST) + Text(IDC_HINT_TEXT), "COM3USB-SERIAL CH340");
    EXPECT_EQ(DriveFocus(program.panel), 0);
    EXPECT_EQ(DriveKey(program.panel, VK_TAB, true), IDC_OPEN_BUTTON);
    EXPECT_EQ(DriveKey(program.panel, VK_TAB), IDC_PORT_LIST);
    EXPECT_EQ(DriveKey(program.panel, VK_TAB), IDC_OPEN_BUTTON);
    DriveKey(program.panel, VK_SPACE);
    deviceName = "USB-SERIAL CH340";
    WaitLinkedAndReadBack(5);
    EXPECT_EQ(DriveKey(program.panel, VK_TAB), IDC_APPLY_BUTTON);
    EXPECT_EQ(DriveKey(program.panel, VK_TAB), IDC_CHANNEL_LIST);
    EXPECT_EQ(DriveKey(program.panel, VK_TAB), IDC_OPEN_BUTTON);
    EXPECT_EQ(DriveKey(program.panel, VK_TAB, true), IDC_CHANNEL_LIST);

    DriveNotice(program.main, DBT_DEVICEARRIVAL, L"LPT1");
    DriveNotice(program.main, DBT_DEVICEARRIVAL, L"COM62", 0, DBT_DEVTYP_VOLUME);
    DriveNotice(program.main, DBT_DEVICEQUERYREMOVE, L"COM63");
    DriveNotice(program.main, DBT_DEVICEARRIVAL, L"COM1234567");
    // "COM3" with no end within the size given; the bytes after it are "3" and an end (in this
    // buffer, and in Wine's, from the notice before).
    DriveNotice(program.main, DBT_DEVICEARRIVAL, L"COM33");
    DriveNotice(program.main, DBT_DEVICEREMOVECOMPLETE, L"COM33", offsetof(DEV_BROADCAST_PORT_W, dbcp_name) + 8);
    DriveNotice(program.main, DBT_DEVICEQUERYREMOVE, L"COM33");
    EXPECT_EQ(listed("COM33") + listed("COM3"), 2);
    EXPECT_EQ(listed("LPT1") + listed("COM1234567") + listed("COM62") + listed("COM63"), 0);

    double slowest = 0;
    for (int i = 0; i < 100; i++)
        slowest = std::max(slowest, DriveNotice(program.main, i % 2 ? DBT_DEVICEREMOVECOMPLETE : DBT_DEVICEARRIVAL, L"COM61"));
    printf("slowest answer in a burst of 100 notices: %.1f ms\n", slowest);
    EXPECT_GE(slowest, 0.0);
    EXPECT_LT(slowest, 250.0);
    EXPECT_EQ(listed("COM61"), 0);
    ASSERT_TRUE(NameRemove(L"COM60"));
    DriveNotice(program.main, DBT_DEVICEREMOVECOMPLETE, L"COM60");
    EXPECT_EQ(listed("COM60"), 0);
    EXPECT_EQ(Text(IDC_PORT_LIST), "COM3") << "the field keeps the open port's name";
    EXPECT_FALSE(Enabled(IDC_PORT_LIST));
    EXPECT_EQ(Text(IDC_STATUS_TEXT), "变送器已连接");
}

} // namespace
