// SPDX-License-Identifier: MIT
// The reader's own access to the sysfs tree (internal).  Every read of sysfs
// that does not go through libsysfs happens here, by one set of rules:
//
// - A query opens the mount's root directory once (Tree) and reaches every
//   directory from there, one component at a time, with openat and
//   O_NOFOLLOW.  A symbolic link is followed by reading its text and walking
//   that, so a link can never lead outside the mount, and what is read is the
//   very directory that was checked: nothing is reopened by path.  ".." is
//   never opened as such: a climb goes to the directory its path's parent
//   names, reached down from the root, once that directory is seen to hold
//   the one being left; a directory moved while it is walked fails that test
//   and the walk is refused rather than continued from where it now lies.
// - A directory (Dir) is held by its descriptor together with its canonical
//   path (no link on the way), the path the queries report.
// - An attribute is a regular file directly in a directory: never a link,
//   never a FIFO or socket; its content is read when its owner may read it,
//   at most one page; a file whose read fails is left out.
// - What is not there is absent; what is there but cannot be read is a
//   failure, noted for the query (failure.h) by the call that meets it.
//   Every call declared here notes its own failures: one that gives a
//   Result carries the errno as well, one that gives a plain value gives
//   its empty value.  The one exception says so in its name (Tree's
//   TryBeneath) and gives no failure at all.
//
// The pieces: sysfs_path.* (the text of paths and links), open_at.* (the
// system calls that open directories, openat2 and its fallbacks),
// sysfs_dir.cpp (a directory's entries, links and subdirectories),
// attribute_file.cpp (attribute files read), sysfs_tree.cpp (the walk and
// the directories it remembers) and device_identity.cpp (what a device
// directory says of its bus and driver).
#ifndef SYSFSREADER_INTERNAL_SYSFS_IO_H
#define SYSFSREADER_INTERNAL_SYSFS_IO_H

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "failure.h"
#include "reader.h"
#include "sysfs_path.h"

namespace Quentor {
namespace LinuxEnum {
namespace detail {

// One attribute as our own reading delivers it: a name and, where the file
// could be read, its content (at most one page, NUL bytes and final newline
// included).
struct AttributeRecord {
    std::string name;
    bool read = false;
    std::string value;
};
using AttributeRecords = std::vector<AttributeRecord>;

// Identity of a device: what the bus and class queries report of it.
using LinuxEnum::DeviceIdentity;

namespace sysfs {

using base::UniqueFd;

// What seeking something in the tree came to: found (the value), absent (it
// is not there, or not where the tree's rules let us look), or failed with
// an errno (it may be there but could not be read).  A failure is noted for
// the query where it is made (see failure.h); Failure() only carries an
// errno already noted.
template <typename T>
class Result {
public:
    Result(T value) : m_value(std::move(value)) {}
    Result(std::nullopt_t) {}  // absent
    static Result Failure(int error)
    {
        Result failed(std::nullopt);
        failed.m_error = error;
        return failed;
    }

    explicit operator bool() const { return m_value.has_value(); }
    bool Failed() const { return m_error != 0; }
    int Error() const { return m_error; }
    // What a search that found nothing hands on to one of another kind:
    // absent, or failed with the same errno.
    template <typename U>
    Result<U> NotFound() const
    {
        return Failed() ? Result<U>::Failure(m_error) : Result<U>(std::nullopt);
    }
    T& operator*() { return *m_value; }
    const T& operator*() const { return *m_value; }
    T* operator->() { return &*m_value; }
    const T* operator->() const { return &*m_value; }

private:
    std::optional<T> m_value;
    int m_error = 0;
};

// The outcome of seeking path when the system call failed with error:
// absent for an absence, else a failure, noted for the query.
template <typename T>
Result<T> Missing(int error, std::string_view path)
{
    if (IsAbsence(error))
        return std::nullopt;
    NoteFailure(error, path);
    return Result<T>::Failure(error);
}

// A directory entry: its name and its type as the directory tells it
// (DT_UNKNOWN where the filesystem does not say).
struct Entry {
    std::string name;
    unsigned char type;
};

class Tree;

// A directory of the sysfs tree, held open.  Copies share the descriptor.
class Dir {
public:
    // Its canonical path: the mount path and the real directories below it.
    const std::string& Path() const { return m_path; }
    // Its own name, the last component of its path.
    std::string_view Name() const;

    // A real subdirectory (never a link to one).
    Result<Dir> Subdir(std::string_view name) const;
    // Its entries but "." and "..", sorted byte-wise; what could be read of
    // them when the listing fails (a failure noted).
    std::vector<Entry> Entries() const;
    // The text of a symbolic link in it; absent when name is not a link or
    // is gone.
    Result<std::string> LinkText(std::string_view name) const;
    // Whether an entry of this name is a real directory, asking the
    // filesystem only where the listing did not say; false for an entry
    // gone since, and where the filesystem cannot say (a failure noted).
    bool IsSubdir(const Entry& entry) const;
    // Its attributes, in name order.  *vanishing is set when a file listed
    // is gone by the time it is opened (ENOENT, or ENODEV from its device):
    // what is returned is then a part of an object that is going away.
    AttributeRecords Attributes(bool* vanishing = nullptr) const;
    // Those of its attributes that names lists, in name order.  A name not
    // there is left out; *vanishing is set only when a file's device says
    // it is gone (ENODEV).  The names must be components (IsComponent).
    AttributeRecords NamedAttributes(const std::vector<std::string>& names,
                                     bool* vanishing = nullptr) const;

private:
    friend class Tree;
    Dir(std::shared_ptr<const UniqueFd> fd, std::string path) : m_fd(std::move(fd)), m_path(std::move(path)) {}
    int Raw() const { return m_fd->Get(); }

    std::shared_ptr<const UniqueFd> m_fd;
    std::string m_path;
};

// One sysfs mount as a query sees it: its root directory, held open for the
// query, from which every other directory is reached.  It remembers the few
// directories it passed through last, so that a listing whose entries lead
// into the same parent directories costs a few system calls per entry rather
// than one per component of every path.
class Tree {
public:
    // Opens the mount's root.
    static Result<Tree> Open(const std::string& mount);

    const std::string& Mount() const { return m_mount; }
    const Dir& Root() const { return m_root; }

    // A directory by its path: the path must name the mount (taken as
    // written) and then the way below it, which is walked with every link
    // followed inside the mount.  A relative path is taken from the working
    // directory.  Nothing when it is not a directory inside the mount.
    Result<Dir> OpenPath(std::string_view path);

    // The directory that entry name of dir is or leads to, inside the mount;
    // nothing for anything else (a file, a dangling or looping link, a link
    // out of the mount, a name that is not a single component).
    Result<Dir> Follow(const Dir& dir, std::string_view name);

    // The bus a link in dir names: the bus directory it leads to, read from
    // the link's own text (<mount>/bus/NAME); empty when it leads elsewhere.
    std::string BusLinkedBy(const Dir& dir, std::string_view link) const;

private:
    // A directory's device and inode: what it is, whatever its path says.
    // IdentityOf asks the directory held open at fd, whose path is path.
    struct Identity {
        dev_t device;
        ino_t inode;
        bool operator==(const Identity& other) const
        {
            return device == other.device && inode == other.inode;
        }
    };
    static Result<Identity> IdentityOf(int fd, std::string_view path);

    Tree(std::string mount, Dir root, Identity rootIdentity)
        : m_mount(std::move(mount)), m_root(std::move(root)), m_rootIdentity(rootIdentity)
    {
    }
    Result<Dir> Walk(Dir from, std::string_view relative);
    // ".." from a directory the walk holds: the directory its path's parent
    // names, once that directory is seen to hold it under its name; nothing
    // at the mount's root and wherever the path no longer tells where the
    // directory lies (it was moved since it was walked).
    Result<Dir> Climb(const Dir& dir);
    // A path of real directories below the mount (no "." or ".."), opened
    // in one call: the directory, or absent when there is none.  Nothing
    // where it cannot tell (a path of another shape, a link on the way, no
    // openat2 here, or any error): the walk then decides, and notes what it
    // meets.  Notes nothing itself.
    std::optional<Result<Dir>> TryBeneath(const std::string& path);
    // The directory a canonical path names now, reached down from the root
    // without following a link and without the remembered directories.
    Result<Dir> Resolve(const std::string& path);
    std::optional<Dir> Recent(std::string_view path);
    void Remember(const Dir& dir);
    // Drops every remembered directory: after a directory was seen moved,
    // a path remembered may no longer name what it was remembered for.
    void Forget() { m_recent.clear(); }

    std::string m_mount;
    Dir m_root;
    Identity m_rootIdentity;
    std::vector<Dir> m_recent;  // least recently used first
};

// What a query reads of a directory: every attribute (kEveryAttribute), or
// those named.
inline AttributeRecords ReadAttributes(const Dir& dir, const AttributeNames& names,
                                       bool* vanishing = nullptr)
{
    return names ? dir.NamedAttributes(*names, vanishing) : dir.Attributes(vanishing);
}

// Whether every name names one file of a directory (always, for every one).
inline bool NamesFiles(const AttributeNames& names)
{
    if (!names)
        return true;
    for (const std::string& name : *names)
        if (!IsComponent(name))
            return false;
    return true;
}

// A class device as a listing gives it: its entry name in the class
// directory and the canonical path of the directory it leads to.  Only the
// path is kept, so that a listing of any length holds no descriptor.
struct ClassEntry {
    std::string name;
    std::string path;
};

// Every entry of a class directory that leads to a directory inside sysfs, in
// name order.  Plain files and links that lead nowhere are not class devices.
std::vector<ClassEntry> ListClassDevices(Tree& tree, const Dir& classDir);

// Whether a class (or bus devices) directory holds any entry that leads to a
// directory inside sysfs; stops at the first.
bool HasLinkedDirectory(Tree& tree, const Dir& dir);

// The physical device behind a class device (its "device" link), when there
// is one inside sysfs.
Result<Dir> PhysicalDevice(Tree& tree, const Dir& classDevice);

// The bus a device sits on: the bus its obsolete "bus" link names where there
// is one, else the bus its "subsystem" link leads to, else empty.
std::string BusOf(const Tree& tree, const Dir& device);

// A device's identity: bus id and name are its directory's name, the driver
// the name its "driver" link ends in ("unknown" without one, as libsysfs
// says), the bus as BusOf.
DeviceIdentity IdentifyDevice(const Tree& tree, const Dir& device);

}  // namespace sysfs
}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif
