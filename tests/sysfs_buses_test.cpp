// SPDX-License-Identifier: MIT
// The example program sysfs-buses end to end: the devices of the buses asked
// for with their addresses, in its order, and its options, log and exit
// statuses.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tool_fixture.h"

namespace {

class SysfsBuses : public ToolTest {};

// Every device of the buses asked for, with driver, PCI address and SCSI
// address.
TEST_F(SysfsBuses, ListsDevicesWithTheirAddresses)
{
    const std::string hba = "devices/pci0000:00/0000:00:1f.2";
    tree.BusDevice("pci", hba)
        .Bind("pci", "ahci", hba)
        .BusDevice("scsi", hba + "/host10")
        .BusDevice("scsi", hba + "/host10/target10:0:0")
        .BusDevice("scsi", hba + "/host10/target10:0:0/10:0:0:0")
        .Bind("scsi", "sd", hba + "/host10/target10:0:0/10:0:0:0");
    ToolRun run = RunProgram(EXAMPLE_PATH, {"-l", "buses.log", "pci", "scsi", "usb"}, tree, cwd);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    const std::string sys = "/sys/" + hba;
    EXPECT_EQ("pci: 1 device\n"
              "  0000:00:1f.2 driver=ahci pci=0000:00:1f.2 path=" + sys + "\n"
              "scsi: 3 devices\n"
              "  10:0:0:0 driver=sd pci=0000:00:1f.2 controller=10 bus=0 target=0 lun=0 path=" +
                  sys + "/host10/target10:0:0/10:0:0:0\n"
              "  host10 driver=- pci=0000:00:1f.2 path=" + sys + "/host10\n"
              "  target10:0:0 driver=- pci=0000:00:1f.2 path=" + sys + "/host10/target10:0:0\n"
              "usb: not present\n",
              run.out);
    EXPECT_NE(std::string::npos,
              ReadFile(cwd + "/buses.log").find("Leaving CSysfsReader::GetDeviceList"));

    run = RunProgram(EXAMPLE_PATH, {"firewire"}, tree, cwd);
    EXPECT_EQ(2, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_NE("", run.err);
}

// The PCI address is the kernel's whole name, domain included: the same
// bus/device/function in two domains stays apart, a VMD domain keeps its five
// digits, and the address is the last one in the path even where an earlier
// one in another domain ends the same way; look-alikes after it are skipped,
// and a directory named like a PCI device that the PCI bus does not list
// names none.
TEST_F(SysfsBuses, PrintsThePciDomain)
{
    const std::string vmd = "devices/pci0000:00/0000:00:0e.0";
    const std::string nvme = vmd + "/pci10000:e0/10000:e0:1d.0/10000:e1:00.0";
    const std::string port = vmd + "/pci10000:00/10000:00:0e.0";
    const std::string other = "devices/pci0001:00/0001:00:0e.0";
    tree.BusDevice("pci", vmd)
        .BusDevice("pci", vmd + "/pci10000:e0/10000:e0:1d.0")
        .BusDevice("pci", nvme)
        .Bind("pci", "nvme", nvme)
        .BusDevice("pci", port)
        .BusDevice("pci", other)
        .BusDevice("usb", other + "/usb1")
        .BusDevice("usb", other + "/usb1/1-1/0001:00:20.0/1-1:1.0")
        .BusDevice("usb", "devices/pci0002:00/0002:00:01.0/usb2");
    ToolRun run = RunProgram(EXAMPLE_PATH, {"pci", "usb"}, tree, cwd);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_EQ("pci: 5 devices\n"
              "  0000:00:0e.0 driver=- pci=0000:00:0e.0 path=/sys/" + vmd + "\n"
              "  0001:00:0e.0 driver=- pci=0001:00:0e.0 path=/sys/" + other + "\n"
              "  10000:00:0e.0 driver=- pci=10000:00:0e.0 path=/sys/" + port + "\n"
              "  10000:e0:1d.0 driver=- pci=10000:e0:1d.0 path=/sys/" + vmd +
                  "/pci10000:e0/10000:e0:1d.0\n"
              "  10000:e1:00.0 driver=nvme pci=10000:e1:00.0 path=/sys/" + nvme + "\n"
              "usb: 3 devices\n"
              "  1-1:1.0 driver=- pci=0001:00:0e.0 path=/sys/" + other +
                  "/usb1/1-1/0001:00:20.0/1-1:1.0\n"
              "  usb1 driver=- pci=0001:00:0e.0 path=/sys/" + other + "/usb1\n"
              "  usb2 driver=- path=/sys/devices/pci0002:00/0002:00:01.0/usb2\n",
              run.out);
}

// SCSI devices named by their address come first, ordered by host, channel,
// target and LUN as numbers (of any length; equal numbers written apart
// byte-wise); hosts, targets and other names follow byte-wise.
TEST_F(SysfsBuses, OrdersScsiAddressesAsNumbers)
{
    const std::vector<std::string> names = {
        "host2", "2:0:0:10", "target2:0:10", "2:0:0:2", "10:0:0:0", "2:1:0:0", "1:0:0:x",
        "2:0:1:0", "host10", "2:0:0:18446744073709551615", "2:0:0:02", "target2:0:0",
        "2:0:0:9999999999999999999", "0:0:0:0", "1:0:0:", "1:0:0:0:0", "2:0:0"};
    for (const std::string& name : names)
        tree.BusDevice("scsi", "devices/platform/scsi/" + name);
    ToolRun run = RunProgram(EXAMPLE_PATH, {"scsi"}, tree, cwd);
    EXPECT_EQ(0, run.status);
    std::istringstream lines(run.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ("scsi: 17 devices", line);
    std::vector<std::string> listed;
    while (std::getline(lines, line))
        listed.push_back(line.substr(2, line.find(' ', 2) - 2));
    EXPECT_EQ((std::vector<std::string>{
                  "0:0:0:0", "2:0:0:02", "2:0:0:2", "2:0:0:10", "2:0:0:9999999999999999999",
                  "2:0:0:18446744073709551615", "2:0:1:0", "2:1:0:0", "10:0:0:0",
                  "1:0:0:", "1:0:0:0:0", "1:0:0:x", "2:0:0", "host10", "host2", "target2:0:0",
                  "target2:0:10"}),
              listed);
    // Only the SCSI bus is reordered: elsewhere a bus id is listed byte-wise.
    tree.BusDevice("usb", "devices/platform/usb/1-10").BusDevice("usb", "devices/platform/usb/1-9");
    run = RunProgram(EXAMPLE_PATH, {"usb"}, tree, cwd);
    EXPECT_EQ("usb: 2 devices\n"
              "  1-10 driver=- path=/sys/devices/platform/usb/1-10\n"
              "  1-9 driver=- path=/sys/devices/platform/usb/1-9\n",
              run.out);
}

TEST_F(SysfsBuses, Options)
{
    tree.BusDevice("pci", "devices/pci0000:00/0000:00:1f.2");
    ToolRun run = RunProgram(EXAMPLE_PATH, {"--help"}, tree, cwd);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(0u, run.out.find("Usage: sysfs-buses [OPTION]... [BUS]...\n"));
    EXPECT_EQ("", run.err);
    run = RunProgram(EXAMPLE_PATH, {"-V"}, tree, cwd);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("sysfs-buses (sysfsreader) " PROJECT_VERSION "\n", run.out);
    const std::string hint = "Try 'sysfs-buses --help' for more information.\n";
    for (const auto& [bad, message] : std::vector<std::pair<std::string, std::string>>{
             {"--bogus", "unrecognized option '--bogus'"},
             {"-x", "invalid option -- 'x'"},
             {"-l", "option requires an argument -- 'l'"},
             {"--help=1", "option '--help' doesn't allow an argument"},
             {"firewire", "unknown bus 'firewire'"}}) {
        run = RunProgram(EXAMPLE_PATH, {"pci", bad}, tree, cwd);
        EXPECT_EQ(2, run.status);
        EXPECT_EQ("", run.out);
        EXPECT_EQ(0u, run.err.find("sysfs-buses: " + message + "\nUsage: sysfs-buses ")) << run.err;
        EXPECT_EQ(run.err.size() - hint.size(), run.err.rfind(hint)) << run.err;
    }
    // The log never takes a closed standard output's descriptor.
    RunOptions closed;
    closed.out = Stdout::Closed;
    run = RunProgram(EXAMPLE_PATH, {"--log=buses.log", "pci"}, tree, cwd, closed);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("sysfs-buses: write error: Bad file descriptor\n", run.err);
    std::string log = ReadFile(cwd + "/buses.log");
    EXPECT_NE(std::string::npos, log.find("Leaving CSysfsReader::GetDeviceList"));
    EXPECT_EQ(std::string::npos, log.find("pci: 1 device"));
    RunOptions full;
    full.out = Stdout::Full;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"pci"}, {"--help"}, {"--version"}}) {
        run = RunProgram(EXAMPLE_PATH, args, tree, cwd, full);
        EXPECT_EQ(1, run.status);
        EXPECT_EQ("sysfs-buses: write error: No space left on device\n", run.err);
    }

    // A log name that is a planted link, a FIFO or empty ends the run before
    // any listing, and the file the link names is left alone.
    std::string victim = tree.Root() + "/victim";
    std::ofstream(victim) << "precious\n";
    ASSERT_EQ(0, symlink(victim.c_str(), (cwd + "/link.log").c_str()));
    run = RunProgram(EXAMPLE_PATH, {"-l", "link.log", "pci"}, tree, cwd);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("sysfs-buses: cannot open log 'link.log': it is a symbolic link\n", run.err);
    EXPECT_EQ("precious\n", ReadFile(victim));
    ASSERT_EQ(0, mkfifo((cwd + "/fifo.log").c_str(), 0644));
    run = RunProgram(EXAMPLE_PATH, {"--log=fifo.log"}, tree, cwd);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(0u, run.err.find("sysfs-buses: cannot open log 'fifo.log': ")) << run.err;
    run = RunProgram(EXAMPLE_PATH, {"--log=", "pci"}, tree, cwd);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("sysfs-buses: cannot open log '': No such file or directory\n", run.err);
    // Nor a hard link to someone else's file.
    ASSERT_EQ(0, link(victim.c_str(), (cwd + "/hard.log").c_str()));
    run = RunProgram(EXAMPLE_PATH, {"-lhard.log", "pci"}, tree, cwd);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("sysfs-buses: cannot open log 'hard.log': not a regular file with a single link\n",
              run.err);
    EXPECT_EQ("precious\n", ReadFile(victim));
}

}  // namespace
