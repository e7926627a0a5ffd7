// SPDX-License-Identifier: MIT
// A file replaced whole, for readers that may look at any moment (the textfile
// collector of node_exporter reads its directory at every scrape).
#ifndef ISCSI_INVENTORY_REPLACE_FILE_H
#define ISCSI_INVENTORY_REPLACE_FILE_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

namespace inventory {

// Writes content to a new temporary file in path's directory (a hidden name
// that does not end in ".prom", created with O_EXCL, given exactly mode
// whatever the umask), flushes it to disk and renames it over path: a reader
// sees the old file or the new one, never a part.  On any failure the
// temporary file is removed and whatever stood at path stays.  Returns 0 or
// the errno of the failure.
int ReplaceFile(const std::string& path, std::string_view content, mode_t mode);

// The same with content that comes in pieces: produce hands each piece to
// the writer it is given (which returns 0 or the errno of the failed write,
// after which it writes nothing more) and returns 0, or an errno of its own
// when it cannot produce the whole content; path is then left as it was.
using PieceWriter = std::function<int(std::string_view)>;
int ReplaceFile(const std::string& path, mode_t mode,
                const std::function<int(const PieceWriter&)>& produce);

}  // namespace inventory

#endif
