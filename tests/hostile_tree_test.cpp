// SPDX-License-Identifier: MIT
// Trees that lie: links out of sysfs, FIFOs where attributes belong, stale
// driver links, obsolete "bus" links, and directories swapped while they are
// read.  Nothing outside the tree may be read, no query may block, and one
// odd entry may cost no other device its answer.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <thread>

#include "reader_fixture.h"

namespace fs = std::filesystem;

namespace {

const std::string kHba = "devices/pci0000:00/0000:00:1f.2";
const std::string kDisk = kHba + "/host0/target0:0:0/0:0:0:0";
const std::string kDisk2 = kHba + "/host0/target0:0:0/0:0:0:1";

class HostileTree : public ReaderTest {
protected:
    void SetUp() override
    {
        ReaderTest::SetUp();
        // A directory beside the tree, outside what is served at /sys.
        outside = tree.Root() + "/outside";
        fs::create_directories(outside + "/ssl");
        std::ofstream(outside + "/secret") << "SECRET\n";
        std::ofstream(outside + "/ssl/secret") << "SECRET\n";
        tree.BusDevice("pci", kHba).Bind("pci", "ahci", kHba);
        for (const std::string& disk : {kDisk, kDisk2})
            tree.BusDevice("scsi", disk).Bind("scsi", "sd", disk).File(disk + "/vendor", "ACME\n");
    }
    // An absolute link at path (relative to sys/) to target.
    void AbsoluteLink(const std::string& path, const std::string& target)
    {
        fs::create_directories(fs::path(tree.Abs(path)).parent_path());
        fs::create_symlink(target, tree.Abs(path));
    }
    std::string outside;
};

// Runs fn in a child that is killed after a few seconds, so that a query that
// blocks fails the test instead of hanging it.  True when fn returned true.
template <typename Fn>
bool FinishesInTime(Fn fn)
{
    pid_t child = fork();
    if (child == 0) {
        alarm(5);
        _exit(fn() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(HostileTree, AttributesAreRegularFilesOfTheDeviceOnly)
{
    // A link to a file outside sysfs, a link to a file inside it, and a FIFO
    // where attributes would be: none is an attribute, and none is opened.
    AbsoluteLink(kDisk + "/leak", outside + "/secret");
    tree.File(kHba + "/inside", "x\n").Link(kDisk + "/inside_link", kHba + "/inside");
    ASSERT_EQ(0, mkfifo(tree.Abs(kDisk + "/fifo").c_str(), 0644));
    ASSERT_EQ(0, mkfifo(tree.Abs(kHba + "/fifo").c_str(), 0644));
    tree.ClassDevice("scsi_device", kDisk + "/scsi_device/0:0:0:0");
    ASSERT_EQ(0, mkfifo(tree.Abs(kDisk + "/scsi_device/0:0:0:0/fifo").c_str(), 0644));

    EXPECT_TRUE(FinishesInTime([&] {
        AttributeMap attrs;
        return reader->GetDeviceAttr("0:0:0:0", BUS_SCSI, attrs) == READER_OK &&
               attrs == AttributeMap{{"vendor", "ACME"}};
    }));
    EXPECT_TRUE(FinishesInTime([&] {
        AttributeMap attrs, device;
        return reader->GetClsDeviceAttr("scsi_device", "0:0:0:0", attrs, device) == READER_OK &&
               attrs.empty() && device.count("vendor") == 1 && device.count("fifo") == 0 &&
               device.count("leak") == 0;
    }));
    EXPECT_TRUE(FinishesInTime([&] {
        DeviceMap below;
        return reader->GetDevicePathAttr("/sys/" + kHba + "/host0/target0:0:0", below) ==
                   READER_OK &&
               below.size() == 2 && below["0:0:0:0"] == AttributeMap{{"vendor", "ACME"}};
    }));
}

TEST_F(HostileTree, LinksThatLeaveSysfsLeadNowhere)
{
    // Through an intermediate link: the entry's own text stays in the tree,
    // but devices/escape is a link out of it.
    AbsoluteLink("devices/escape", outside);
    tree.Link("class/out/x", "devices/escape/ssl")
        .Link("bus/scsi/devices/x", "devices/escape/ssl")
        .ClassDevice("out", "devices/virtual/out/real", false);
    // Up from the mount, in the link's own text.
    fs::create_symlink("../../devices/../../outside/ssl", tree.Abs("class/out/y"));
    AbsoluteLink("class/out/z", outside + "/ssl");
    AbsoluteLink("class/out/w", "/sys/devices/escape/ssl");

    DeviceMap devices;
    ASSERT_EQ(READER_OK, reader->GetClsDeviceList("out", devices));
    EXPECT_EQ((DeviceMap{{"real", {{"classname", "out"}, {"path", "/sys/devices/virtual/out/real"}}}}),
              devices);
    AttributeMap attrs, device;
    for (const char* name : {"x", "y", "z", "w"})
        EXPECT_EQ(READER_NOT_FOUND, reader->GetClsDeviceAttr("out", name, attrs, device)) << name;
    EXPECT_TRUE(attrs.empty() && device.empty());

    devices.clear();
    ASSERT_EQ(READER_OK, reader->GetDeviceList(BUS_SCSI, devices));
    EXPECT_EQ(0u, devices.count("x"));
    EXPECT_EQ(READER_NOT_FOUND, reader->GetDeviceAttr("x", BUS_SCSI, attrs));
    std::string driver, b, d, f;
    EXPECT_EQ(READER_NOT_FOUND, reader->GetDeviceDriver("x", BUS_SCSI, driver));
    EXPECT_EQ(READER_NOT_FOUND, reader->GetPCIDeviceBDF("x", BUS_SCSI, b, d, f));

    DeviceMap below;
    EXPECT_EQ(READER_CLASS_ERROR, reader->GetDevicePathAttr("/sys/devices/escape", below));
    EXPECT_EQ(READER_CLASS_ERROR, reader->GetDevicePathAttr("/sys/../" + outside, below));
    EXPECT_TRUE(below.empty());

    // A link back into the tree through an absolute path under the mount is
    // followed, and reported by its canonical path.
    AbsoluteLink("class/out/v", "/sys/devices/virtual/out/real");
    devices.clear();
    ASSERT_EQ(READER_OK, reader->GetClsDeviceList("out", devices));
    EXPECT_EQ("/sys/devices/virtual/out/real", devices["v"]["path"]);
}

TEST_F(HostileTree, AStaleLinkInADriverConcernsNoOtherDevice)
{
    // Hot-unplug removes the bus's entry before the driver's link.
    tree.Link("bus/scsi/drivers/sd/0:0:0:9", "devices/gone/0:0:0:9")
        .Link("bus/scsi/drivers/sd/0:0:0:8", kHba + "/host0/target0:0:0/0:0:0:8");
    std::string driver;
    EXPECT_EQ(READER_OK, reader->GetDeviceDriver("0:0:0:0", BUS_SCSI, driver));
    EXPECT_EQ("sd", driver);
    EXPECT_EQ(READER_OK, reader->GetDeviceDriver("0:0:0:1", BUS_SCSI, driver));
    EXPECT_EQ("sd", driver);
    EXPECT_EQ(READER_NOT_FOUND, reader->GetDeviceDriver("0:0:0:9", BUS_SCSI, driver));

    // A driver entry of the device's name that leads elsewhere does not list it.
    tree.Dir("devices/virtual/other/0:0:0:1").Link("bus/scsi/drivers/aaa/0:0:0:1",
                                                    "devices/virtual/other/0:0:0:1");
    EXPECT_EQ(READER_OK, reader->GetDeviceDriver("0:0:0:1", BUS_SCSI, driver));
    EXPECT_EQ("sd", driver);
}

TEST_F(HostileTree, TheObsoleteBusLinkNamesTheBus)
{
    // Kernels with the deprecated layout keep a "bus" link beside
    // "subsystem"; where both are there, "bus" names the bus.
    tree.Link(kDisk + "/bus", "bus/scsi_old").Link(kDisk2 + "/bus", "class/not_a_bus");
    fs::remove(tree.Abs(kHba + "/subsystem"));
    tree.Link(kHba + "/bus", "bus/pci");
    tree.ClassDevice("scsi_device", kDisk + "/scsi_device/0:0:0:0")
        .ClassDevice("scsi_device", kDisk2 + "/scsi_device/0:0:0:1")
        .ClassDevice("scsi_host", kHba + "/host0/scsi_host/host0");
    fs::remove(tree.Abs(kHba + "/host0/scsi_host/host0/device"));
    tree.Link(kHba + "/host0/scsi_host/host0/device", kHba);

    DeviceMap devices;
    ASSERT_EQ(READER_OK, reader->GetDeviceList(BUS_SCSI, devices));
    EXPECT_EQ("scsi_old", devices["0:0:0:0"]["bus"]);
    EXPECT_EQ("scsi", devices["0:0:0:1"]["bus"]);
    devices.clear();
    ASSERT_EQ(READER_OK, reader->GetDeviceList(BUS_PCI, devices));
    EXPECT_EQ("pci", devices["0000:00:1f.2"]["bus"]);

    const std::pair<std::string, std::string> expected[] = {
        {"0:0:0:0", "scsi_old"}, {"0:0:0:1", "scsi"}};
    for (const auto& [name, bus] : expected) {
        AttributeMap attrs, device;
        ASSERT_EQ(READER_OK, reader->GetClsDeviceAttr("scsi_device", name, attrs, device));
        EXPECT_EQ(bus, device["bus"]) << name;
    }
    AttributeMap attrs, device;
    ASSERT_EQ(READER_OK, reader->GetClsDeviceAttr("scsi_host", "host0", attrs, device));
    EXPECT_EQ("pci", device["bus"]);
    // Neither link: no bus.
    fs::remove(tree.Abs(kHba + "/bus"));
    device.clear();
    ASSERT_EQ(READER_OK, reader->GetClsDeviceAttr("scsi_host", "host0", attrs, device));
    EXPECT_EQ("", device["bus"]);
}

// From here on this process's openat2 calls fail with ENOSYS, as on kernels
// before 5.6; false where no seccomp filter may be installed.
bool RefuseOpenat2()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{sizeof filter / sizeof filter[0], filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Every answer of every query over the tree, as one text.
std::string AllAnswers(CSysfsReader& reader)
{
    std::string text;
    auto add = [&text](int result, const auto& map) {
        text += std::to_string(result) + ::testing::PrintToString(map) + "\n";
    };
    for (BusType bus : {BUS_PCI, BUS_SCSI}) {
        DeviceMap devices;
        add(reader.GetDeviceList(bus, devices), devices);
        for (const auto& entry : devices) {
            AttributeMap attrs;
            std::string driver, b, d, f;
            add(reader.GetDeviceAttr(entry.first, bus, attrs), attrs);
            add(reader.GetDeviceDriver(entry.first, bus, driver), driver);
            add(reader.GetPCIDeviceBDF(entry.first, bus, b, d, f), b + d + f);
        }
    }
    DeviceMap disks, below;
    add(reader.GetClsDeviceList("scsi_device", disks), disks);
    for (const auto& entry : disks) {
        AttributeMap attrs, device;
        add(reader.GetClsDeviceAttr("scsi_device", entry.first, attrs, device), device);
    }
    add(reader.GetDevicePathAttr("/sys/class/scsi_device/0:0:0:0/device/..", below), below);
    return text;
}

// Where the kernel (or a sandbox) has no openat2, directories are walked one
// component at a time: the answers are the same.
TEST_F(HostileTree, WithoutOpenat2EveryAnswerIsTheSame)
{
    tree.ClassDevice("scsi_device", kDisk + "/scsi_device/0:0:0:0")
        .ClassDevice("scsi_device", kDisk2 + "/scsi_device/0:0:0:1");
    CSysfsReader quiet(nullptr);
    const std::string expected = AllAnswers(quiet);
    ASSERT_NE(std::string::npos, expected.find("0:0:0:1"));
    int out[2];
    ASSERT_EQ(0, pipe(out));
    pid_t child = fork();
    if (child == 0) {
        if (!RefuseOpenat2())
            _exit(77);
        CSysfsReader walking(nullptr);
        const std::string answers = AllAnswers(walking);
        _exit(write(out[1], answers.data(), answers.size()) == ssize_t(answers.size()) ? 0 : 1);
    }
    close(out[1]);
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        got.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no seccomp filter allowed here";
    EXPECT_EQ(expected, got);
}

// Listings hold no descriptor per entry: a process with few descriptors to
// spare lists a class and a bus of many devices in full.
TEST_F(HostileTree, ListingsOfAnySizeHoldNoDescriptorPerEntry)
{
    const int count = 100;
    for (int i = 0; i < count; ++i) {
        const std::string lun = kHba + "/host1/target1:0:" + std::to_string(i % 7) + "/1:0:" +
                                std::to_string(i % 7) + ":" + std::to_string(i);
        tree.BusDevice("scsi", lun).ClassDevice("scsi_disk", lun + "/scsi_disk/d" + std::to_string(i));
    }
    EXPECT_TRUE(FinishesInTime([&] {
        rlimit few{64, 64};
        if (setrlimit(RLIMIT_NOFILE, &few) != 0)
            return false;
        DeviceMap disks, luns;
        return reader->GetClsDeviceList("scsi_disk", disks) == READER_OK &&
               disks.size() == count && reader->GetDeviceList(BUS_SCSI, luns) == READER_OK &&
               luns.size() == count + 2;
    }));
}

// A class device directory swapped, over and over, for a link to a directory
// outside sysfs while it is read: every answer is the device's own or "not
// found", never the outside's.
TEST_F(HostileTree, ADirectorySwappedWhileReadIsNeverLeftFor)
{
    const std::string real = "devices/virtual/net/swap";
    tree.ClassDevice("net", real, false).File(real + "/name", "inside\n");
    std::ofstream(outside + "/name") << "OUTSIDE\n";
    const std::string dir = tree.Abs(real), parked = tree.Abs("devices/virtual/net/parked"),
                      link = tree.Abs("devices/virtual/net/link");
    fs::create_symlink(outside, link);

    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop) {
            rename(dir.c_str(), parked.c_str());
            rename(link.c_str(), dir.c_str());
            rename(dir.c_str(), link.c_str());
            rename(parked.c_str(), dir.c_str());
        }
    });
    int leaked = 0, found = 0;
    // 700 ms of reads, and on a machine too loaded to find the device in
    // that time, more until it has been found once (a minute at most).
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(700), last = start + std::chrono::seconds(60);
    CSysfsReader quiet(nullptr);
    for (auto now = start; now < end || (found == 0 && now < last);
         now = std::chrono::steady_clock::now()) {
        AttributeMap attrs, device;
        if (quiet.GetClsDeviceAttr("net", "swap", attrs, device) == READER_OK) {
            ++found;
            leaked += attrs.count("name") && attrs["name"] != "inside";
        }
        DeviceMap below;
        if (quiet.GetDevicePathAttr("/sys/devices/virtual/net", below) == READER_OK)
            for (auto& [name, values] : below)
                leaked += values.count("name") && values["name"] != "inside";
    }
    stop = true;
    swapper.join();
    EXPECT_EQ(0, leaked);
    EXPECT_GT(found, 0);
}

// What a child process saw while a directory was moved under its queries.
struct RaceTally {
    int rounds = 0;
    int answers = 0;  // queries answered as the tree is at some moment
    int wrong = 0;    // answers from beside the tree, or from no moment of it
};

// Runs the race's queries in a child (without openat2 when asked), for at
// most kAttempts rounds or two seconds (longer until one answer from inside
// is seen), while this process moves a
// directory of the tree to another place in it and back.  Nothing when the
// child could not drop openat2.
template <typename Query>
std::optional<RaceTally> WhileMoved(const std::string& from, const std::string& to,
                                    bool withoutOpenat2, Query query)
{
    constexpr int kAttempts = 800;
    int out[2];
    if (pipe(out) != 0)
        return RaceTally{};
    pid_t child = fork();
    if (child < 0) {
        close(out[0]);
        close(out[1]);
        return RaceTally{};
    }
    if (child == 0) {
        close(out[0]);
        if (withoutOpenat2 && !RefuseOpenat2())
            _exit(77);
        alarm(90);
        RaceTally tally;
        CSysfsReader quiet(nullptr);
        // On a machine too loaded to see one answer from inside within the
        // rounds or the two seconds, rounds go on until one is seen (a minute
        // at most): the count of answers is asserted, not the time.
        const auto start = std::chrono::steady_clock::now();
        const auto end = start + std::chrono::seconds(2), last = start + std::chrono::seconds(60);
        for (auto now = start;
             (tally.rounds < kAttempts && now < end) || (tally.answers == 0 && now < last);
             now = std::chrono::steady_clock::now(), ++tally.rounds)
            query(quiet, tally);
        _exit(write(out[1], &tally, sizeof tally) == ssize_t(sizeof tally) ? 0 : 1);
    }
    close(out[1]);
    std::atomic<bool> stop{false};
    std::thread mover([&] {
        while (!stop) {
            rename(from.c_str(), to.c_str());
            rename(to.c_str(), from.c_str());
        }
    });
    RaceTally tally;
    const bool read = ::read(out[0], &tally, sizeof tally) == ssize_t(sizeof tally);
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    stop = true;
    mover.join();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        return std::nullopt;
    EXPECT_TRUE(read && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return tally;
}

bool HoldsSecret(const AttributeMap& attrs)
{
    for (const auto& attr : attrs)
        if (attr.second.find("SECRET") != std::string::npos)
            return true;
    return false;
}

// A directory moved two levels up (devices/a/b/c to sys/c) and back, over and
// over, while a link and a path descend into it, step down and up again often
// enough that its ancestors are no longer the last directories passed, and
// then climb.  Climbing from c while it sits at sys/c reaches the mount's root
// and then what lies above it: the climb must be refused, never taken for the
// climb from where c was.  Neither query may read the directory beside the
// tree, with openat2 or without it.
TEST_F(HostileTree, ADirectoryMovedUpWhileWalkedIsNeverClimbedOutOf)
{
    const std::string moved = "devices/a/b/c";
    std::string walk = moved;
    for (int i = 0; i < 20; ++i) {
        tree.Dir(moved + "/d" + std::to_string(i));
        walk += "/d" + std::to_string(i) + "/..";
    }
    // Where the climb leads while c is in place: a directory of the tree.
    walk += "/../../outside";
    tree.File("devices/a/outside/name", "inside\n")
        .File("devices/a/outside/ssl/secret", "inside\n")
        .Dir("class/race");
    fs::create_symlink("../../" + walk, tree.Abs("class/race/x"));

    auto query = [&](CSysfsReader& racer, RaceTally& tally) {
        AttributeMap attrs, device;
        if (racer.GetClsDeviceAttr("race", "x", attrs, device) == READER_OK)
            tally.answers += attrs == AttributeMap{{"name", "inside"}};
        tally.wrong += HoldsSecret(attrs) || HoldsSecret(device);
        DeviceMap below;
        if (racer.GetDevicePathAttr("/sys/" + walk, below) == READER_OK)
            tally.answers += below == DeviceMap{{"ssl", {{"secret", "inside"}}}};
        for (const auto& entry : below)
            tally.wrong += HoldsSecret(entry.second);
    };
    for (bool withoutOpenat2 : {false, true}) {
        std::optional<RaceTally> tally =
            WhileMoved(tree.Abs(moved), tree.Abs("c"), withoutOpenat2, query);
        if (!tally)
            GTEST_SKIP() << "no seccomp filter allowed here: the walk without openat2 is untested";
        std::printf("[ race     ] %s openat2: %d rounds, %d answers from inside, %d escapes\n",
                    withoutOpenat2 ? "without" : "with", tally->rounds, tally->answers,
                    tally->wrong);
        EXPECT_EQ(0, tally->wrong) << (withoutOpenat2 ? "without" : "with") << " openat2";
        EXPECT_GT(tally->answers, 0) << (withoutOpenat2 ? "without" : "with") << " openat2";
    }
}

// The same, c moved one level up (beside b) while a link climbs once from it
// and names a directory of the level it reached.  Resolved at any one moment
// the link leads to devices/a/b/x, or nowhere while c is away; the walk must
// never climb from where c lies now and go on from the place it left, which
// reads devices/a/x and calls it devices/a/b/x.
TEST_F(HostileTree, AWalkIsNeverContinuedFromWhereAMovedDirectoryLies)
{
    const std::string moved = "devices/a/b/c";
    std::string walk = moved;
    for (int i = 0; i < 20; ++i) {
        tree.Dir(moved + "/d" + std::to_string(i));
        walk += "/d" + std::to_string(i) + "/..";
    }
    walk += "/../x";
    tree.File("devices/a/b/x/name", "b/x\n").File("devices/a/x/name", "a/x\n").Dir("class/race");
    fs::create_symlink("../../" + walk, tree.Abs("class/race/y"));

    auto query = [&](CSysfsReader& racer, RaceTally& tally) {
        AttributeMap attrs, device;
        if (racer.GetClsDeviceAttr("race", "y", attrs, device) == READER_OK) {
            tally.answers += attrs == AttributeMap{{"name", "b/x"}};
            tally.wrong += attrs != AttributeMap{{"name", "b/x"}};
        }
        DeviceMap devices;
        if (racer.GetClsDeviceList("race", devices) == READER_OK && devices.count("y"))
            tally.wrong += devices["y"]["path"] != "/sys/devices/a/b/x";
    };
    for (bool withoutOpenat2 : {false, true}) {
        std::optional<RaceTally> tally = WhileMoved(tree.Abs(moved), tree.Abs("devices/a/c"),
                                                    withoutOpenat2, query);
        if (!tally)
            GTEST_SKIP() << "no seccomp filter allowed here: the walk without openat2 is untested";
        std::printf("[ race     ] %s openat2: %d rounds, %d right answers, %d wrong\n",
                    withoutOpenat2 ? "without" : "with", tally->rounds, tally->answers,
                    tally->wrong);
        EXPECT_EQ(0, tally->wrong) << (withoutOpenat2 ? "without" : "with") << " openat2";
        EXPECT_GT(tally->answers, 0) << (withoutOpenat2 ? "without" : "with") << " openat2";
    }
}

}  // namespace

namespace {

// Fills the descriptor table but for `spare` free slots; -1 when it cannot.
bool LeaveSpareDescriptors(int spare)
{
    rlimit few{128, 128};
    if (setrlimit(RLIMIT_NOFILE, &few) != 0)
        return false;
    std::vector<int> held;
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;)
        held.push_back(fd);
    for (int i = 0; i < spare && !held.empty(); ++i) {
        close(held.back());
        held.pop_back();
    }
    return true;
}

}  // namespace

// Running out of descriptors is a failure, never an absence: at each number
// of spare descriptors a listing is either whole or a failure with its errno,
// never "not found" and never short.
TEST_F(HostileTree, RunningOutOfDescriptorsIsAFailureNotAnAbsence)
{
    tree.ClassDevice("scsi_device", kDisk + "/scsi_device/0:0:0:0")
        .ClassDevice("scsi_device", kDisk2 + "/scsi_device/0:0:0:1");
    for (int spare = 0; spare <= 12; ++spare) {
        EXPECT_TRUE(FinishesInTime([&] {
            if (!LeaveSpareDescriptors(spare))
                return false;
            CSysfsReader quiet(nullptr);
            DeviceMap devices, classDevices;
            AttributeMap attrs, device;
            auto honest = [](int code, bool whole, int okCode, int failedCode) {
                const int error = CSysfsReader::LastFailure();
                if (code == okCode && whole)
                    return error == 0;
                return (code == failedCode || code == READER_MOUNT_FAILED) && error == EMFILE;
            };
            int bus = quiet.GetDeviceList(BUS_SCSI, devices);
            if (!honest(bus, devices.size() == 2, READER_OK, READER_BUS_ERROR))
                return false;
            int cls = quiet.GetClsDeviceList("scsi_device", classDevices);
            if (!honest(cls, classDevices.size() == 2, READER_OK, READER_CLASS_ERROR))
                return false;
            int one = quiet.GetClsDeviceAttr("scsi_device", "0:0:0:1", attrs, device);
            if (!honest(one, device.count("vendor") == 1, READER_OK, READER_CLASS_ERROR))
                return false;
            const AttributeNames vendor = std::vector<std::string>{"vendor"};
            std::optional<DeviceIdentity> identity;
            AttributeMap namedOwn, named;
            one = quiet.GetClsDeviceNamedAttr("scsi_device", "0:0:0:1", vendor, namedOwn, vendor,
                                              identity, named);
            if (!honest(one, identity && named.count("vendor") == 1, READER_OK, READER_CLASS_ERROR))
                return false;
            AttributeMap busNamed;
            one = quiet.GetDeviceNamedAttr("0:0:0:1", BUS_SCSI, vendor, busNamed);
            if (!honest(one, busNamed.count("vendor") == 1, READER_OK, READER_BUS_ERROR))
                return false;
            DeviceMap below;
            one = quiet.GetDevicePathNamedAttr("/sys/" + kDisk2, vendor, below);
            return honest(one, below.count("scsi_device") == 1, READER_OK, READER_CLASS_ERROR);
        })) << spare << " spare descriptors";
    }
}

// Directories are opened to be read; one that may only be passed through
// (search but no read permission) still leads to what lies below it, and
// only a listing of it fails.
TEST_F(HostileTree, ADirectoryThatMayNotBeReadIsStillAWayThrough)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the queries as another user";
    tree.ClassDevice("scsi_device", kDisk + "/scsi_device/0:0:0:0")
        .File(kDisk + "/scsi_device/0:0:0:0/uevent", "");
    const std::string host = tree.Abs(kHba + "/host0");
    ASSERT_EQ(0, chmod(host.c_str(), 0711));
    ASSERT_EQ(0, chmod(tree.Root().c_str(), 0755));
    EXPECT_TRUE(FinishesInTime([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return false;
        CSysfsReader asNobody(nullptr);
        AttributeMap own, device;
        DeviceMap below;
        return asNobody.GetClsDeviceAttr("scsi_device", "0:0:0:0", own, device) == READER_OK &&
               device["vendor"] == "ACME" && device["bus_id"] == "0:0:0:0" &&
               asNobody.GetDevicePathAttr("/sys/" + kDisk + "/scsi_device", below) ==
                   READER_OK &&
               below.count("0:0:0:0") == 1 &&
               asNobody.GetDevicePathAttr("/sys/" + kHba + "/host0", below) ==
                   READER_CLASS_ERROR &&
               CSysfsReader::LastFailure() == EACCES;
    }));
    ASSERT_EQ(0, chmod(host.c_str(), 0755));
}

// A device directory that may be listed but not searched: its links cannot
// be read, which is a failure, never a device without bus or driver.
TEST_F(HostileTree, ALinkThatCannotBeReadIsAFailureNotAnAbsence)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the query as another user";
    const std::string disk = tree.Abs(kDisk2);
    ASSERT_EQ(0, chmod(disk.c_str(), 0744));
    ASSERT_EQ(0, chmod(tree.Root().c_str(), 0755));
    EXPECT_TRUE(FinishesInTime([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return false;
        CSysfsReader asNobody(nullptr);
        DeviceMap devices;
        // The device itself was reached; what its links say could not be read.
        return asNobody.GetDeviceList(BUS_SCSI, devices) == READER_BUS_ERROR &&
               CSysfsReader::LastFailure() == EACCES && devices["0:0:0:0"]["driver_name"] == "sd" &&
               devices["0:0:0:1"]["path"] == "/sys/" + kDisk2;
    }));
    ASSERT_EQ(0, chmod(disk.c_str(), 0755));
}

// A directory that is there but may not be read is a failure, traced with
// its reason; an absent class stays what it was.
TEST_F(HostileTree, AnUnreadableClassIsAFailureNotAnAbsence)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the query as another user";
    tree.ClassDevice("scsi_device", kDisk + "/scsi_device/0:0:0:0");
    ASSERT_EQ(0, chmod(tree.Abs("class/scsi_device").c_str(), 0));
    ASSERT_EQ(0, chmod(tree.Root().c_str(), 0755));
    const std::string nobodyLog = tree.Root() + "/nobody.log";
    EXPECT_TRUE(FinishesInTime([&] {
        std::ofstream trace(nobodyLog);  // opened before the user changes
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return false;
        CSysfsReader asNobody(&trace);
        DeviceMap devices;
        if (asNobody.GetClsDeviceList("scsi_device", devices) != READER_CLASS_ERROR ||
            CSysfsReader::LastFailure() != EACCES || !devices.empty())
            return false;
        return asNobody.GetClsDeviceList("no_such_class", devices) == READER_CLASS_ERROR &&
               CSysfsReader::LastFailure() == 0;
    }));
    EXPECT_NE(std::string::npos,
              MaskHeaders(ReadFile(nobodyLog))
                  .find("\tRead failed: /sys/class/scsi_device: Permission denied\n"));
    ASSERT_EQ(0, chmod(tree.Abs("class/scsi_device").c_str(), 0755));
}
