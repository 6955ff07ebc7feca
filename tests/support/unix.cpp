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

std::string UnixRun(const std::string &command)
{
    static int serial;
    char name[64];
    snprintf(name, sizeof name, "/unixrun-%lu-%d", GetCurrentProcessId(), ++serial);
    std::string out = TestEnvDir() + name;
    // Wine does not report a Linux child's end, so the output file appears only when complete.
    std::string script = "(" + command + ") > '" + out + ".tmp' 2>/dev/null; mv '" + out + ".tmp' '" + out + "'";
    std::string line = "Z:\\bin\\sh -c \"" + script + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return "";
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (int i = 0; i < 1000; i++) {
        if (GetFileAttributesA(UnixPath(out).c_str()) != INVALID_FILE_ATTRIBUTES) {
            std::string text = ReadAll(UnixPath(out));
            DeleteFileA(UnixPath(out).c_str());
            return text;
        }
        Sleep(10);
    }
    return "";
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
