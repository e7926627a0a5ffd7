// SPDX-License-Identifier: MIT
// A stand-in for the kernel's device-mapper, preloaded into the tool by the
// tests (LD_PRELOAD): the libdevmapper calls the tool makes answer from the
// file ISCSI_DM_STANDIN names instead of the kernel, so that the views of a
// multipath map can be tried on a hand-made tree, on a machine without one.
// ISCSI_DM_STANDIN_DIR names the directory that stands for /dev/mapper (its
// "control" may be any file).  Its lines:
//     MAJOR:MINOR uuid UUID        a multipath map's uuid (dm/uuid in sysfs)
//     MAJOR:MINOR table PARAMS     its table
//     MAJOR:MINOR status PARAMS    and its status
//     refuse ERRNO                 every task fails with that errno (1: EPERM)
// A number without lines is no map.  Nothing here opens a device.
#include <libdevmapper.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

struct dm_task {
    int type = 0;
    unsigned major = 0, minor = 0;
    bool exists = false;
    std::string params, uuid;
    int error = 0;
};

namespace {

// What the file says of major:minor's table or status: its params, or the
// errno every task fails with; found false when it names no such map.
bool Answer(const dm_task& task, std::string& params, std::string& uuid, int& refused)
{
    const char* file = std::getenv("ISCSI_DM_STANDIN");
    std::ifstream in(file ? file : "");
    const std::string number = std::to_string(task.major) + ":" + std::to_string(task.minor);
    const std::string kind = task.type == DM_DEVICE_TABLE ? "table" : "status";
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string first, second;
        words >> first >> second;
        if (first == "refuse") {
            refused = std::atoi(second.c_str());
            return false;
        }
        if (first == number && second == "uuid")
            words >> uuid;
        if (first == number && second == kind)
            std::getline(words >> std::ws, params);
    }
    return !params.empty();
}

}  // namespace

extern "C" {

struct dm_task* dm_task_create(int type)
{
    dm_task* task = new dm_task;
    task->type = type;
    return task;
}

void dm_task_destroy(struct dm_task* dmt)
{
    delete dmt;
}

int dm_task_set_major(struct dm_task* dmt, int major)
{
    dmt->major = static_cast<unsigned>(major);
    return 1;
}

int dm_task_set_minor(struct dm_task* dmt, int minor)
{
    dmt->minor = static_cast<unsigned>(minor);
    return 1;
}

int dm_task_run(struct dm_task* dmt)
{
    int refused = 0;
    dmt->exists = Answer(*dmt, dmt->params, dmt->uuid, refused);
    dmt->error = refused;
    return refused == 0;
}

const char* dm_task_get_uuid(const struct dm_task* dmt)
{
    return dmt->uuid.c_str();
}

int dm_task_get_errno(struct dm_task* dmt)
{
    return dmt->error;
}

int dm_task_get_info(struct dm_task* dmt, struct dm_info* info)
{
    std::memset(info, 0, sizeof *info);
    info->exists = dmt->exists;
    info->major = static_cast<uint32_t>(dmt->major);
    info->minor = static_cast<uint32_t>(dmt->minor);
    return 1;
}

void* dm_get_next_target(struct dm_task* dmt, void* next, uint64_t* start, uint64_t* length,
                         char** target_type, char** params)
{
    static char multipath[] = "multipath";
    *start = 0;
    *length = 2097152;
    *target_type = next == nullptr && dmt->exists ? multipath : nullptr;
    *params = next == nullptr && dmt->exists ? dmt->params.data() : nullptr;
    return nullptr;
}

// Where the reader looks for the control node: the stand-in's own directory.
const char* dm_dir(void)
{
    const char* dir = std::getenv("ISCSI_DM_STANDIN_DIR");
    return dir ? dir : "/nonexistent";
}

void dm_log_with_errno_init(dm_log_with_errno_fn)
{
}

void dm_lib_release(void)
{
}

}  // extern "C"
