// Open descriptors and threads of this process, for the checks that nothing
// leaks.
#pragma once

#include <dirent.h>

namespace kit {

// Entries of a directory of /proc/self.
inline int entries(const char *dir) {
    int n = 0;
    if (DIR *d = opendir(dir)) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

inline int openDescriptors() { return entries("/proc/self/fd") - 1; } // not the directory's own
inline int runningThreads() { return entries("/proc/self/task"); }

} // namespace kit
