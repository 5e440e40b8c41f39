// Where a job's time goes: with $KESTRIX_TRACE naming a file, every call
// appends one line "<monotonic ms> <pid> <what>" to it (the host, the job
// process and the render service alike, so one file shows a job's whole way);
// without it, nothing. The clock is the system-wide monotonic one, so lines of
// different processes compare.
#pragma once

void Trace(const char* what);
