// The real program under Wine on the test display, driven from this process through its
// window: start state, window and template, opening ports. COM40 is the far end of COM3.
#include "driver.h"
#include "line.h"
#include "panel.h"
#include "session.h"
#include "unix.h"

#include "clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdio.h>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

class Panel : public Session {
protected:
    void SetUp() override
    {
        program = StartProgram();
        ASSERT_NE(program.main, nullptr) << "the program's window did not appear";
        ASSERT_NE(program.panel, nullptr) << "the panel is missing";
    }
};

TEST_F(Panel, StartsClosedWithEveryControlAsItShouldBe)
{
    ExpectClosed("");
    EXPECT_TRUE(Enabled(IDC_OPEN_BUTTON));
    EXPECT_EQ(Text(IDC_VERSION_TEXT), "");

    Strings channels = DriveListItems(program.panel, IDC_CHANNEL_LIST);
    Strings expected;
    for (int i = 1; i <= 16; i++)
        expected.push_back(std::to_string(i));
    EXPECT_EQ(channels, expected) << "the channel list is not sorted";
    EXPECT_EQ(DriveSelection(program.panel, IDC_CHANNEL_LIST), 0);
    EXPECT_EQ(Text(IDC_CHANNEL_LIST), "1");

    // Every port, probed or in the system's serial device map (COM33 and COM40 up here), once,
    // sorted as text, the first selected.
    std::set<std::string> names = PrefixPorts();
    Strings ports(names.begin(), names.end());
    ASSERT_GE(ports.size(), 12u);
    EXPECT_EQ(DriveListItems(program.panel, IDC_PORT_LIST), ports);
    EXPECT_EQ(DriveSelection(program.panel, IDC_PORT_LIST), 0);
    EXPECT_EQ(Text(IDC_PORT_LIST), ports[0]);
}

TEST_F(Panel, MainWindowIsCentredTitledAndMarked)
{
    RECT rc;
    GetWindowRect(program.main, &rc);
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 800);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 600);
    EXPECT_EQ(rc.left, 194);
    EXPECT_EQ(rc.top, 143);
    EXPECT_EQ(rc.right - rc.left, 411);
    EXPECT_EQ(rc.bottom - rc.top, 313);

    EXPECT_EQ(DriveText(program.main), "RQ47配置工具V1.0");
    char cls[64];
    GetClassNameA(program.main, cls, sizeof cls);
    EXPECT_STREQ(cls, "Pellwick");
    DWORD style = DWORD(GetWindowLongA(program.main, GWL_STYLE));
    EXPECT_EQ(style & ~DWORD(WS_VISIBLE | WS_CLIPSIBLINGS), 0x00CB0000u);
    EXPECT_EQ(GetPropA(program.main, "Pellwick__20120902_QZ"), reinterpret_cast<HANDLE>(1));
    EXPECT_EQ(GetClassLongA(program.main, GCL_STYLE), DWORD(CS_HREDRAW | CS_VREDRAW));
    // The test world draws the panel's font with a stand-in of Windows' own metrics (dialog
    // base units 8 x 17), so the 198 dialog units of the panel are 396 px, as on Windows.
    GetWindowRect(program.panel, &rc);
    EXPECT_EQ(rc.right - rc.left, 396) << "the panel's font is not drawn with its stand-in";
}

// The panel's controls as the running program has them: template order (also their tab and
// drawing order), kinds, texts, styles and places. The template's own bytes are checked in
// resource_tests.cpp; here dialog units are turned into pixels with the scale of the first
// group box, as this process cannot ask another's dialog for its font.
TEST_F(Panel, ControlsFollowTheTemplate)
{
    struct Control {
        int id;
        const char *cls;
        const char *text;
        DWORD style;
        RECT du;   // x, y, width, height
    };
    const DWORD group = WS_GROUP | SS_LEFT, push = BS_PUSHBUTTON | WS_TABSTOP;
    const Control controls[] = {
        {-1, "Static", "串口号：", group, {19, 23, 27, 8}},
        {IDC_PORT_LIST, "ComboBox", "", CBS_DROPDOWN | CBS_SORT | CBS_OWNERDRAWFIXED | WS_VSCROLL | WS_TABSTOP, {52, 21, 48, 0}},
        {IDC_OPEN_BUTTON, "Button", "打开串口", push, {124, 20, 50, 14}},
        {-1, "Button", "选择串口", BS_GROUPBOX, {7, 7, 184, 47}},
        {-1, "Button", "配置", BS_GROUPBOX, {7, 57, 184, 34}},
        {IDC_APPLY_BUTTON, "Button", "应用", push, {125, 68, 50, 14}},
        {IDC_STATUS_TEXT, "Static", "", group, {18, 96, 120, 8}},
        {-1, "Static", "信道：", group, {20, 70, 21, 8}},
        {-1, "Static", "版本：", group, {20, 42, 21, 8}},
        {IDC_VERSION_TEXT, "Static", "", group, {51, 42, 96, 8}},
        {IDC_CHANNEL_LIST, "ComboBox", "1", CBS_DROPDOWN | WS_VSCROLL | WS_TABSTOP, {52, 69, 48, 0}},
        {IDC_HINT_TEXT, "Static", "", group | SS_NOPREFIX | SS_ENDELLIPSIS, {18, 106, 172, 8}},   // empty, below the status
    };
    HWND child = GetWindow(program.panel, GW_CHILD);
    RECT box;
    GetWindowRect(GetWindow(GetWindow(GetWindow(child, GW_HWNDNEXT), GW_HWNDNEXT), GW_HWNDNEXT), &box);
    double scaleX = (box.right - box.left) / 184.0, scaleY = (box.bottom - box.top) / 47.0;
    for (const Control &c : controls) {
        ASSERT_NE(child, nullptr) << "fewer controls than the template has";
        SCOPED_TRACE(std::string("control ") + std::to_string(c.id) + " " + c.text);
        EXPECT_EQ(GetDlgCtrlID(child), c.id);
        char cls[32];
        GetClassNameA(child, cls, sizeof cls);
        EXPECT_STREQ(cls, c.cls);
        if (c.id != IDC_PORT_LIST && c.id != IDC_STATUS_TEXT && c.id != IDC_VERSION_TEXT) {
            EXPECT_EQ(DriveText(child), c.text);
        }
        DWORD style = DWORD(GetWindowLongA(child, GWL_STYLE));
        DWORD disabled = c.id == IDC_CHANNEL_LIST || c.id == IDC_APPLY_BUTTON ? WS_DISABLED : 0;
        // A combo box may add CBS_HASSTRINGS and hand WS_VSCROLL on to its list.
        DWORD own = c.cls[0] == 'C' ? DWORD(CBS_HASSTRINGS | WS_VSCROLL) : 0;
        EXPECT_EQ(style & ~own, (WS_CHILD | WS_VISIBLE | c.style | disabled) & ~own);

        RECT got;
        GetWindowRect(child, &got);
        MapWindowPoints(NULL, program.panel, reinterpret_cast<POINT *>(&got), 2);
        EXPECT_NEAR(got.left, c.du.left * scaleX, 1.5);
        EXPECT_NEAR(got.top, c.du.top * scaleY, 1.5);
        EXPECT_NEAR(got.right - got.left, c.du.right * scaleX, 1.5);
        if (c.du.bottom != 0) {   // a combo box's template height includes its opened list
            EXPECT_NEAR(got.bottom - got.top, c.du.bottom * scaleY, 1.5);
        }
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr) << "more controls than the template has";
    // The system adds DS_3DLOOK to every dialog.
    EXPECT_EQ(DWORD(GetWindowLongA(program.panel, GWL_STYLE)) & ~DWORD(WS_CLIPSIBLINGS | DS_3DLOOK),
              DWORD(WS_CHILD | WS_VISIBLE | DS_SETFONT));
}

TEST_F(Panel, OpeningAMissingPortShowsFailureAndChangesNothingElse)
{
    for (const char *port : {"COM29", ""}) {
        Open(port);
        ExpectClosed("打开串口失败");
        EXPECT_EQ(Text(IDC_VERSION_TEXT), "");
    }
    EXPECT_EQ(Text(IDC_HINT_TEXT), "请先选择或输入串口号");
}

TEST_F(Panel, OpeningAMappedPortPollsEveryHalfSecondUntilClosed)
{
    HANDLE remote = LineOpen("COM40");
    ASSERT_NE(remote, INVALID_HANDLE_VALUE);
    Strings ports = DriveListItems(program.panel, IDC_PORT_LIST);
    int com3 = int(std::find(ports.begin(), ports.end(), "COM3") - ports.begin());
    ASSERT_LT(com3, int(ports.size()));
    DriveSelect(program.panel, IDC_PORT_LIST, com3);
    double opened = Now();
    // Open/Close acts on any notification code; other controls' commands and other timers do
    // nothing (six ticks now would lose the link at once).
    SendMessageA(program.panel, WM_COMMAND, MAKEWPARAM(IDC_OPEN_BUTTON, CBN_SELCHANGE), 0);
    for (int id : {0, 2, IDC_PORT_LIST, IDC_STATUS_TEXT, IDC_CHANNEL_LIST})   // an odd count
        SendMessageA(program.panel, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    for (int id : {0, 2, 3, 4, 5, IDC_PORT_LIST})
        SendMessageA(program.panel, WM_TIMER, id, 0);

    EXPECT_EQ(Text(IDC_STATUS_TEXT), "串口已打开");
    EXPECT_EQ(Text(IDC_OPEN_BUTTON), "关闭串口");
    EXPECT_FALSE(Enabled(IDC_PORT_LIST));

    const BYTE poll[7] = {0x55, 0xAA, 0x00, 0x01, 0x00, 0xAA, 0x55};
    std::vector<double> at;
    while (at.size() < 4) {
        BYTE buf[64];
        DWORD n = LineRead(remote, buf, sizeof buf, 1500);
        ASSERT_EQ(n, 7u) << "poll " << at.size();
        EXPECT_EQ(memcmp(buf, poll, 7), 0);
        at.push_back(Now());
    }
    printf("first poll %.0f ms after the click; then every", at[0] - opened);
    for (size_t i = 1; i < at.size(); i++) {
        printf(" %.0f", at[i] - at[i - 1]);
        EXPECT_NEAR(at[i] - at[i - 1], 500.0, 120.0);
    }
    printf(" ms\n");
    // No answer: the sixth tick gives up on the transmitter, and the polls go on.
    EXPECT_TRUE(WaitStatus("等待变送器连接", 2500));
    EXPECT_NEAR(Now() - opened, 3000, 300);
    EXPECT_EQ(Text(IDC_VERSION_TEXT), "");
    BYTE buf[64];
    Sleep(200);
    LineRead(remote, buf, sizeof buf, 10);             // the polls up to the loss
    EXPECT_EQ(LineRead(remote, buf, sizeof buf, 700), 7u) << "polls stopped after the loss";

    DriveClick(program.panel, IDC_OPEN_BUTTON);
    ExpectClosed("串口已关闭");
    LineRead(remote, buf, sizeof buf, 150);            // a poll already queued may still come
    EXPECT_EQ(LineRead(remote, buf, sizeof buf, 1200), 0u) << "polls after the close";
    LineClose(remote);
}

} // namespace
