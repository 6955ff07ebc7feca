#include "unix.h"

#include <windows.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

std::string UnixPath(const std::string &path)
{
    std::string p = "Z:" + path;
    for (char &c : p)
        if (c == '/')
            c = '\\';
    return p;
}

std::string TestEnvDir()
{
    const char *dir = getenv("TESTENV_DIR");
    return dir ? dir : "";
}

std::string WorldPort(const char *name)
{
    return TestEnvDir() + "/" + name;
}

std::string ReadAll(const std::string &path)
{
    std::string text;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == NULL)
        return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

bool UnixStart(const std::string &command)
{
    // Wine gives a Linux program started from here its own standard error and every descriptor
    // not marked close-on-exec: the test runner's output pipe among them, which the runner
    // waits on. None of it goes along.
    std::string line = "Z:\\bin\\bash -c \"exec </dev/null >/dev/null 2>&1; "
                       "for f in /proc/$$/fd/*; do f=${f##*/}; ((f > 2)) && exec {f}>&-; done; " +
                       command + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    // Wine makes no process of a Linux program, and what it then leaves in the process
    // information is stale memory, handle values of this process among it: never closed.
    PROCESS_INFORMATION pi;
    return CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi) != FALSE;
}

// Waits up to 10 s for the file at `unixPath` and returns what it holds, then deletes it; ""
// when it did not appear.
static std::string TakeFile(const std::string &unixPath)
{
    for (int i = 0; i < 1000; i++) {
        if (GetFileAttributesA(UnixPath(unixPath).c_str()) != INVALID_FILE_ATTRIBUTES) {
            std::string text = ReadAll(UnixPath(unixPath));
            DeleteFileA(UnixPath(unixPath).c_str());
            return text;
        }
        Sleep(10);
    }
    return "";
}

// A path for a scratch file in the test world's folder, named after `what`, this process and a
// serial number.
static std::string UnixScratch(const char *what)
{
    static int serial;
    char name[96];
    snprintf(name, sizeof name, "/%s-%lu-%d", what, GetCurrentProcessId(), ++serial);
    return TestEnvDir() + name;
}

std::string UnixRun(const std::string &command)
{
    std::string out = UnixScratch("unixrun");
    // The output file appears only when complete.
    if (!UnixStart("(" + command + ") > '" + out + ".tmp'; mv '" + out + ".tmp' '" + out + "'"))
        return "";
    return TakeFile(out);
}

unsigned long UnixStartProgram(const std::string &command)
{
    std::string out = UnixScratch("unixpid");
    // The shell's process becomes the program's.
    if (!UnixStart("echo $$ > '" + out + ".tmp'; mv '" + out + ".tmp' '" + out + "'; exec " + command))
        return 0;
    return strtoul(TakeFile(out).c_str(), NULL, 10);
}

bool UnixGone(unsigned long pid, DWORD timeoutMs)
{
    char stat[64];
    snprintf(stat, sizeof stat, "Z:\\proc\\%lu\\stat", pid);
    for (DWORD start = GetTickCount();; Sleep(10)) {
        // "PID (name) S ...": a zombie (Z) has let go of everything but its entry.
        std::string text = ReadAll(stat);
        size_t close = text.rfind(')');
        if (close == std::string::npos || text.compare(close, 3, ") Z") == 0)
            return true;
        if (GetTickCount() - start >= timeoutMs) {
            UnixRun("kill -9 " + std::to_string(pid));
            return false;
        }
    }
}

std::string UnixEndSurvivors()
{
    // The world's own programs still running from this prefix, given up to 2 s to finish
    // ending, then ended from here; one line for each.
    return UnixRun("for i in $(seq 40); do s=; for p in $(pgrep -f 'rq47(cfg|sim)[.]exe'); do "
                   "tr '\\0' '\\n' < /proc/$p/environ 2>/dev/null | grep -qxF WINEPREFIX=$WINEPREFIX && s=$s' '$p; "
                   "done; [ ${#s} = 0 ] && break; sleep 0.05; done; "
                   "for p in $s; do echo $(grep -aom1 'rq47[a-z]*[.]exe' /proc/$p/cmdline) '(Linux process' $p')'; "
                   "kill -9 $p; done");
}

unsigned long UnixPid()
{
    // Wine opens files in the calling process, so "self" is this process.
    return strtoul(ReadAll("Z:\\proc\\self\\stat").c_str(), NULL, 10);
}

unsigned long UnixPidOf(const std::string &exe)
{
    // The brackets keep the pattern from matching the shell that runs it, and the dots literal.
    std::string pattern = "[" + exe.substr(0, 1) + "]";
    for (char c : exe.substr(1))
        pattern += c == '.' ? std::string("[.]") : std::string(1, c);
    return strtoul(UnixRun("pgrep -n -f '" + pattern + "'").c_str(), NULL, 10);
}

int DescriptorsOn(unsigned long pid, const std::string &link)
{
    char cmd[512];
    // No double quotes: the command travels inside a quoted Windows command line.
    // A pty whose other end has gone shows as "/dev/pts/N (deleted)".
    snprintf(cmd, sizeof cmd, "readlink /proc/%lu/fd/* | sed 's/ (deleted)$//' | grep -cx $(readlink -f '%s')",
             pid, link.c_str());
    return atoi(UnixRun(cmd).c_str());
}

int Descriptors(unsigned long pid)
{
    char cmd[128];
    snprintf(cmd, sizeof cmd, "ls /proc/%lu/fd | wc -l", pid);
    return atoi(UnixRun(cmd).c_str());
}

bool WorldTrigger(const std::string &request)
{
    std::string path = UnixPath(TestEnvDir()) + "\\" + request;
    FILE *f = fopen(path.c_str(), "w");
    if (f == NULL)
        return false;
    fclose(f);
    // The switchboard takes the file away once it has done it.
    for (int i = 0; i < 200; i++) {
        if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(10);
    }
    return false;
}

std::set<std::string> PrefixPorts()
{
    std::set<std::string> names;
    auto add = [&names](std::string name) {
        for (char &c : name)
            c = char(toupper(static_cast<unsigned char>(c)));
        names.insert(name);
    };
    // The devices Wine made for the host's serial ports and the mapped lines...
    const char *prefix = getenv("WINEPREFIX");
    WIN32_FIND_DATAA fd;
    HANDLE find = prefix ? FindFirstFileA((UnixPath(prefix) + "\\dosdevices\\com*").c_str(), &fd)
                         : INVALID_HANDLE_VALUE;
    if (find != INVALID_HANDLE_VALUE) {
        do
            add(fd.cFileName);
        while (FindNextFileA(find, &fd));
        FindClose(find);
    }
    // ...and every name the port map holds: Wine answers an open of those even when the line
    // behind them is gone.
    HKEY ports;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Wine\\Ports", 0, KEY_READ, &ports) == ERROR_SUCCESS) {
        char name[32];
        DWORD len = sizeof name;
        for (DWORD i = 0; RegEnumValueA(ports, i, name, &len, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
             i++, len = sizeof name)
            add(name);
        RegCloseKey(ports);
    }
    return names;
}

unsigned long PrefixPortMask()
{
    unsigned long mask = 0;
    for (const std::string &name : PrefixPorts()) {
        int n = atoi(name.c_str() + 3);
        mask |= n >= 1 && n <= 32 ? 1ul << (n - 1) : 0;
    }
    return mask;
}
