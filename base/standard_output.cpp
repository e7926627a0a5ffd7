// SPDX-License-Identifier: MIT
#include "standard_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace base {

void StandardOutput::Line(std::initializer_list<std::string_view> parts)
{
    errno = 0;
    for (std::string_view part : parts)
        std::cout << part;
    std::cout << std::endl;
    Watch();
}

void StandardOutput::Text(std::string_view text)
{
    errno = 0;
    std::cout << text << std::flush;
    Watch();
}

int StandardOutput::Close()
{
    // errno is left as it is: where the program wrote to std::cout itself
    // (a help text) and that write failed, it still tells why.
    std::cout.flush();
    Watch();
    errno = 0;
    if (std::fflush(stdout) != 0 && m_errno == 0)
        m_errno = errno != 0 ? errno : EIO;
    if (close(STDOUT_FILENO) != 0 && m_errno == 0 && errno != EBADF)
        m_errno = errno;
    return m_errno;
}

int StandardOutput::Finish(int status)
{
    if (const int error = Close(); error != 0) {
        Complain(m_program, std::string("write error: ") + std::strerror(error));
        return 1;
    }
    return status;
}

void StandardOutput::Watch()
{
    if (!std::cout && m_errno == 0)
        m_errno = errno != 0 ? errno : EIO;
}

void Complain(std::string_view program, std::string_view message)
{
    std::cerr << program << ": " << message << std::endl;
}

}  // namespace base
