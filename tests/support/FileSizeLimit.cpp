#include "FileSizeLimit.h"

#include <csignal>

// With the signal ignored the write fails instead of ending the process.
FileSizeLimit::FileSizeLimit(rlim_t bytes)
    : mAction(std::signal(SIGXFSZ, SIG_IGN))
{
    getrlimit(RLIMIT_FSIZE, &mBefore);
    const rlimit limit { bytes, mBefore.rlim_max };
    setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit()
{
    setrlimit(RLIMIT_FSIZE, &mBefore);
    std::signal(SIGXFSZ, mAction);
}
