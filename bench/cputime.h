#pragma once

#include <sys/resource.h>

// User and system CPU time, in seconds: of the process (RUSAGE_SELF) or the calling thread
// (RUSAGE_THREAD).
inline double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
