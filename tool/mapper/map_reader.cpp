// SPDX-License-Identifier: MIT
#include "mapper/map_reader.h"

#include <sys/stat.h>

#include <libdevmapper.h>
#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

namespace inventory::mapper {

namespace {

using Outcome = MapRead::Outcome;

MapRead Answer(Outcome outcome, std::string reason)
{
    return {outcome, std::nullopt, std::move(reason), {}};
}

std::string TypesOf(const std::vector<MapTarget>& targets)
{
    std::string types;
    for (const MapTarget& target : targets)
        types += (types.empty() ? "" : ", ") + target.type;
    return types;
}

// The first error libdevmapper logged while a task ran, and the errno of
// that moment: the library hands its log function no errno of its own for
// most errors (it prints strerror(errno) into the text), and a refusal to
// open its control node never reaches an ioctl whose errno the task keeps.
struct TaskLog {
    bool any = false;
    int savedErrno = 0;
    std::string message;
};
TaskLog taskLog;

__attribute__((format(printf, 5, 6))) void KeepTaskLog(int level, const char* /*file*/, int /*line*/,
                                                        int dmErrno, const char* format, ...)
{
    const int savedErrno = errno;
    // Levels are syslog's; warnings and chatter are dropped, as the tool
    // reports only what the answer says.
    if (LOG_PRI(level) <= LOG_ERR && !taskLog.any) {
        char text[256];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        taskLog = {true, dmErrno > 0 ? dmErrno : savedErrno, text};
    }
    errno = savedErrno;
}

bool Refused(int error)
{
    return error == EPERM || error == EACCES;
}

// The answer to a task that failed, from what libdevmapper logged.
// ioctlErrno is the errno of the ioctl where the task got that far: only then
// does ENXIO mean that no map has the number; the same errno from opening the
// control node means a kernel without the device-mapper.
MapRead FailedTask(const std::string& what, int ioctlErrno)
{
    const int error = ioctlErrno != 0 ? ioctlErrno : taskLog.any ? taskLog.savedErrno : 0;
    std::string reason = taskLog.any ? taskLog.message : what;
    if (error != 0 && reason.find(std::strerror(error)) == std::string::npos)
        reason += std::string(": ") + std::strerror(error);
    if (Refused(error))
        return Answer(Outcome::kNotPermitted, std::move(reason));
    // Short of the ioctl: the control node is not there to open.
    if (ioctlErrno == 0 && (error == ENOENT || error == ENXIO || error == ENODEV))
        return Answer(Outcome::kUnreachable, std::move(reason));
    if (ioctlErrno == ENXIO || ioctlErrno == ENODEV)
        return Answer(Outcome::kGone, std::move(reason));
    return Answer(Outcome::kFailed, std::move(reason));
}

// Runs one task (DM_DEVICE_TABLE or DM_DEVICE_STATUS) on the map major:minor
// and collects its targets; on any other end than targets, failure says
// which.
bool RunTask(int type, const char* name, unsigned major, unsigned minor, std::vector<MapTarget>& targets,
             std::string& uuid, MapRead& failure, std::optional<MapRead>& unreachable)
{
    taskLog = {};
    // libdevmapper opens its control node as it makes the first task.
    errno = 0;
    std::unique_ptr<dm_task, decltype(&dm_task_destroy)> task(dm_task_create(type), &dm_task_destroy);
    if (!task) {
        // Told once: after a failure to open its control node the library
        // fails every task without a word, for the same reason.
        if (!taskLog.any && unreachable)
            failure = *unreachable;
        else
            unreachable = failure = FailedTask(std::string("no device-mapper ") + name + " task could be made", 0);
        return false;
    }
    if (!dm_task_set_major(task.get(), static_cast<int>(major)) ||
        !dm_task_set_minor(task.get(), static_cast<int>(minor))) {
        failure = Answer(Outcome::kFailed, "device-mapper refused the number " + std::to_string(major) + ":" +
                                               std::to_string(minor));
        return false;
    }
    errno = 0;
    if (!dm_task_run(task.get())) {
        failure = FailedTask(std::string("device-mapper ") + name + " failed", dm_task_get_errno(task.get()));
        return false;
    }
    // libdevmapper takes ENXIO from the status ioctl as an answer: the map
    // does not exist.
    dm_info info{};
    if (!dm_task_get_info(task.get(), &info)) {
        failure = Answer(Outcome::kFailed, std::string("device-mapper ") + name + " gave no map information");
        return false;
    }
    if (!info.exists) {
        failure = Answer(Outcome::kGone, "no device-mapper map is " + std::to_string(major) + ":" +
                                             std::to_string(minor));
        return false;
    }
    const char* mapUuid = dm_task_get_uuid(task.get());
    uuid = mapUuid != nullptr ? mapUuid : "";
    void* next = nullptr;
    do {
        std::uint64_t start = 0;
        std::uint64_t length = 0;
        char* targetType = nullptr;
        char* params = nullptr;
        next = dm_get_next_target(task.get(), next, &start, &length, &targetType, &params);
        if (targetType)
            targets.push_back({targetType, params ? params : ""});
    } while (next);
    return true;
}

}  // namespace

MapRead MapFromTargets(const std::vector<MapTarget>& table, const std::vector<MapTarget>& status)
{
    if (table.empty())
        return Answer(Outcome::kNotMultipath, "no table is loaded");
    if (table.size() != 1 || table[0].type != "multipath")
        return Answer(Outcome::kNotMultipath, "targets: " + TypesOf(table));
    if (status.size() != 1 || status[0].type != "multipath")
        return Answer(Outcome::kFailed, "the map changed between its table and its status (now " +
                                            (status.empty() ? std::string("no target") : TypesOf(status)) + ")");
    MapParse parse = ParseMultipathMap(table[0].params, status[0].params);
    if (!parse.map)
        return Answer(Outcome::kFailed, std::move(parse.error));
    return {Outcome::kMap, std::move(parse.map), {}, {}};
}

DeviceMapperReader::DeviceMapperReader()
{
    dm_log_with_errno_init(KeepTaskLog);
}

DeviceMapperReader::~DeviceMapperReader()
{
    // Closes the control node; the default log (standard error) comes back.
    dm_lib_release();
    dm_log_with_errno_init(nullptr);
}

MapRead DeviceMapperReader::Read(unsigned major, unsigned minor)
{
    // Run as root, libdevmapper makes its control node where there is none
    // (a container's own /dev): a tool that only looks must not, so a host
    // without the node is one whose device-mapper cannot be reached.
    if (!unreachable_) {
        const std::string control = std::string(dm_dir()) + "/control";
        struct stat node;
        if (stat(control.c_str(), &node) != 0) {
            const int error = errno;
            unreachable_ = Answer(error == ENOENT ? Outcome::kUnreachable : Outcome::kFailed,
                                  control + ": " + std::strerror(error));
        }
    }
    if (unreachable_)
        return *unreachable_;
    std::vector<MapTarget> table;
    std::vector<MapTarget> status;
    MapRead failure;
    std::string uuid, statusUuid;
    if (!RunTask(DM_DEVICE_TABLE, "table", major, minor, table, uuid, failure, unreachable_) ||
        !RunTask(DM_DEVICE_STATUS, "status", major, minor, status, statusUuid, failure, unreachable_))
        return failure;
    // Another map took the number between the two reads.
    if (uuid != statusUuid)
        return Answer(Outcome::kGone, "the map " + std::to_string(major) + ":" + std::to_string(minor) +
                                          " changed between its table and its status");
    MapRead read = MapFromTargets(table, status);
    read.uuid = std::move(uuid);  // whatever the map turned out to be
    return read;
}

}  // namespace inventory::mapper
