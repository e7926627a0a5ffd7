// SPDX-License-Identifier: MIT
#include "output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <iostream>

namespace inventory {

void Output::Line(std::initializer_list<std::string_view> parts)
{
    for (std::string_view part : parts)
        std::cout << part;
    std::cout << std::endl;
    Watch();
}

void Output::Text(std::string_view text)
{
    std::cout << text << std::flush;
    Watch();
}

int Output::Close()
{
    std::cout.flush();
    Watch();
    errno = 0;
    if (std::fflush(stdout) != 0 && m_errno == 0)
        m_errno = errno ? errno : EIO;
    if (close(STDOUT_FILENO) != 0 && m_errno == 0 && errno != EBADF)
        m_errno = errno;
    return m_errno;
}

int Output::Finish(int status)
{
    if (int error = Close(); error != 0) {
        Complain(std::string("write error: ") + std::strerror(error));
        return 1;
    }
    return status;
}

void Complain(std::string_view message)
{
    std::cerr << "iscsi-inventory: " << message << std::endl;
}

void Output::Watch()
{
    if (!std::cout && m_errno == 0)
        m_errno = errno ? errno : EIO;
}

}  // namespace inventory
