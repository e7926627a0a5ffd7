// SPDX-License-Identifier: MIT
#include "failure.h"

#include <cerrno>
#include <cstring>

namespace Quentor {
namespace LinuxEnum {
namespace detail {

namespace {

struct ThreadFailures {
    int first = 0;
    FailureScope* scope = nullptr;
};
thread_local ThreadFailures t_failures;

}  // namespace

bool IsAbsence(int error)
{
    return error == ENOENT || error == ENODEV || error == ENOTDIR;
}

bool IsExhaustion(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS;
}

void NoteFailure(int error, std::string_view path)
{
    if (t_failures.first == 0)
        t_failures.first = error;
    if (t_failures.scope != nullptr)
        t_failures.scope->Trace(path, error);
}

void ForgetFailures() noexcept
{
    t_failures.first = 0;
}

FailureScope::FailureScope(Tracer tracer) : m_tracer(std::move(tracer)), m_outer(t_failures.scope)
{
    t_failures.first = 0;
    t_failures.scope = this;
}

FailureScope::~FailureScope()
{
    t_failures.scope = m_outer;
}

bool FailureScope::Any() const
{
    return t_failures.first != 0;
}

void FailureScope::Trace(std::string_view path, int error) const
{
    if (m_tracer)
        m_tracer(path, error);
}

int LastFailure()
{
    return t_failures.first;
}

std::string ErrorText(int error)
{
    char buffer[128];
    // The GNU strerror_r: the text may or may not be in buffer.
    return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor
