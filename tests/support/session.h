// A session with the whole tool: the real program under Wine on the test display, a simulated
// transmitter (rq47sim) on the far end of its line, and the test as the operator, through the
// driver. The simulator's log is the record of what crossed the line.
#ifndef TESTS_SESSION_H
#define TESTS_SESSION_H

#include "clock.h"
#include "driver.h"
#include "panel.h"
#include "names.h"
#include "records.h"
#include "hook.h"
#include "unix.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string>

// The real configuration tool, started fresh for a test.
typedef DriveProcess Program;

// Starts the exe that RQ47_EXE names (a Linux path), in `locale` when given, and waits for its
// window.
inline Program StartProgram(const char *locale = NULL)
{
    const char *exe = getenv("RQ47_EXE");
    return exe ? DriveStart(UnixPath(exe), locale) : Program();
}

inline void StopProgram(Program *program)
{
    unsigned long pid = program->unixPid;
    EXPECT_TRUE(DriveStop(program)) << "rq47cfg.exe (Linux process " << pid << ") outlived its test";
}

static const char kPollRx[] = "rx 55 AA 00 01 00 AA 55";
static const char kQueryRx[] = "rx 55 AA 00 03 00 AA 55";

// A simulated transmitter on a far end, logging to a file of the test world.
struct Simulator {
    PROCESS_INFORMATION process = {};
    std::string log;

    void Start(const std::string &options, const char *port = "COM40")
    {
        static int serial;
        log = UnixPath(TestEnvDir()) + "\\sim-" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(++serial) + ".log";
        SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
        HANDLE out = CreateFileA(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                 CREATE_ALWAYS, 0, NULL);
        std::string line = "\"" + UnixPath(getenv("RQ47_SIM")) + "\" --port " + port + " " + options;
        bool started = DriveLaunch(line, out, CREATE_NO_WINDOW, &process);
        CloseHandle(out);
        ASSERT_TRUE(started) << line;
        // It is listening once it has said so.
        for (int i = 0; i < 500 && Log().find("listening") == std::string::npos; i++)
            Sleep(10);
        ASSERT_NE(Log().find("listening"), std::string::npos) << Log();
    }
    void Stop() { DriveEnd(&process); }
    std::string Log() const { return ReadAll(log); }
    int Count(const std::string &what) const
    {
        std::string text = Log();
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            n++;
        return n;
    }
};

class Session : public testing::Test {
protected:
    Program program = {};
    Simulator sim;
    std::string deviceName;   // the line under the status while all is well: the port's device

    void TearDown() override
    {
        StopProgram(&program);
        sim.Stop();
        RecordRemoveAll();
        SlowOpensClear();
        // Whatever the test did, nothing it started may go on (and hold the runner's output).
        std::string survivors = UnixEndSurvivors();
        if (!survivors.empty())
            ADD_FAILURE() << "outlived its test: " << survivors;
        if (HasFailure())
            printf("simulator log:\n%s\n", sim.Log().c_str());
    }
    // Starts the simulator with `options` and the program (in `locale`, when given).
    void Start(const std::string &options, const char *farEnd = "COM40", const char *locale = NULL)
    {
        sim.Start(options, farEnd);
        program = StartProgram(locale);
        ASSERT_NE(program.panel, nullptr) << "the program's window did not appear";
    }
    std::string Text(int id) { return DriveItemText(program.panel, id); }
    bool Enabled(int id) { return DriveEnabled(program.panel, id); }
    bool WaitStatus(const std::string &text, DWORD ms) { return DriveWaitText(program.panel, IDC_STATUS_TEXT, text, ms); }
    // The panel as it is while no port is open, showing `status`.
    void ExpectClosed(const std::string &status)
    {
        EXPECT_EQ(Text(IDC_STATUS_TEXT), status);
        EXPECT_EQ(Text(IDC_OPEN_BUTTON), "打开串口");
        EXPECT_TRUE(Enabled(IDC_PORT_LIST));
        EXPECT_FALSE(Enabled(IDC_CHANNEL_LIST));
        EXPECT_FALSE(Enabled(IDC_APPLY_BUTTON));
    }
    // Types a port name and presses Open; returns the time of the click.
    double Open(const char *port = "COM3")
    {
        DriveSetText(program.panel, IDC_PORT_LIST, port);
        double at = Now();
        DriveClick(program.panel, IDC_OPEN_BUTTON);
        return at;
    }
    // Waits for the link and the channel read-back that follows it.
    void WaitLinkedAndReadBack(int channel)
    {
        ASSERT_TRUE(WaitStatus("变送器已连接", 2000)) << Text(IDC_STATUS_TEXT);
        EXPECT_EQ(Text(IDC_HINT_TEXT), deviceName) << "a hint while linked";
        ASSERT_TRUE(DriveWaitChannel(program.panel, channel, 2000))
            << "list " << Enabled(IDC_CHANNEL_LIST) << ", apply " << Enabled(IDC_APPLY_BUTTON)
            << ", selection " << DriveSelection(program.panel, IDC_CHANNEL_LIST);
    }
    // Picks a channel and presses Apply; returns the time of the click.
    double Apply(int channel)
    {
        DriveSelect(program.panel, IDC_CHANNEL_LIST, channel - 1);
        double at = Now();
        DriveClick(program.panel, IDC_APPLY_BUTTON);
        return at;
    }
};

#endif
