#include "program.h"

#include "driver.h"
#include "unix.h"

#include <stdlib.h>
#include <string>

Program StartProgram()
{
    Program p = {};
    const char *exe = getenv("RQ47_EXE");
    if (exe == NULL)
        return p;
    std::string line = "\"" + UnixPath(exe) + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (!CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &p.process))
        return p;
    WaitForInputIdle(p.process.hProcess, 10000);
    DWORD start = GetTickCount();
    while (p.main == NULL && GetTickCount() - start < 10000) {
        // Only this test's own instance counts.
        HWND w = DriveFindMain(100);
        DWORD pid = 0;
        if (w != NULL)
            GetWindowThreadProcessId(w, &pid);
        if (pid == p.process.dwProcessId)
            p.main = w;
    }
    if (p.main != NULL)
        p.panel = DrivePanel(p.main);
    return p;
}

void StopProgram(Program *p)
{
    if (p->process.hProcess == NULL)
        return;
    TerminateProcess(p->process.hProcess, 0);
    WaitForSingleObject(p->process.hProcess, 5000);
    CloseHandle(p->process.hProcess);
    CloseHandle(p->process.hThread);
    p->process.hProcess = NULL;
    p->main = p->panel = NULL;
}
