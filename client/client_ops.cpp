#include "client_ops.h"

#include <cstdarg>
#include <cstdio>

void LogLine(CClientLogOps &log, const char *fmt, ...)
{
    // Long enough for a name of 260 units in UTF-8 and its line.
    char text[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    log.Line(text);
}
