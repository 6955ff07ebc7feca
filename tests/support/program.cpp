#include "program.h"

#include "unix.h"

#include <stdlib.h>

Program StartProgram()
{
    const char *exe = getenv("RQ47_EXE");
    return exe ? DriveStart(UnixPath(exe)) : Program();
}
