// The real configuration tool as a process under test: started fresh for a test, found by its
// window, and ended by its process handle (a Wine program takes seconds to exit by itself).
#ifndef TESTS_PROGRAM_H
#define TESTS_PROGRAM_H

#include <windows.h>

struct Program {
    PROCESS_INFORMATION process;
    HWND main;    // NULL when the window did not appear
    HWND panel;
};

// Starts the exe named by RQ47_EXE (a Linux path) and waits up to 10 s for its window.
Program StartProgram();
void StopProgram(Program *program);

#endif
