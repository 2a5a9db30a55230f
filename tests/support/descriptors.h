// Open descriptors of this process, for the checks that nothing leaks.
#pragma once

#include <dirent.h>

namespace kit {

inline int openDescriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
        --n; // the directory's own descriptor
    }
    return n;
}

} // namespace kit
