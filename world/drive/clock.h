// Milliseconds from the performance counter, for measuring intervals in tests.
#ifndef WORLD_CLOCK_H
#define WORLD_CLOCK_H

#include <windows.h>

inline double Now()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return 1000.0 * double(c.QuadPart) / double(f.QuadPart);
}

#endif
