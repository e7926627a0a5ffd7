// SPDX-License-Identifier: MIT
// inventory-bench: times iscsi-inventory at 100, 1,000 and 10,000 sessions
// on the same fabricated tree served at /sys through umockdev, and prints:
//  1. the bare run against the floor (inventory-floor: each printed file read
//     once), the rules floor and the peer (systool -c <class> -v over the
//     four iSCSI classes);
//  2. --json against the whole joined floor (inventory-floor --joined=whole:
//     every file of every device it meets, read once), as its raw class
//     arrays hold every file;
//  3. each of the forms that show named fields (--sessions, --luns,
//     --summary, --check and --prometheus) against its own floor
//     (inventory-floor --joined=FORM: the files of those fields, read once);
//  4. with --mounts N (as root), the joined forms again in a private mount
//     namespace holding N more mounts, against the same forms in one without
//     them: a query that reads the mount table pays for every mount listed
//     before sysfs, and nothing the tool shows depends on them.
// All joined forms run without a log.  Each joined table has the cost per
// session, and its growth against the cost at 1,000 sessions.
//
// --check is a monitoring plugin: its verdicts WARNING and CRITICAL (exit 1
// and 2) are runs that did their work; UNKNOWN (3) is a run that failed, and
// ends the benchmark, except from a tool whose --check is not built yet
// (it says so), which is reported as such.
//
//   inventory-bench --bin BUILD_DIR --work DIR [--sizes 100,1000,10000] [--runs N]
//                   [--mounts N]
//
// Every program runs under the umockdev preload with standard output to
// /dev/null, in its own scratch directory (the tool writes SysReader.log
// there).  Times are wall-clock medians of N runs after one warm-up run;
// peak RSS is the largest of those runs.  The joined forms and their floors
// are taken in turn within each run, and so are the forms with and without
// the mounts, so that the load of a shared machine weighs on their ratios as
// little as it can.  Trees are generated once per size and kept in DIR.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_run.h"

using namespace bench;

namespace {

// What a trial run of --check at one size said: its exit status and first
// line, or that the tool's --check is not built yet.
struct Verdict {
    bool built = false;
    int status = 0;
    std::string line;
};

Verdict TryCheck(const Command& check, const std::string& tree, const std::string& cwd)
{
    Command trial = check;
    trial.completed = {0, 1, 2, 3};
    const std::string out = cwd + "/check.out";
    Verdict verdict;
    verdict.status = RunOnce(trial, tree, cwd, out).status;
    std::ifstream text(out);
    std::getline(text, verdict.line);
    verdict.built = !(verdict.status == 3 && verdict.line.find("not built yet") != std::string::npos);
    if (verdict.built && verdict.status == 3)
        Die("--check could not judge the tree (exit 3): " + verdict.line);
    return verdict;
}

// A joined form that shows named fields, and its floor.
struct NamedForm {
    const char* name;  // the tool's option without "--", and the floor's FORM
    Command form, floor;
};

// A form's median time and peak at one size; unmeasured (a --check not
// built) when seconds is 0.
struct Timing {
    Sample form, floor;
};

// The joined figures of one size.
struct JoinedRow {
    int size;
    long textPeakKb;  // the bare run's, the yardstick of the joined forms' memory
    Sample json, wholeFloor;
    std::vector<Timing> named;  // in the order of the named forms
    Verdict verdict;
};

// A cell of a time that may be unmeasured.
std::string Cell(bool measured, const char* format, double value)
{
    if (!measured)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The growth of a cost per session from 1,000 sessions to size, as a cell.
std::string Growth(double seconds, int size, double secondsAt1000)
{
    return Cell(seconds > 0 && secondsAt1000 > 0, "%.2f", (seconds / size) / (secondsAt1000 / 1000));
}

// ---- The mounts run --------------------------------------------------------

// Where sysfs is listed in the calling process's mount table: its line and
// the table's length.
struct TablePlace {
    int line = 0, lines = 0;
};

TablePlace SysfsInMountTable()
{
    TablePlace place;
    std::ifstream table("/proc/self/mounts");
    for (std::string entry; std::getline(table, entry);) {
        ++place.lines;
        if (place.line == 0 && entry.find(" sysfs ") != std::string::npos)
            place.line = place.lines;
    }
    return place;
}

// A mount namespace made from the driver's: private (nothing made in it
// reaches the machine's mounts), with extra small tmpfs mounts under scratch
// (an empty directory), and sysfs at /sys listed after them, so that a read
// of the mount table as far as sysfs passes every one.  The driver comes
// back to its own namespace.  Returns a descriptor of the new one (it lasts
// as long as that is open), or -1 with why set.
int MakeMountNamespace(int extra, const std::string& scratch, TablePlace& place, std::string& why)
{
    const int own = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (own < 0) {
        why = std::string("cannot open /proc/self/ns/mnt: ") + std::strerror(errno);
        return -1;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        why = std::string("cannot make a mount namespace: ") + std::strerror(errno);
        close(own);
        return -1;
    }
    auto step = [&](bool done, const std::string& what) {
        if (!done && why.empty())
            why = what + ": " + std::strerror(errno);
        return done;
    };
    // A bind of /sys made after the extra mounts, moved onto /sys once the
    // first is gone: a new mount, so the table lists it after them.
    const std::string sysfs = scratch + "/sysfs";
    bool ready = step(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0,
                      "cannot make the mounts private") &&
                 // Room for the mount points' entries, which tmpfs counts.
                 step(mount("bench-scratch", scratch.c_str(), "tmpfs", 0,
                            ("size=" + std::to_string(1024 + extra) + "k,mode=700").c_str()) == 0,
                      "cannot mount a tmpfs on " + scratch);
    for (int i = 0; ready && i < extra; ++i) {
        const std::string dir = scratch + "/" + std::to_string(i);
        ready = step(mkdir(dir.c_str(), 0700) == 0, "cannot make " + dir) &&
                step(mount("bench-mount", dir.c_str(), "tmpfs", 0, "size=4k,mode=700") == 0,
                     "cannot mount a tmpfs on " + dir);
    }
    ready = ready && step(mkdir(sysfs.c_str(), 0700) == 0, "cannot make " + sysfs) &&
            step(mount("/sys", sysfs.c_str(), nullptr, MS_BIND, nullptr) == 0,
                 "cannot bind /sys") &&
            step(umount2("/sys", MNT_DETACH) == 0, "cannot unmount /sys") &&
            step(mount(sysfs.c_str(), "/sys", nullptr, MS_MOVE, nullptr) == 0,
                 "cannot move sysfs back to /sys");
    place = SysfsInMountTable();
    const int made = ready ? open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC) : -1;
    if (ready && made < 0)
        why = std::string("cannot open the new namespace: ") + std::strerror(errno);
    if (setns(own, CLONE_NEWNS) != 0)
        Die(std::string("cannot come back to the driver's mount namespace: ") +
            std::strerror(errno));
    close(own);
    return made;
}

// The joined forms timed with extra mounts and without, in turn, at each of
// sizes.
void MountsRun(int extra, const Options& options, const std::vector<int>& sizes,
               const std::vector<Command>& forms, const std::vector<const char*>& names,
               const std::vector<bool>& measured)
{
    std::printf("\n== the joined forms (--no-log) with %d more mounts, against the same without "
                "them (median of %d runs)\n",
                extra, options.runs);
    if (geteuid() != 0) {
        std::printf("skipped: making mounts needs root (BENCH_MOUNTS=0 leaves this run out)\n");
        return;
    }
    const std::string scratch = options.work + "/mounts";
    mkdir(scratch.c_str(), 0700);
    TablePlace bare, crowded;
    std::string why;
    const int bareNs = MakeMountNamespace(0, scratch, bare, why);
    const int mountsNs = bareNs < 0 ? -1 : MakeMountNamespace(extra, scratch, crowded, why);
    if (mountsNs < 0) {
        std::printf("skipped: %s\n", why.c_str());
        if (bareNs >= 0)
            close(bareNs);
        rmdir(scratch.c_str());
        return;
    }
    std::printf("sysfs is line %d of %d of the mount table with them, line %d of %d without\n",
                crowded.line, crowded.lines, bare.line, bare.lines);
    std::printf("%9s %-11s %9s %9s %12s %12s %12s\n", "sessions", "form", "without s", "with s",
                "without us/s", "with us/s", "with/without");
    for (int size : sizes) {
        const std::string tree = options.work + "/sessions-" + std::to_string(size);
        const std::string cwd = tree + "/run";
        std::vector<Command> inTurn;
        for (std::size_t i = 0; i < forms.size(); ++i) {
            if (!measured[i])
                continue;
            for (int ns : {bareNs, mountsNs}) {
                inTurn.push_back(forms[i]);
                inTurn.back().mountNamespace = ns;
            }
        }
        const std::vector<Sample> samples = MeasureInTurn(inTurn, tree, cwd, options.runs);
        std::size_t at = 0;
        for (std::size_t i = 0; i < forms.size(); ++i) {
            if (!measured[i]) {
                std::printf("%9d %-11s %9s %9s %12s %12s %12s\n", size, names[i], "-", "-", "-",
                            "-", "-");
                continue;
            }
            const double without = samples[at].seconds, with = samples[at + 1].seconds;
            at += 2;
            std::printf("%9d %-11s %9.3f %9.3f %12.1f %12.1f %12.2f\n", size, names[i], without,
                        with, without / size * 1e6, with / size * 1e6, with / without);
        }
        std::fflush(stdout);
    }
    close(bareNs);
    close(mountsNs);
    // Their mounts went with the namespaces; the directory they were on
    // stays, empty, in ours.
    rmdir(scratch.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    double mounts = 0;
    const Options options = ParseOptions(
        argc, argv,
        "usage: inventory-bench --bin BUILD_DIR --work DIR [--sizes 100,1000,10000] [--runs N] "
        "[--mounts N]",
        {{"--mounts", &mounts}});
    const std::string& bin = options.bin;
    const int runs = options.runs;
    const std::string tool = bin + "/tool/iscsi-inventory", floorProgram = bin + "/bench/inventory-floor";

    const Command bare{{tool}};
    const Command floor{{floorProgram}};
    const Command rulesFloor{{floorProgram, "--rules"}};
    const std::vector<Command> systool{{{"systool", "-c", "iscsi_host", "-v"}},
                                       {{"systool", "-c", "iscsi_transport", "-v"}},
                                       {{"systool", "-c", "iscsi_connection", "-v"}},
                                       {{"systool", "-c", "iscsi_session", "-v"}}};

    const Command json{{tool, "--json", "--no-log"}};
    const Command wholeFloor{{floorProgram, "--joined=whole"}};
    std::vector<NamedForm> named;
    for (const char* name : {"sessions", "luns", "summary", "check", "prometheus"}) {
        named.push_back({name, {{tool, std::string("--") + name, "--no-log"}},
                         {{floorProgram, std::string("--joined=") + name}}});
    }
    const std::size_t kCheck = 3;
    named[kCheck].form.completed = {0, 1, 2};

    std::vector<JoinedRow> joined;
    std::printf("%9s %9s %9s %9s %9s %10s %10s %12s %13s %9s %9s\n", "sessions", "tool s",
                "floor s", "rules s", "systool s", "tool/floor", "tool/rules", "tool/systool",
                "tool us/sess", "RSS MB", "out MB");
    double perSession1000 = 0, perSession10000 = 0;
    for (int size : options.sizes) {
        const std::string tree = options.work + "/sessions-" + std::to_string(size);
        EnsureTree(bin + "/bench/make-iscsi-tree", tree, size);
        const std::string cwd = tree + "/run";
        mkdir(cwd.c_str(), 0755);

        Sample t = Measure({bare}, tree, cwd, runs);
        Sample f = Measure({floor}, tree, cwd, runs);
        Sample r = Measure({rulesFloor}, tree, cwd, runs);
        Sample s = Measure(systool, tree, cwd, runs);
        JoinedRow row{size, t.peakKb, {}, {}, {}, TryCheck(named[kCheck].form, tree, cwd)};
        std::vector<Command> inTurn{json, wholeFloor};
        for (std::size_t i = 0; i < named.size(); ++i) {
            if (i != kCheck || row.verdict.built) {
                inTurn.push_back(named[i].form);
                inTurn.push_back(named[i].floor);
            }
        }
        const std::vector<Sample> j = MeasureInTurn(inTurn, tree, cwd, runs);
        row.json = j[0];
        row.wholeFloor = j[1];
        std::size_t at = 2;
        for (std::size_t i = 0; i < named.size(); ++i) {
            if (i == kCheck && !row.verdict.built) {
                row.named.push_back({});
            } else {
                row.named.push_back({j[at], j[at + 1]});
                at += 2;
            }
        }
        joined.push_back(row);
        // The output's size, for the memory column's yardstick.
        RunOnce(bare, tree, cwd, cwd + "/inventory.out");
        const double outMb = FileSize(cwd + "/inventory.out") / 1e6;

        const double perSession = t.seconds / size * 1e6;
        if (size == 1000)
            perSession1000 = perSession;
        if (size == 10000)
            perSession10000 = perSession;
        std::printf("%9d %9.3f %9.3f %9.3f %9.3f %10.2f %10.2f %12.2f %13.1f %9.1f %9.1f\n", size,
                    t.seconds, f.seconds, r.seconds, s.seconds, t.seconds / f.seconds,
                    t.seconds / r.seconds, t.seconds / s.seconds, perSession, t.peakKb / 1024.0,
                    outMb);
        std::fflush(stdout);
    }
    if (perSession1000 > 0 && perSession10000 > 0)
        std::printf("per-session cost, 10,000 vs 1,000 sessions: %.2fx\n",
                    perSession10000 / perSession1000);

    const JoinedRow* at1000 = nullptr;
    for (const JoinedRow& row : joined) {
        if (row.size == 1000)
            at1000 = &row;
    }

    std::printf("\n--json (--no-log) against the whole joined floor (inventory-floor "
                "--joined=whole), taken in turn with the named forms\n");
    std::printf("%9s %8s %8s %10s %11s %11s %9s %9s %9s\n", "sessions", "json s", "floor s",
                "json/floor", "json us/ses", "floor us/s", "vs 1,000", "json MB", "json/text");
    for (const JoinedRow& row : joined) {
        std::printf("%9d %8.3f %8.3f %10.2f %11.1f %11.1f %9s %9.1f %9.2f\n", row.size,
                    row.json.seconds, row.wholeFloor.seconds,
                    row.json.seconds / row.wholeFloor.seconds, row.json.seconds / row.size * 1e6,
                    row.wholeFloor.seconds / row.size * 1e6,
                    Growth(row.json.seconds, row.size, at1000 ? at1000->json.seconds : 0).c_str(),
                    row.json.peakKb / 1024.0,
                    static_cast<double>(row.json.peakKb) / row.textPeakKb);
    }

    // One row per form and size: the cost per session of a form and of its
    // floor, the growth of the form's from 1,000 sessions, its peak.
    std::printf("\nThe named joined forms (--no-log) against their floors (inventory-floor "
                "--joined=FORM), taken in turn\n");
    std::printf("%9s %-11s %8s %8s %10s %11s %11s %9s %8s %9s\n", "sessions", "form", "form s",
                "floor s", "form/floor", "form us/ses", "floor us/s", "vs 1,000", "RSS MB",
                "RSS/text");
    for (const JoinedRow& row : joined) {
        for (std::size_t i = 0; i < named.size(); ++i) {
            const Timing& t = row.named[i];
            const bool measured = t.form.seconds > 0;
            const double at1000Seconds = at1000 ? at1000->named[i].form.seconds : 0;
            std::printf("%9d %-11s %8s %8s %10s %11s %11s %9s %8s %9s\n", row.size, named[i].name,
                        Cell(measured, "%.3f", t.form.seconds).c_str(),
                        Cell(measured, "%.3f", t.floor.seconds).c_str(),
                        Cell(measured, "%.2f", t.form.seconds / t.floor.seconds).c_str(),
                        Cell(measured, "%.1f", t.form.seconds / row.size * 1e6).c_str(),
                        Cell(measured, "%.1f", t.floor.seconds / row.size * 1e6).c_str(),
                        Growth(t.form.seconds, row.size, at1000Seconds).c_str(),
                        Cell(measured, "%.1f", t.form.peakKb / 1024.0).c_str(),
                        Cell(measured, "%.2f", static_cast<double>(t.form.peakKb) / row.textPeakKb)
                            .c_str());
        }
    }
    for (const JoinedRow& row : joined) {
        if (row.verdict.built)
            std::printf("--check at %d sessions: exit %d, \"%s\"\n", row.size, row.verdict.status,
                        row.verdict.line.c_str());
        else
            std::printf("--check at %d sessions: not built (\"%s\")\n", row.size,
                        row.verdict.line.c_str());
    }
    std::fflush(stdout);

    if (mounts > 0) {
        // The cost per session is flat from 1,000 sessions on: the mounts
        // run takes the sizes up to 1,000, or the smallest.
        std::vector<int> sizes;
        for (int size : options.sizes) {
            if (size <= 1000)
                sizes.push_back(size);
        }
        if (sizes.empty())
            sizes.push_back(*std::min_element(options.sizes.begin(), options.sizes.end()));
        std::vector<Command> forms{json};
        std::vector<const char*> names{"json"};
        std::vector<bool> measured{true};
        const bool checkBuilt = std::all_of(joined.begin(), joined.end(),
                                            [](const JoinedRow& row) { return row.verdict.built; });
        for (std::size_t i = 0; i < named.size(); ++i) {
            forms.push_back(named[i].form);
            names.push_back(named[i].name);
            measured.push_back(i != kCheck || checkBuilt);
        }
        MountsRun(static_cast<int>(mounts), options, sizes, forms, names, measured);
    }
    return 0;
}
