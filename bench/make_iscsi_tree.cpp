// SPDX-License-Identifier: MIT
// make-iscsi-tree DIR N: writes under DIR/sys an iSCSI tree shaped like the
// kernel's iscsi_tcp one with N sessions: one SCSI host per session (as
// iscsi_tcp creates them), each with its iscsi_host and scsi_host class
// devices, one session and one connection with the attribute files a real
// kernel shows, and the "tcp" transport; below each session a target with
// one LUN, a disk bound to sd with its block device (sda, sdb, ...), as a
// host logged in to a target of one LUN has it.  Class entries are relative
// links, physical devices are reached through "device" links, hosts,
// targets and LUNs sit on the scsi bus.  Attribute names, modes and typical
// values are those of a logged-in Debian 12 kernel.
//
// The first half of the sessions (N / 4 pairs) come in pairs, as a host
// running dm-multipath has them: two sessions to one target through its two
// portals (127.0.0.1 and 127.0.0.2), each showing the target's one LUN (one
// WWID) as a disk of its own, both disks held by a multipath map (dm-K,
// mpathX), and the short recovery timeout such a setup gives its sessions so
// that I/O fails over quickly.  The rest are single sessions to targets of
// their own, one LUN each.  Every LUN has a WWID.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "scsi_devices.h"
#include "tree_writer.h"

int main(int argc, char** argv)
{
    if (argc != 3 || std::atoi(argv[2]) < 0) {
        std::fprintf(stderr, "usage: make-iscsi-tree DIR SESSIONS\n");
        return 2;
    }
    TreeWriter tree("make-iscsi-tree", argv[1]);
    const int sessions = std::atoi(argv[2]);
    const int paired = sessions / 4 * 2;  // sessions 1 ... paired, two by two
    std::string firstPath;  // the block device of a pair's first session
    for (const char* cls : {"iscsi_host", "scsi_host", "iscsi_session", "iscsi_connection",
                            "iscsi_transport"})
        tree.Dir(std::string("class/") + cls);
    ScsiBus(tree);
    tree.Dir("class/block");

    tree.ClassDevice("iscsi_transport", "devices/virtual/iscsi_transport/tcp",
                {{"caps", "0x39", 0444}, {"handle", "18446744072642011232", 0444},
                 {"uevent", "", 0644}},
                false);

    for (int s = 1; s <= sessions; ++s) {
        const std::string h = std::to_string(s - 1), n = std::to_string(s);
        const bool inPair = s <= paired;
        const bool second = inPair && s % 2 == 0;
        // The pair's first session names the target and its LUN.
        const int first = second ? s - 1 : s;
        const std::string portal = second ? "127.0.0.2" : "127.0.0.1";
        const std::string host = "devices/platform/host" + h;
        tree.Dir(host + "/power");
        tree.File(host + "/uevent", "DEVTYPE=scsi_host\n", 0644);
        tree.Link(host + "/subsystem", "../../../bus/scsi");
        tree.Link("bus/scsi/devices/host" + h, "../../../" + host);

        tree.ClassDevice("iscsi_host", host + "/iscsi_host/host" + h,
                    {{"hwaddress", "(null)", 0444}, {"initiatorname", "(null)", 0444},
                     {"ipaddress", "127.0.0.1", 0444}, {"netdev", "(null)", 0444},
                     {"uevent", "", 0644}});
        tree.ClassDevice("scsi_host", host + "/scsi_host/host" + h,
                    {{"active_mode", "Initiator", 0444}, {"can_queue", "113", 0444},
                     {"cmd_per_lun", "32", 0444}, {"eh_deadline", "off", 0644},
                     {"host_busy", "0", 0444}, {"host_reset", "", 0200},
                     {"nr_hw_queues", "1", 0444}, {"proc_name", "iscsi_tcp", 0444},
                     {"prot_capabilities", "0", 0444}, {"prot_guard_type", "0", 0444},
                     {"scan", "", 0200}, {"sg_prot_tablesize", "0", 0444},
                     {"sg_tablesize", "4096", 0444}, {"state", "running", 0644},
                     {"supported_mode", "Initiator", 0444}, {"uevent", "", 0644},
                     {"unique_id", n, 0444}, {"use_blk_mq", "1", 0444}});

        const std::string session = host + "/session" + n;
        tree.Dir(session);
        tree.File(session + "/uevent", "", 0644);
        const std::string target = "iqn.2003-01.org.example.bench:target" + std::to_string(first);
        tree.ClassDevice("iscsi_session", session + "/iscsi_session/session" + n,
                    {{"abort_tmo", "15", 0444}, {"creator", "152", 0444},
                     {"data_pdu_in_order", "0", 0444}, {"data_seq_in_order", "0", 0444},
                     {"erl", "0", 0444}, {"fast_abort", "1", 0444},
                     {"first_burst_len", "65536", 0444}, {"ifacename", "default", 0444},
                     {"immediate_data", "1", 0444}, {"initial_r2t", "1", 0444},
                     {"initiatorname", "iqn.1993-08.org.debian:01:bench-initiator", 0444},
                     {"lu_reset_tmo", "30", 0444}, {"max_burst_len", "262144", 0444},
                     {"max_outstanding_r2t", "1", 0444}, {"password", "(null)", 0444},
                     {"password_in", "(null)", 0444}, {"recovery_tmo", inPair ? "5" : "120", 0644},
                     {"state", "LOGGED_IN", 0444}, {"target_id", "0", 0444},
                     {"target_state", "SCANNED", 0444}, {"targetname", target, 0444},
                     {"tgt_reset_tmo", "30", 0444}, {"tpgt", "1", 0444}, {"uevent", "", 0644},
                     {"username", "(null)", 0444}, {"username_in", "(null)", 0444}});

        const std::string connection = session + "/connection" + n + ":0";
        tree.Dir(connection);
        tree.File(connection + "/uevent", "", 0644);
        tree.ClassDevice("iscsi_connection", connection + "/iscsi_connection/connection" + n + ":0",
                    {{"address", portal, 0444}, {"data_digest", "0", 0444},
                     {"exp_statsn", std::to_string(554208898 + s), 0444},
                     {"header_digest", "0", 0444}, {"local_port", std::to_string(30000 + s % 30000), 0444},
                     {"max_recv_dlength", "262144", 0444}, {"max_xmit_dlength", "262144", 0444},
                     {"persistent_address", portal, 0444},
                     {"persistent_port", "3260", 0444}, {"ping_tmo", "5", 0444},
                     {"port", "3260", 0444}, {"recv_tmo", "5", 0444}, {"state", "up", 0444},
                     {"uevent", "", 0644}});

        const std::string address = h + ":0:0";
        const std::string targetDir = session + "/target" + address;
        OnScsiBus(tree, targetDir, "DEVTYPE=scsi_target\n");
        const std::string lun = targetDir + "/" + address + ":0";
        const unsigned long long sectors = 2097152;  // 1 GiB
        Lun(tree, lun, address + ":0", first);
        const std::string disk = BlockDisk(tree, lun, s - 1, sectors);
        if (inPair && !second)
            firstPath = disk;
        else if (second)
            MultipathMap(tree, s / 2 - 1, LunWwid(first), sectors, {firstPath, disk});
    }
    return 0;
}
