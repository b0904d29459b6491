#include "platform/ResourceLimit.h"

#include <dirent.h>
#include <sys/resource.h>

#include <climits>

long RaiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur != limit.rlim_max)
    {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > static_cast<rlim_t>(LONG_MAX)
               ? LONG_MAX
               : static_cast<long>(limit.rlim_cur);
}

long CountOpenDescriptors()
{
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr)
        return -1;
    long count = 0;
    while (const dirent* entry = readdir(folder))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(folder);
    return count - 1; // the folder's own descriptor
}
