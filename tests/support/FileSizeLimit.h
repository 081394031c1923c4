#pragma once

#include <sys/resource.h>

// While it lives, no file of this process grows beyond `bytes`, as on a nearly
// full disk: a longer write fails (EFBIG), whoever runs it, root included.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();

private:
    rlimit mBefore {};
    void (*mAction)(int);
};
