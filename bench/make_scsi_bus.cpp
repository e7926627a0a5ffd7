// SPDX-License-Identifier: MIT
// make-scsi-bus DIR N: writes under DIR/sys a SCSI bus of N devices shaped
// like the kernel's: one PCI HBA (0000:00:1f.2 on the pci bus, bound to
// ahci), SCSI hosts below it, targets below the hosts and LUNs below the
// targets, every one of them on the scsi bus (hosts and targets without a
// driver, as the kernel has them), every LUN bound to sd with the attribute
// files a real disk LUN shows and its scsi_device class device.  Links are
// relative, as the kernel writes them.
//
// The N devices are spread over up to 4 hosts (4 paths to a SAN); each host
// has as many targets as it needs for at most 256 LUNs each, and its LUNs
// spread evenly over them: 10,000 devices are 4 hosts, 40 targets and 9,956
// LUNs.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "scsi_devices.h"
#include "tree_writer.h"

namespace {

const std::string kHba = "devices/pci0000:00/0000:00:1f.2";

// The HBA on the pci bus, bound to ahci, with the module behind the driver.
void PciHba(const TreeWriter& tree)
{
    tree.Dir("devices/pci0000:00/power");
    tree.File("devices/pci0000:00/uevent", "", 0644);
    tree.Dir(kHba + "/power");
    tree.Files(kHba, {{"vendor", "0x8086", 0444},
                      {"device", "0x2922", 0444},
                      {"subsystem_vendor", "0x1af4", 0444},
                      {"subsystem_device", "0x1100", 0444},
                      {"class", "0x010601", 0444},
                      {"revision", "0x02", 0444},
                      {"irq", "29", 0444},
                      {"local_cpus", "3", 0444},
                      {"local_cpulist", "0-1", 0444},
                      {"numa_node", "-1", 0444},
                      {"enable", "1", 0644},
                      {"broken_parity_status", "0", 0644},
                      {"msi_bus", "1", 0644},
                      {"modalias", "pci:v00008086d00002922sv00001AF4sd00001100bc01sc06i01", 0444},
                      {"resource",
                       "0x0000000000000000 0x0000000000000000 0x0000000000000000\n"
                       "0x000000000000c060 0x000000000000c07f 0x0000000000040101\n"
                       "0x00000000fea1a000 0x00000000fea1afff 0x0000000000040200",
                       0444},
                      {"uevent",
                       "DRIVER=ahci\nPCI_CLASS=10601\nPCI_ID=8086:2922\n"
                       "PCI_SUBSYS_ID=1AF4:1100\nPCI_SLOT_NAME=0000:00:1f.2\n"
                       "MODALIAS=pci:v00008086d00002922sv00001AF4sd00001100bc01sc06i01",
                       0644},
                      {"remove", "", 0200},
                      {"rescan", "", 0200}});
    tree.File(kHba + "/config", std::string(256, '\0'), 0644);
    tree.Link(kHba + "/subsystem", "../../../bus/pci");
    tree.Link(kHba + "/driver", "../../../bus/pci/drivers/ahci");

    tree.Dir("bus/pci/devices");
    tree.Dir("bus/pci/drivers/ahci");
    tree.Files("bus/pci", {{"drivers_autoprobe", "1", 0644},
                           {"drivers_probe", "", 0200},
                           {"rescan", "", 0200},
                           {"uevent", "", 0200}});
    tree.Files("bus/pci/drivers/ahci", {{"bind", "", 0200},
                                        {"unbind", "", 0200},
                                        {"new_id", "", 0200},
                                        {"remove_id", "", 0200},
                                        {"uevent", "", 0200}});
    tree.Link("bus/pci/devices/0000:00:1f.2", "../../../" + kHba);
    tree.Link("bus/pci/drivers/ahci/0000:00:1f.2", "../../../../" + kHba);
    tree.Link("bus/pci/drivers/ahci/module", "../../../../module/ahci");
    tree.Dir("module/ahci/drivers");
    tree.Link("module/ahci/drivers/pci:ahci", "../../../bus/pci/drivers/ahci");
}

void Host(const TreeWriter& tree, const std::string& dir, int host)
{
    const std::string name = "host" + std::to_string(host);
    OnScsiBus(tree, dir, "DEVTYPE=scsi_host\n");
    tree.ClassDevice("scsi_host", dir + "/scsi_host/" + name,
                     {{"active_mode", "Initiator", 0444}, {"can_queue", "32", 0444},
                      {"cmd_per_lun", "0", 0444}, {"eh_deadline", "off", 0644},
                      {"host_busy", "0", 0444}, {"host_reset", "", 0200},
                      {"link_power_management_policy", "max_performance", 0644},
                      {"nr_hw_queues", "1", 0444}, {"proc_name", "ahci", 0444},
                      {"prot_capabilities", "0", 0444}, {"prot_guard_type", "0", 0444},
                      {"scan", "", 0200}, {"sg_prot_tablesize", "0", 0444},
                      {"sg_tablesize", "168", 0444}, {"state", "running", 0644},
                      {"supported_mode", "Initiator", 0444}, {"uevent", "", 0644},
                      {"unique_id", std::to_string(host + 1), 0444}, {"use_blk_mq", "1", 0444}});
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || std::atoi(argv[2]) < 1) {
        std::fprintf(stderr, "usage: make-scsi-bus DIR DEVICES\n");
        return 2;
    }
    const TreeWriter tree("make-scsi-bus", argv[1]);
    const int devices = std::atoi(argv[2]);
    PciHba(tree);
    ScsiBus(tree);

    const int hosts = devices >= 12 ? 4 : 1;
    int serial = 0;
    for (int h = 0; h < hosts; ++h) {
        // This host's share, itself included.
        const int share = devices / hosts + (h < devices % hosts ? 1 : 0);
        const std::string hostDir = kHba + "/host" + std::to_string(h);
        Host(tree, hostDir, h);
        const int below = share - 1;            // targets and LUNs
        const int targets = (below + 256) / 257;  // a target and up to 256 LUNs each
        const int luns = below - targets;
        for (int t = 0; t < targets; ++t) {
            const std::string address = std::to_string(h) + ":0:" + std::to_string(t);
            const std::string targetDir = hostDir + "/target" + address;
            OnScsiBus(tree, targetDir, "DEVTYPE=scsi_target\n");
            const int count = luns / targets + (t < luns % targets ? 1 : 0);
            for (int l = 0; l < count; ++l) {
                const std::string id = address + ":" + std::to_string(l);
                Lun(tree, targetDir + "/" + id, id, ++serial);
            }
        }
    }
    return 0;
}
