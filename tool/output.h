// SPDX-License-Identifier: MIT
// Standard output of iscsi-inventory, with its first failure kept.
#ifndef ISCSI_INVENTORY_OUTPUT_H
#define ISCSI_INVENTORY_OUTPUT_H

#include <initializer_list>
#include <string>
#include <string_view>

namespace inventory {

// The errno of a failed write is caught before the next query's system calls
// overwrite it.
class Output {
public:
    // One line, flushed as it is written, so that a run cut short has printed
    // everything up to its last line.
    void Line(std::initializer_list<std::string_view> parts);
    // Text as it is, flushed.
    void Text(std::string_view text);
    bool Failed() const { return m_errno != 0; }

    // Flushes and closes standard output, as the last thing the program does
    // with it: a file system may report a failed write only at the close.
    // Returns 0 or the errno of the first failure.
    int Close();

    // Closes standard output as the run's end: a failure to write it is
    // named, and makes status 1.  Returns status otherwise.
    int Finish(int status);

private:
    void Watch();
    int m_errno = 0;
};

// A message under the program's name on standard error:
// "iscsi-inventory: message".
void Complain(std::string_view message);

}  // namespace inventory

#endif
