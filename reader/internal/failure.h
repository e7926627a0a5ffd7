// SPDX-License-Identifier: MIT
// Failures of the query running in a thread (internal): errno kept apart.
//
// Objects vanish while sysfs is read (a session logs out, a LUN goes); that
// is absence, and the queries answer it as they always have.  A directory
// that exists but cannot be read (EACCES, EMFILE, EIO...) is a failure: it is
// traced at once, with the errno's text, and the query then reports failure
// rather than absence or success.  The I/O layer notes failures where they
// happen; the query's scope traces them and knows whether there were any.
#ifndef SYSFSREADER_INTERNAL_FAILURE_H
#define SYSFSREADER_INTERNAL_FAILURE_H

#include <functional>
#include <string>
#include <string_view>

namespace Quentor {
namespace LinuxEnum {
namespace detail {

// Whether an errno says that what was sought is not there: ENOENT, ENODEV,
// ENOTDIR (a file, or a link that leads nowhere, where a directory was
// sought).  Every other errno is a failure.
bool IsAbsence(int error);

// Whether an errno says that the reader itself ran short (descriptors,
// memory) rather than that a file refused to be read.
bool IsExhaustion(int error);

// Records that reading path failed with error, for the query running in
// this thread; traced through its scope.  Absences are not to be noted.
void NoteFailure(int error, std::string_view path);

// Forgets the failures the thread's previous query met.
void ForgetFailures() noexcept;

// One query's watch over its failures.  Begins by forgetting the failures of
// the thread's previous query; traces each failure noted while it lives.
class FailureScope {
public:
    using Tracer = std::function<void(std::string_view path, int error)>;
    explicit FailureScope(Tracer tracer);
    ~FailureScope();
    FailureScope(const FailureScope&) = delete;
    FailureScope& operator=(const FailureScope&) = delete;

    // Whether any failure was noted since the scope began.
    bool Any() const;
    void Trace(std::string_view path, int error) const;

private:
    Tracer m_tracer;
    FailureScope* m_outer;
};

// The errno of the first failure the thread's last query met; 0 for none.
int LastFailure();

// The text of an errno, as strerror gives it but safe in any thread.
std::string ErrorText(int error);

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif
