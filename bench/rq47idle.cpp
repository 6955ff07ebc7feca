// rq47idle: reference processes for the benchmark.
//   rq47idle N     does nothing but what the tool's design costs at rest: N threads, each
//                  looping on Sleep(1) (the parser always; the reader too while no port is open).
//   rq47idle gui   shows a bare window with a combo box and runs a message loop: what any
//                  small dialog program costs in memory, before any code of the tool's own.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

static DWORD WINAPI SleepLoop(LPVOID)
{
    for (;;)
        Sleep(1);
}

static int BareWindow()
{
    HWND window = CreateWindowExA(0, "STATIC", "reference", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                  411, 313, NULL, NULL, GetModuleHandleA(NULL), NULL);
    CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | WS_VISIBLE | CBS_DROPDOWN, 10, 10, 100, 100,
                    window, NULL, GetModuleHandleA(NULL), NULL);
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "gui") == 0)
        return BareWindow();
    int loops = argc > 1 ? atoi(argv[1]) : 2;
    for (int i = 1; i < loops; i++)
        CloseHandle(CreateThread(NULL, 0, SleepLoop, NULL, 0, NULL));
    if (loops > 0)
        SleepLoop(NULL);
    Sleep(INFINITE);
    return 0;
}
