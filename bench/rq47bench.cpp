// rq47bench: measures the configuration tool as its users feel it, against a simulated
// transmitter that answers at once on the far end of the tool's line. Prints a table and
// writes the figures as JSON. Run by tools/bench.sh, which sets up the line and the simulator.
//
//   rq47bench TOOL.exe IDLE.exe JSON [--applies N] [--opens N] [--cpu-seconds S] [--soak-seconds S]
//
// Apply and Open are timed from just before the click to the first look that finds the
// status text; a look (WM_GETTEXT across processes) costs what "look" in the table says. CPU is
// measured with no port open, linked, and with the port pulled out (the test world's switchboard
// ends the line; TESTENV_DIR names the world). Every port of the world has the system's record
// of an adapter meanwhile, as on a PC with USB adapters, and the notices of a burst of 100 are
// answered with those records read each time.
#include "clock.h"
#include "driver.h"
#include "panel.h"
#include "names.h"
#include "records.h"
#include "texts.h"
#include "unix.h"

#include <algorithm>
#include <random>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

static double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = size_t(p / 100.0 * double(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// Waits until the status reads `text`; the time it was first seen, or -1 after `ms`.
static double WaitStatus(HWND panel, const std::string &text, DWORD ms)
{
    double end = Now() + ms;
    while (Now() < end) {
        if (DriveItemText(panel, IDC_STATUS_TEXT) == text)
            return Now();
    }
    return -1;
}

// CPU time of a Linux process, all its threads, in ms (utime and stime of /proc/PID/stat).
static double CpuMs(unsigned long pid)
{
    char path[64], text[1024] = {0};
    snprintf(path, sizeof path, "Z:\\proc\\%lu\\stat", pid);
    FILE *f = fopen(path, "rb");
    if (f == NULL)
        return 0;
    fread(text, 1, sizeof text - 1, f);
    fclose(f);
    const char *p = strrchr(text, ')');     // the name may hold spaces
    unsigned long long utime = 0, stime = 0;
    if (p != NULL)
        sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime);
    return double(utime + stime) * 1000.0 / 100.0;    // USER_HZ
}

// CPU share of one core used by the tool and by a reference doing only `loops` sleep loops,
// side by side over `seconds`.
static void CpuSideBySide(unsigned long tool, const std::string &idleExe, int loops, int seconds,
                          double *toolPct, double *refPct)
{
    PROCESS_INFORMATION ref;
    DriveLaunch("\"" + idleExe + "\" " + std::to_string(loops), NULL, CREATE_NO_WINDOW, &ref);
    Sleep(2000);
    unsigned long refPid = UnixPidOf("rq47idle.exe");
    double t0 = Now(), a0 = CpuMs(tool), b0 = CpuMs(refPid);
    Sleep(DWORD(seconds) * 1000);
    double wall = Now() - t0;
    *toolPct = 100 * (CpuMs(tool) - a0) / wall;
    *refPct = 100 * (CpuMs(refPid) - b0) / wall;
    DriveEnd(&ref);
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: rq47bench TOOL.exe IDLE.exe JSON [--applies N] [--opens N] "
                        "[--cpu-seconds S] [--soak-seconds S]\n");
        return 2;
    }
    std::string toolExe = argv[1], idleExe = argv[2], jsonPath = argv[3];
    int applies = 100, opens = 20, cpuSeconds = 30, soakSeconds = 600;
    for (int i = 4; i + 1 < argc; i += 2) {
        int v = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--applies")) applies = v;
        else if (!strcmp(argv[i], "--opens")) opens = v;
        else if (!strcmp(argv[i], "--cpu-seconds")) cpuSeconds = v;
        else if (!strcmp(argv[i], "--soak-seconds")) soakSeconds = v;
        else { fprintf(stderr, "rq47bench: unknown option %s\n", argv[i]); return 2; }
    }
    std::mt19937 rng(20261207);

    WIN32_FILE_ATTRIBUTE_DATA attr;
    GetFileAttributesExA(toolExe.c_str(), GetFileExInfoStandard, &attr);
    double exeKb = attr.nFileSizeLow / 1024.0;

    const wchar_t *ports[] = {L"COM3", L"COM10", L"COM11", L"COM12", L"COM32", L"COM33",
                              L"COM40", L"COM41", L"COM42", L"COM43", L"COM44", L"COM45"};
    const wchar_t *kinds[] = {L"USB-SERIAL CH340 (%ls)", L"Prolific USB-to-Serial Comm Port (%ls)",
                              L"Silicon Labs CP210x USB to UART Bridge (%ls)", L"USB Serial Port (%ls)"};
    int records = 0;
    for (const wchar_t *port : ports) {
        wchar_t instance[64], name[96];
        swprintf(instance, 64, L"ROOT\\PORTS\\BENCH-%ls", port);
        swprintf(name, 96, kinds[records % 4], port);
        records += RecordAdd(instance, port, name, L"USB\\VID_1A86&PID_7523");
    }

    // Start to window shown, Wine warm: the first start is not counted.
    std::vector<double> starts;
    for (int i = 0; i < 11; i++) {
        double t0 = Now();
        DriveProcess p = DriveStart(toolExe);
        if (p.main == NULL) {
            fprintf(stderr, "rq47bench: the tool's window did not appear\n");
            return 1;
        }
        if (i > 0)
            starts.push_back(Now() - t0);
        DriveStop(&p);
    }

    DriveProcess tool = DriveStart(toolExe);
    HWND panel = tool.panel;
    unsigned long pid = UnixPidOf("rq47cfg.exe");
    // The slowest answer to a burst of notices, of a port that comes and goes.
    double slowestNotice = 0;
    for (int i = 0; i < 100; i++)
        slowestNotice = std::max(slowestNotice, DriveNotice(tool.main, i % 2 ? DBT_DEVICEREMOVECOMPLETE : DBT_DEVICEARRIVAL, L"COM61"));
    double cpuClosed, refClosed, cpuOpen, refOpen;
    CpuSideBySide(pid, idleExe, 2, cpuSeconds, &cpuClosed, &refClosed);

    // What one look at the status costs.
    double l0 = Now();
    for (int i = 0; i < 200; i++)
        DriveItemText(panel, IDC_STATUS_TEXT);
    double lookMs = (Now() - l0) / 200;

    // Open to connected, from a closed port after a random pause.
    DriveSetText(panel, IDC_PORT_LIST, "COM3");
    std::vector<double> openMs;
    for (int i = 0; i < opens; i++) {
        Sleep(200 + rng() % 500);
        double t0 = Now();
        DriveClick(panel, IDC_OPEN_BUTTON);
        double seen = WaitStatus(panel, TEXT_LINKED, 3000);
        if (seen > 0)
            openMs.push_back(seen - t0);
        else
            fprintf(stderr, "rq47bench: open %d did not connect\n", i);
        DriveClick(panel, IDC_OPEN_BUTTON);
    }

    DriveClick(panel, IDC_OPEN_BUTTON);
    WaitStatus(panel, TEXT_LINKED, 3000);
    DriveWaitChannel(panel, 1, 3000);             // the simulator starts on channel 1
    CpuSideBySide(pid, idleExe, 1, cpuSeconds, &cpuOpen, &refOpen);

    // Apply to success, clicked at random moments.
    std::vector<double> applyMs;
    for (int i = 0; i < applies; i++) {
        Sleep(100 + rng() % 700);
        DriveSelect(panel, IDC_CHANNEL_LIST, int(rng() % 16));
        double t0 = Now();
        DriveClick(panel, IDC_APPLY_BUTTON);
        double seen = WaitStatus(panel, TEXT_CONFIG_OK, 6000);
        if (seen > 0)
            applyMs.push_back(seen - t0);
        else
            fprintf(stderr, "rq47bench: apply %d ended in \"%s\"\n", i,
                    DriveUtf8(DriveItemText(panel, IDC_STATUS_TEXT)).c_str());
    }

    // Soak: linked and polled; memory and descriptors sampled, link losses counted.
    double ws0 = DriveWorkingSetMb(tool.process.hProcess, false), wsMax = ws0, ws1 = ws0;
    int fd0 = Descriptors(pid), fdMax = fd0, fd1 = fd0, losses = 0;
    bool lost = false;
    for (double end = Now() + soakSeconds * 1000.0; Now() < end;) {
        Sleep(200);
        bool waiting = DriveItemText(panel, IDC_STATUS_TEXT) == TEXT_LINK_LOST;
        losses += waiting && !lost;
        lost = waiting;
        ws1 = DriveWorkingSetMb(tool.process.hProcess, false);
        fd1 = Descriptors(pid);
        wsMax = std::max(wsMax, ws1);
        fdMax = std::max(fdMax, fd1);
    }
    double peakMb = DriveWorkingSetMb(tool.process.hProcess, true);

    // The port pulled out while open, line and name gone, and announced: the tool has let go of
    // it and tries to open it again every second. Last, as the simulator's line goes with it.
    const std::wstring target = NameTarget(L"COM3");
    double cpuAway = 0, refAway = 0;
    if (!target.empty() && PortPull(L"COM3")) {
        DriveNotice(tool.main, DBT_DEVICEREMOVECOMPLETE, L"COM3");
        CpuSideBySide(pid, idleExe, 2, cpuSeconds, &cpuAway, &refAway);
        PortPlug(L"COM3", target);
    } else {
        fprintf(stderr, "rq47bench: could not pull COM3 out\n");
    }
    PROCESS_INFORMATION bare;
    DriveLaunch("\"" + idleExe + "\" gui", NULL, CREATE_NO_WINDOW, &bare);
    Sleep(1500);
    double barePeakMb = DriveWorkingSetMb(bare.hProcess, true);
    DriveEnd(&bare);
    DriveStop(&tool);
    RecordRemoveAll();

    // Labels in UTF-8 for the terminal; the program's own texts are GBK.
    std::string applied = "Apply -> " + DriveUtf8(TEXT_CONFIG_OK), linked = "Open -> " + DriveUtf8(TEXT_LINKED);
    printf("%-40s %10s %10s %10s %10s\n", "measure", "min", "p50", "p95", "max");
    printf("%-44s %10.1f %10.1f %10.1f %10.1f   ms, %zu clicks\n", applied.c_str(), Percentile(applyMs, 0),
           Percentile(applyMs, 50), Percentile(applyMs, 95), Percentile(applyMs, 100), applyMs.size());
    printf("%-46s %10.1f %10.1f %10s %10.1f   ms, %zu opens\n", linked.c_str(), Percentile(openMs, 0),
           Percentile(openMs, 50), "", Percentile(openMs, 100), openMs.size());
    printf("%-40s %10.1f %10.1f %10s %10.1f   ms, 10 warm starts\n", "start -> window shown",
           Percentile(starts, 0), Percentile(starts, 50), "", Percentile(starts, 100));
    printf("%-40s %10.1f   ms, slowest answer in a burst of 100, %d records\n", "device notices", slowestNotice, records);
    printf("%-40s %10.3f   ms per look at the status\n", "measuring overhead (look)", lookMs);
    printf("%-40s %9.2f%% vs reference %.2f%% (ratio %.2f)\n", "CPU, no port open", cpuClosed, refClosed,
           refClosed > 0 ? cpuClosed / refClosed : 0);
    printf("%-40s %9.2f%% vs reference %.2f%% (ratio %.2f)\n", "CPU, port open and linked", cpuOpen, refOpen,
           refOpen > 0 ? cpuOpen / refOpen : 0);
    printf("%-40s %9.2f%% vs reference %.2f%% (ratio %.2f)\n", "CPU, port pulled out (away)", cpuAway, refAway,
           refAway > 0 ? cpuAway / refAway : 0);
    printf("%-40s %10.2f MB (a bare window with a combo box: %.2f MB)\n", "peak working set", peakMb,
           barePeakMb);
    printf("%-40s %10.1f KB\n", "exe size", exeKb);
    printf("%-40s %d s: working set %.2f -> %.2f MB (max %.2f), descriptors %d -> %d (max %d), "
           "link losses %d\n", "soak", soakSeconds, ws0, ws1, wsMax, fd0, fd1, fdMax, losses);

    FILE *json = fopen(jsonPath.c_str(), "w");
    if (json != NULL) {
        fprintf(json,
                "{\n  \"apply_ms\": {\"p50\": %.1f, \"p95\": %.1f, \"max\": %.1f, \"count\": %zu},\n"
                "  \"open_ms\": {\"p50\": %.1f, \"max\": %.1f, \"count\": %zu},\n"
                "  \"start_ms\": {\"p50\": %.1f, \"max\": %.1f}, \"records\": %d,\n"
                "  \"notice_burst_slowest_ms\": %.1f,\n"
                "  \"look_ms\": %.3f,\n"
                "  \"cpu_percent\": {\"closed\": %.2f, \"closed_reference\": %.2f, \"open\": %.2f, "
                "\"open_reference\": %.2f, \"away\": %.2f, \"away_reference\": %.2f},\n"
                "  \"peak_working_set_mb\": %.2f, \"bare_window_process_mb\": %.2f,\n"
                "  \"exe_kb\": %.1f,\n"
                "  \"soak\": {\"seconds\": %d, \"working_set_mb\": [%.2f, %.2f, %.2f], "
                "\"descriptors\": [%d, %d, %d], \"link_losses\": %d}\n}\n",
                Percentile(applyMs, 50), Percentile(applyMs, 95), Percentile(applyMs, 100), applyMs.size(),
                Percentile(openMs, 50), Percentile(openMs, 100), openMs.size(), Percentile(starts, 50),
                Percentile(starts, 100), records, slowestNotice, lookMs, cpuClosed, refClosed, cpuOpen, refOpen, cpuAway, refAway, peakMb, barePeakMb,
                exeKb, soakSeconds, ws0, ws1, wsMax, fd0, fd1, fdMax, losses);
        fclose(json);
    }
    return applyMs.size() == size_t(applies) && openMs.size() == size_t(opens) && refAway > 0 ? 0 : 1;
}
