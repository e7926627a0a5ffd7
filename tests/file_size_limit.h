// SPDX-License-Identifier: MIT
#ifndef SYSFSREADER_TESTS_FILE_SIZE_LIMIT_H
#define SYSFSREADER_TESTS_FILE_SIZE_LIMIT_H

#include <signal.h>
#include <sys/resource.h>

// A file size limit for as long as it lives, with SIGXFSZ ignored as the tool
// ignores it, so that a write past the limit fails with EFBIG.  Both are put
// back however the test ends: a limit left behind by a failed assertion would
// fail every later test of the program.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        m_signalTaken = sigaction(SIGXFSZ, &ignore, &m_signalWas) == 0;
        if (getrlimit(RLIMIT_FSIZE, &m_limitWas) != 0)
            return;
        rlimit limit = m_limitWas;
        limit.rlim_cur = bytes;
        m_limitTaken = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        if (m_limitTaken)
            setrlimit(RLIMIT_FSIZE, &m_limitWas);
        if (m_signalTaken)
            sigaction(SIGXFSZ, &m_signalWas, nullptr);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool Set() const { return m_signalTaken && m_limitTaken; }

private:
    struct sigaction m_signalWas {};
    rlimit m_limitWas{};
    bool m_signalTaken = false;
    bool m_limitTaken = false;
};

#endif
