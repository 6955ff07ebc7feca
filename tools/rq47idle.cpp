// rq47idle N: a reference process for the benchmark that does nothing but what the tool's
// design costs at rest: N threads, each looping on Sleep(1) (the parser always; the reader
// too while no port is open).
#include <windows.h>

#include <stdlib.h>

static DWORD WINAPI SleepLoop(LPVOID)
{
    for (;;)
        Sleep(1);
}

int main(int argc, char **argv)
{
    int loops = argc > 1 ? atoi(argv[1]) : 2;
    for (int i = 1; i < loops; i++)
        CloseHandle(CreateThread(NULL, 0, SleepLoop, NULL, 0, NULL));
    if (loops > 0)
        SleepLoop(NULL);
    Sleep(INFINITE);
    return 0;
}
