// SPDX-License-Identifier: MIT
// SCSI devices in fabricated sysfs trees for the benchmarks: the scsi bus
// with the sd driver, devices on it, disk LUNs bound to sd with the
// attribute files a real disk shows, a LUN's block device, and a multipath
// map over several of them, laid out and linked as the kernel lays them out.
#ifndef SYSFSREADER_BENCH_SCSI_DEVICES_H
#define SYSFSREADER_BENCH_SCSI_DEVICES_H

#include <cstdio>
#include <string>
#include <vector>

#include "tree_writer.h"

// The scsi bus itself and the sd driver with its module.
inline void ScsiBus(const TreeWriter& tree)
{
    tree.Dir("bus/scsi/devices");
    tree.Dir("bus/scsi/drivers/sd");
    tree.Files("bus/scsi",
               {{"drivers_autoprobe", "1", 0644}, {"drivers_probe", "", 0200}, {"uevent", "", 0200}});
    tree.Files("bus/scsi/drivers/sd",
               {{"bind", "", 0200}, {"unbind", "", 0200}, {"uevent", "", 0200}});
    tree.Link("bus/scsi/drivers/sd/module", "../../../../module/sd_mod");
    tree.Dir("module/sd_mod/drivers");
    tree.Files("module/sd_mod", {{"initstate", "live", 0444}, {"refcnt", "2", 0444}});
    tree.Link("module/sd_mod/drivers/scsi:sd", "../../../bus/scsi/drivers/sd");
    tree.Dir("class/scsi_host");
    tree.Dir("class/scsi_device");
}

// A device directory on the scsi bus: its uevent, power directory,
// subsystem link and the bus's devices/ entry.
inline void OnScsiBus(const TreeWriter& tree, const std::string& dir, const std::string& uevent)
{
    const std::string name = dir.substr(dir.rfind('/') + 1);
    tree.Dir(dir + "/power");
    tree.File(dir + "/uevent", uevent, 0644);
    tree.Link(dir + "/subsystem", TreeWriter::Up(TreeWriter::Depth(dir)) + "bus/scsi");
    tree.Link("bus/scsi/devices/" + name, "../../../" + dir);
}

// The WWID the kernel shows (wwid) for the LUN of a serial number: an NAA
// identifier of the kind a Linux target gives its LUNs.
inline std::string LunWwid(int serial)
{
    char wwid[40];
    std::snprintf(wwid, sizeof wwid, "naa.6001405%021x", serial);
    return wwid;
}

// A disk LUN bound to sd, with the attributes and modes a kernel shows; two
// LUNs of one serial number are one logical unit seen twice.
inline void Lun(const TreeWriter& tree, const std::string& dir, const std::string& id, int serial)
{
    OnScsiBus(tree, dir, "DEVTYPE=scsi_device\nDRIVER=sd\nMODALIAS=scsi:t-0x00\n");
    const int up = TreeWriter::Depth(dir);
    tree.Link(dir + "/driver", TreeWriter::Up(up) + "bus/scsi/drivers/sd");
    tree.Link("bus/scsi/drivers/sd/" + id, "../../../../" + dir);

    const std::string wwid = LunWwid(serial);
    tree.Files(dir, {{"blacklist", "", 0444},
                     {"delete", "", 0200},
                     {"device_blocked", "0", 0644},
                     {"device_busy", "0", 0444},
                     {"dh_state", "detached", 0644},
                     {"eh_timeout", "10", 0644},
                     {"evt_capacity_change_reported", "0", 0644},
                     {"evt_inquiry_change_reported", "0", 0644},
                     {"evt_lun_change_reported", "0", 0644},
                     {"evt_media_change", "0", 0644},
                     {"evt_mode_parameter_change_reported", "0", 0644},
                     {"evt_soft_threshold_reached", "0", 0644},
                     {"iocounterbits", "32", 0444},
                     {"iodone_cnt", "0x1f3", 0444},
                     {"ioerr_cnt", "0x2", 0444},
                     {"iorequest_cnt", "0x1f3", 0444},
                     {"iotmo_cnt", "0x0", 0444},
                     {"modalias", "scsi:t-0x00", 0444},
                     {"model", "Bench Disk      ", 0444},
                     {"queue_depth", "32", 0644},
                     {"queue_ramp_up_period", "120000", 0644},
                     {"queue_type", "simple", 0644},
                     {"rescan", "", 0200},
                     {"rev", "0100", 0444},
                     {"scsi_level", "7", 0444},
                     {"state", "running", 0644},
                     {"timeout", "30", 0644},
                     {"type", "0", 0444},
                     {"vendor", "BENCH   ", 0444},
                     {"wwid", wwid, 0444}});
    // Binary attributes: the standard INQUIRY data and the device
    // identification VPD page, no final newline.
    std::string inquiry("\x00\x00\x06\x12\x1f\x00\x00\x02" "BENCH   Bench Disk      0100", 36);
    tree.File(dir + "/inquiry", inquiry, 0444);
    tree.File(dir + "/vpd_pg83", std::string("\x00\x83\x00\x14\x01\x03\x00\x10", 8) + wwid, 0444);
    tree.ClassDevice("scsi_device", dir + "/scsi_device/" + id, {{"uevent", "", 0644}});
}


// The letters of the index-th name of a series: a ... z, aa ... (sd names
// its disks so, multipath its maps).
inline std::string Letters(int index)
{
    std::string letters;
    for (int i = index; i >= 0; i = i / 26 - 1)
        letters.insert(letters.begin(), static_cast<char>('a' + i % 26));
    return letters;
}

// The kernel's name for the index-th sd disk: sda ... sdz, sdaa ...
inline std::string SdName(int index) { return "sd" + Letters(index); }

// The attribute files every whole disk shows in its block directory, sd's
// and device-mapper's alike.
inline std::vector<TreeAttr> DiskAttributes(const std::string& name, int major, int minor,
                                            int diskseq, unsigned long long sectors)
{
    return {{"alignment_offset", "0", 0444},
            {"capability", "50", 0444},
            {"dev", std::to_string(major) + ":" + std::to_string(minor), 0444},
            {"discard_alignment", "0", 0444},
            {"diskseq", std::to_string(diskseq), 0444},
            {"events", "", 0444},
            {"events_async", "", 0444},
            {"events_poll_msecs", "-1", 0644},
            {"ext_range", "256", 0444},
            {"hidden", "0", 0444},
            {"inflight", "       0        0", 0444},
            {"range", "16", 0444},
            {"removable", "0", 0444},
            {"ro", "0", 0444},
            {"size", std::to_string(sectors), 0444},
            {"stat",
             "     178        0     9388       43        0        0        0        0"
             "        0       96       43        0        0        0        0        0"
             "        0",
             0444},
            {"uevent",
             "MAJOR=" + std::to_string(major) + "\nMINOR=" + std::to_string(minor) +
                 "\nDEVNAME=" + name + "\nDEVTYPE=disk\nDISKSEQ=" + std::to_string(diskseq),
             0644}};
}

// The block device of the index-th sd disk below the LUN directory lun
// (lun/block/sdX), with the attribute files, subdirectories and links a
// kernel shows for a whole disk, and its class entry.  sectors is its size
// in 512-byte sectors.  Returns its directory.
inline std::string BlockDisk(const TreeWriter& tree, const std::string& lun, int index,
                             unsigned long long sectors)
{
    const std::string name = SdName(index);
    const std::string dir = lun + "/block/" + name;
    // sd's device numbers: 16 minors a disk over its 16 majors, extended
    // minors past the first 256 disks.
    const int group = (index & 0xf0) >> 4;
    const int major = group == 0 ? 8 : group < 8 ? 64 + group : 128 + group - 8;
    const int minor = ((index & 0xf) << 4) | ((index & 0xfff00) << 4);
    const std::string dev = std::to_string(major) + ":" + std::to_string(minor);
    tree.Dir(dir);
    tree.Files(dir, DiskAttributes(name, major, minor, index + 9, sectors));
    for (const char* sub : {"holders", "slaves", "power", "queue", "trace"})
        tree.Dir(dir + "/" + sub);
    const std::string up = TreeWriter::Up(TreeWriter::Depth(dir));
    tree.Link(dir + "/device", "../../../" + lun.substr(lun.rfind('/') + 1));
    tree.Link(dir + "/subsystem", up + "class/block");
    tree.Dir("devices/virtual/bdi/" + dev);
    tree.Link(dir + "/bdi", up + "devices/virtual/bdi/" + dev);
    tree.Link("class/block/" + name, "../../" + dir);
    return dir;
}

// The index-th multipath map (dm-N, named mpathX) over the block devices
// disks (their directories, as BlockDisk gives them), all paths to the LUN
// of wwid: device-mapper's own directory (dm/ with the map's name and its
// uuid, mpath- and multipath's WWID), the disk's files, slaves/ leading to
// each path and each path's holders/ leading back.
inline void MultipathMap(const TreeWriter& tree, int index, const std::string& wwid,
                         unsigned long long sectors, const std::vector<std::string>& disks)
{
    const std::string name = "dm-" + std::to_string(index);
    const std::string dir = "devices/virtual/block/" + name;
    // Device-mapper's dynamic major, as Debian's kernels give it.
    const int major = 254;
    tree.Dir(dir);
    tree.Files(dir, DiskAttributes(name, major, index, 100000 + index, sectors));
    // multipath names a map by the NAA identifier in hex after a "3".
    const std::string naa = wwid.compare(0, 4, "naa.") == 0 ? wwid.substr(4) : wwid;
    tree.Dir(dir + "/dm");
    tree.Files(dir + "/dm", {{"name", "mpath" + Letters(index), 0444},
                             {"rq_based_seq_io_merge_deadline", "0", 0644},
                             {"suspended", "0", 0444},
                             {"use_blk_mq", "1", 0444},
                             {"uuid", "mpath-3" + naa, 0444}});
    for (const char* sub : {"holders", "slaves", "power", "queue", "trace"})
        tree.Dir(dir + "/" + sub);
    const std::string up = TreeWriter::Up(TreeWriter::Depth(dir));
    tree.Link(dir + "/subsystem", up + "class/block");
    const std::string dev = std::to_string(major) + ":" + std::to_string(index);
    tree.Dir("devices/virtual/bdi/" + dev);
    tree.Link(dir + "/bdi", up + "devices/virtual/bdi/" + dev);
    tree.Link("class/block/" + name, "../../" + dir);
    const std::string fromSlaves = TreeWriter::Up(TreeWriter::Depth(dir + "/slaves"));
    for (const std::string& disk : disks) {
        const std::string sd = disk.substr(disk.rfind('/') + 1);
        tree.Link(dir + "/slaves/" + sd, fromSlaves + disk);
        tree.Link(disk + "/holders/" + name,
                  TreeWriter::Up(TreeWriter::Depth(disk + "/holders")) + dir);
    }
}

#endif
