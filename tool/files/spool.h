// SPDX-License-Identifier: MIT
// Text kept aside while the walk goes on, to be written out later, without
// holding it in memory: the JSON document's "sessions" come after parts of
// the document that the walk reaches after the sessions.
#ifndef ISCSI_INVENTORY_SPOOL_H
#define ISCSI_INVENTORY_SPOOL_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace inventory {

// Text goes to an unlinked file private to the user (in $TMPDIR, else /tmp)
// in chunks, so that the heap holds one chunk whatever the size of the text.
// Where no such file can be made, or a write to it fails (a full file
// system, or EFBIG from a file size limit: the program ignores SIGXFSZ), the
// rest of the text stays in memory instead: dearer, but the result is the same.
class Spool {
public:
    static constexpr std::size_t kChunk = 64 * 1024;

    void Append(std::string_view text);
    bool Empty() const { return m_fileSize == 0 && m_buffer.empty(); }

    // Hands everything appended to sink, in order and in pieces of at most
    // about kChunk bytes.  Returns 0, or the errno of a failure to read the
    // file back (sink has then had only a part).
    int Replay(const std::function<void(std::string_view)>& sink) const;

private:
    void Drain();

    base::UniqueFd m_file;
    off_t m_fileSize = 0;     // bytes written to the file
    bool m_opened = false;    // the file was tried
    bool m_inMemory = false;  // m_buffer keeps everything not in the file
    std::string m_buffer;
};

}  // namespace inventory

#endif
