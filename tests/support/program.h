// The real configuration tool as a process under test, started fresh for a test.
#ifndef TESTS_PROGRAM_H
#define TESTS_PROGRAM_H

#include "driver.h"

typedef DriveProcess Program;

// Starts the exe that RQ47_EXE names (a Linux path) and waits for its window.
Program StartProgram();

inline void StopProgram(Program *program)
{
    DriveStop(program);
}

#endif
