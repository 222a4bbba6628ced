// Absolute time on the wall clock, counted from the reference date 2001-01-01 00:00:00 GMT.
#include <CoreFoundation/CFDate.h>

#include <time.h>

const CFTimeInterval kCFAbsoluteTimeIntervalSince1970 = 978307200.0;
const CFTimeInterval kCFAbsoluteTimeIntervalSince1904 = 3061152000.0;

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) - kCFAbsoluteTimeIntervalSince1970 + now.tv_nsec * 1e-9;
}
