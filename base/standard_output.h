// SPDX-License-Identifier: MIT
// A program's standard output, with its first failure kept: a full disk or a
// closed descriptor is reported with its reason when the program ends, never
// taken for success.
#ifndef SYSFSREADER_BASE_STANDARD_OUTPUT_H
#define SYSFSREADER_BASE_STANDARD_OUTPUT_H

#include <initializer_list>
#include <string_view>

namespace base {

// Every write goes through std::cout and is flushed, so that a run cut short
// has printed everything up to its last line and the errno of a failed write
// is caught before the program's next system calls overwrite it.
class StandardOutput {
public:
    // program names the program in the message Finish writes; it is kept
    // as a view, so it must outlive the object (a literal does).
    explicit StandardOutput(std::string_view program) : m_program(program) {}

    // One line: the parts, then a newline.
    void Line(std::initializer_list<std::string_view> parts);
    // Text as it is.
    void Text(std::string_view text);
    bool Failed() const { return m_errno != 0; }

    // Flushes and closes standard output, as the last thing the program does
    // with it: a file system may report a failed write only at the close.
    // Returns 0 or the errno of the first failure.
    int Close();

    // Closes standard output as the run's end: a failure to write it is
    // named on standard error ("program: write error: reason") and makes the
    // status 1.  Returns status otherwise.
    int Finish(int status);

private:
    void Watch();

    std::string_view m_program;
    int m_errno = 0;
};

// "program: message" on standard error.
void Complain(std::string_view program, std::string_view message);

}  // namespace base

#endif
