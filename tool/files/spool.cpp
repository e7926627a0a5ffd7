// SPDX-License-Identifier: MIT
#include "files/spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/write_all.h"

namespace inventory {

namespace {

using base::UniqueFd;

// An unlinked file in $TMPDIR (else /tmp), readable by its owner alone:
// O_TMPFILE where the file system has it (the file never has a name, and
// O_EXCL keeps it from ever getting one), else a named one removed at once.
UniqueFd OpenSpoolFile()
{
    const char* dir = secure_getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0')
        dir = "/tmp";
    UniqueFd file(open(dir, O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600));
    if (file)
        return file;
    std::string name = std::string(dir) + "/iscsi-inventory.XXXXXX";
    file.reset(mkostemp(name.data(), O_CLOEXEC));
    if (file)
        unlink(name.c_str());
    return file;
}

}  // namespace

void Spool::Append(std::string_view text)
{
    m_buffer.append(text);
    if (!m_inMemory && m_buffer.size() >= kChunk)
        Drain();
}

void Spool::Drain()
{
    if (!m_opened) {
        m_opened = true;
        m_file = OpenSpoolFile();
    }
    if (!m_file) {
        m_inMemory = true;
        return;
    }
    std::size_t written = 0;
    // After a failed write, what the file holds stays there; the rest, from
    // here on, in memory.
    if (base::WriteAll(m_file.Get(), m_buffer, &written) != 0)
        m_inMemory = true;
    m_fileSize += static_cast<off_t>(written);
    m_buffer.erase(0, written);
}

int Spool::Replay(const std::function<void(std::string_view)>& sink) const
{
    if (m_fileSize > 0) {
        std::vector<char> chunk(kChunk);
        off_t offset = 0;
        while (offset < m_fileSize) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<off_t>(m_fileSize - offset, kChunk));
            ssize_t n = pread(m_file.Get(), chunk.data(), want, offset);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return errno;
            if (n == 0)
                return EIO;  // the file lost what was written to it
            sink(std::string_view(chunk.data(), static_cast<std::size_t>(n)));
            offset += n;
        }
    }
    if (!m_buffer.empty())
        sink(m_buffer);
    return 0;
}

}  // namespace inventory
