// SPDX-License-Identifier: MIT
// iscsi-inventory: prints every iSCSI object the kernel shows in sysfs.
//
// Four passes over the iSCSI classes print each class device with its own
// attributes and those of the device behind it; a fifth prints the scsi_host
// entry named "iscsi" and what lies below each of its paths.  The reader's
// trace goes to "SysReader.log" in the current directory unless --log or
// --no-log says otherwise.  The other forms join each session with its host,
// connections and disks: --json (one document, with the logical units),
// --sessions and --summary (for people), --luns (a block per logical unit,
// its paths joined across sessions by WWID), --prometheus (metrics for
// node_exporter's textfile collector) and --check (a verdict for monitoring
// systems, against a baseline if asked).  A set CHAP secret shows as
// "********" in every form unless --show-secrets asks for it; the reader
// never traces one.
//
// Run bare, the text and the log are what they have always been.  The exit
// status tells the truth: 1 when sysfs cannot be reached, an object cannot
// be read or an output cannot be written, 2 on a usage error; --check
// answers 0 to 3 as monitoring plugins do.
//
// This file holds the command line: it parses the options, makes the form
// (a Form, form.h), runs the walk (inventory.cpp) into it and lets the form
// finish the run.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "forms/check_output.h"
#include "walk/inventory.h"
#include "forms/json_output.h"
#include "base/log_file.h"
#include "forms/output.h"
#include "forms/luns_output.h"
#include "forms/prometheus_output.h"
#include "forms/sessions_output.h"
#include "forms/summary_output.h"
#include "forms/text_output.h"

#ifndef ISCSI_INVENTORY_VERSION
#define ISCSI_INVENTORY_VERSION "unknown"
#endif
#ifndef ISCSI_INVENTORY_DEFAULT_BASELINE
#define ISCSI_INVENTORY_DEFAULT_BASELINE "/var/lib/iscsi-inventory/baseline.json"
#endif

using inventory::Output;

namespace {

constexpr const char* kProgram = "iscsi-inventory";
constexpr const char* kDefaultLog = "SysReader.log";

// The status of a run that fails before it could say more: 1, but UNKNOWN
// (3) for a monitoring plugin, to which 1 is WARNING.
int g_failureStatus = 1;
// A monitoring plugin's run (--check): a failure is said on standard output
// too, which is all a monitoring system shows.
bool g_plugin = false;

// ---- Command line ----------------------------------------------------------

void Usage(std::ostream& stream)
{
    stream << "Usage: " << kProgram << " [OPTION]...\n"
           << "Print the iSCSI hosts, transports, connections and sessions that sysfs shows,\n"
              "and the scsi_host entry named \"iscsi\".\n"
              "\n"
              "  -l, --log=FILE   write the trace of every query to FILE (default SysReader.log\n"
              "                   in the current directory); never through a symbolic link\n"
              "      --no-log     write no trace (of --log and --no-log, the last one counts)\n"
              "      --json       print the inventory as one JSON document, with each\n"
              "                   session's disks and the LUNs\n"
              "  -s, --sessions   print one block per session with its interface, states,\n"
              "                   timeouts, CHAP, negotiated parameters and disks\n"
              "      --luns       print one block per logical unit (by WWID) with its size,\n"
              "                   inquiry strings, multipath map and paths\n"
              "      --summary    print one line per session with its health\n"
              "      --prometheus[=FILE]  print the sessions, connections, disks and LUNs as\n"
              "                   Prometheus metrics, or replace FILE with them whole (for\n"
              "                   node_exporter's textfile collector)\n"
              "      --check      judge the host's iSCSI health as a monitoring plugin: exit 0\n"
              "                   OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN; with --json, as JSON\n"
              "      --baseline=FILE  with --check: hold the sessions and LUNs against FILE\n"
              "                   (default " ISCSI_INVENTORY_DEFAULT_BASELINE ",\n"
              "                   where one was saved)\n"
              "      --save-baseline[=FILE]  replace FILE (default the one above) with the\n"
              "                   sessions and LUNs there are now, as the baseline a later\n"
              "                   --check holds them against; with --check and a baseline,\n"
              "                   also what that baseline expects\n"
              "      --max-recovery-timeout=SECONDS  with --check: warn of a multipath path\n"
              "                   whose session waits longer to fail I/O (default 30)\n"
              "      --redundancy-lost=warning|critical  with --check: how bad a logical unit\n"
              "                   is that lost a path but is still reached (default warning)\n"
              "      --ignore=RULE[,RULE]...  with --check: switch rules off (see below)\n"
              "  -T, --target=IQN  show only the sessions with this target (may repeat)\n"
              "  -r, --session=NAME|SID  show only this session (may repeat); both select\n"
              "                   for --sessions, --luns, --summary and --check\n"
              "      --show-secrets  print CHAP secrets (password, password_in) as they are\n"
              "                   instead of ********; they never reach the log\n"
              "  -h, --help       print this help and exit\n"
              "  -V, --version    print the version and exit\n"
              "\n"
              "\n"
              "Rules of --check, with the severity of what they find:\n";
    for (std::size_t i = 0; i < inventory::kCheckRuleCount; ++i) {
        const inventory::CheckRule& rule = inventory::kCheckRules[i];
        const std::string name = rule.name, severity = inventory::SeverityWords(rule.severity);
        stream << "  " << name << std::string(18 - name.size(), ' ') << severity
               << std::string(17 - severity.size(), ' ') << rule.finds << "\n";
    }
    stream << "A lost session is as bad as the worst it does: CRITICAL when a logical unit it\n"
              "carried has no running path left (or none is known), else redundancy lost.\n"
              "\n"
              "Run as root, a baseline, metrics file or log that another user could have\n"
              "chosen (its file, a directory or a link on its way) is refused.\n"
              "\n"
              "Exit status: 0 on success (also when there is no iSCSI object), 1 when sysfs is\n"
              "not mounted and cannot be mounted, an object could not be read (what could be\n"
              "read is printed), standard output or the metrics file cannot be written or the\n"
              "log named by --log cannot be opened, 2 on a usage error.  With --check: 0 OK,\n"
              "1 WARNING, 2 CRITICAL, 3 UNKNOWN (also on a usage error).\n";
}

using inventory::Complain;

// A failure that ends the run before it could say more: named on standard
// error, and, for a monitoring plugin, as its UNKNOWN status line on standard
// output.  Returns the status the run ends with.
int Fail(const std::string& message, int status)
{
    Complain(message);
    if (g_plugin)
        std::cout << "ISCSI UNKNOWN - " << inventory::PluginText(message) << std::endl;
    return status;
}

// Usage errors exit 2, but for a monitoring plugin, to which 2 is CRITICAL:
// there they are UNKNOWN.
int UsageError(bool plugin)
{
    std::cerr << "Usage: " << kProgram
              << " [-h] [-V] [-l FILE] [--no-log] [--json|-s|--luns|--summary|--prometheus[=FILE]]\n"
                 "       [--check [--baseline=FILE] [--ignore=RULE,...] [--max-recovery-timeout=SECONDS]\n"
                 "       [--redundancy-lost=warning|critical]] [--save-baseline[=FILE]] [-T IQN] [-r SESSION]\n"
                 "       [--show-secrets]\n"
              << "Try '" << kProgram << " --help' for more information." << std::endl;
    return plugin ? 3 : 2;
}

// What getopt_long found wrong, for a message under the program's own name
// rather than getopt's (which would use argv[0], a path as often as not).
// result is what getopt_long returned (':' for a missing argument, '?' for
// the rest) and before the optind it was called with.  optopt holds the short
// option, the value of a long option given an argument it does not take, or
// 0 for an unknown long option.  A long option is always stepped over, so its
// text is the argument before optind; a short option inside a cluster is not.
std::string OptionError(int result, int before, char** argv)
{
    std::string given = optind > before ? argv[optind - 1] : "";
    bool isLong = given.compare(0, 2, "--") == 0;
    std::string name = given.substr(0, given.find('='));
    if (result == ':')
        return isLong ? "option '" + name + "' requires an argument"
                      : std::string("option requires an argument -- '") + char(optopt) + "'";
    if (isLong)
        return optopt == 0 ? "unrecognized option '" + name + "'"
                           : "option '" + name + "' doesn't allow an argument";
    return std::string("invalid option -- '") + char(optopt) + "'";
}

// Which output form the command line chose (each made as an inventory::Form).
enum class FormChoice { Text, Json, Sessions, Luns, Summary, Prometheus };

struct Options {
    std::string logPath = kDefaultLog;
    bool logNamed = false, noLog = false, showSecrets = false, help = false, version = false;
    FormChoice form = FormChoice::Text;  // one output form: two are a usage error
    std::optional<std::string> metricsFile;  // --prometheus=FILE; else standard output
    bool check = false;
    bool redundancyLostGiven = false;
    inventory::CheckOptions checkOptions;
    inventory::Selection selection;
};

// The command line into options; a message and a status when it is wrong.
std::optional<int> ParseOptions(int argc, char** argv, Options& o)
{
    enum {
        kNoLog = 256, kJson, kShowSecrets, kPrometheus, kLuns, kSummary, kCheck, kBaseline,
        kSaveBaseline, kMaxRecovery, kIgnore, kRedundancyLost
    };
    static const option kOptions[] = {
        {"help", no_argument, nullptr, 'h'},   {"version", no_argument, nullptr, 'V'},
        {"log", required_argument, nullptr, 'l'}, {"no-log", no_argument, nullptr, kNoLog},
        {"json", no_argument, nullptr, kJson},   {"show-secrets", no_argument, nullptr, kShowSecrets},
        {"sessions", no_argument, nullptr, 's'},
        {"prometheus", optional_argument, nullptr, kPrometheus},
        {"luns", no_argument, nullptr, kLuns},   {"summary", no_argument, nullptr, kSummary},
        {"check", no_argument, nullptr, kCheck},
        {"baseline", required_argument, nullptr, kBaseline},
        {"save-baseline", optional_argument, nullptr, kSaveBaseline},
        {"max-recovery-timeout", required_argument, nullptr, kMaxRecovery},
        {"ignore", required_argument, nullptr, kIgnore},
        {"redundancy-lost", required_argument, nullptr, kRedundancyLost},
        {"target", required_argument, nullptr, 'T'}, {"session", required_argument, nullptr, 'r'},
        {nullptr, 0, nullptr, 0},
    };
    // A usage error is UNKNOWN to a monitoring system, whatever comes after
    // --check on the line.
    const bool plugin = g_plugin;
    auto usage = [&](const std::string& message) {
        Fail(message, 0);
        return std::optional<int>(UsageError(plugin));
    };
    // Two forms of the output in one run would leave one of them unsaid.
    std::string formGiven;
    auto form = [&](FormChoice chosen, const char* name) -> std::optional<int> {
        if (!formGiven.empty() && o.form != chosen)
            return usage("options '" + formGiven + "' and '" + name + "' name two forms of the output: give one");
        o.form = chosen;
        formGiven = name;
        return std::nullopt;
    };
    opterr = 0;  // the messages are ours, under the program's name
    int option, before = optind;
    while ((option = getopt_long(argc, argv, ":hVsl:T:r:", kOptions, nullptr)) != -1) {
        switch (option) {
        case 'h': o.help = true; break;
        case 'V': o.version = true; break;
        case 'l': o.logPath = optarg; o.logNamed = true; o.noLog = false; break;
        case kNoLog: o.noLog = true; o.logNamed = false; break;
        case kJson:
            if (auto status = form(FormChoice::Json, "--json"))
                return status;
            break;
        case 's':
            if (auto status = form(FormChoice::Sessions, "--sessions"))
                return status;
            break;
        case kLuns:
            if (auto status = form(FormChoice::Luns, "--luns"))
                return status;
            break;
        case kSummary:
            if (auto status = form(FormChoice::Summary, "--summary"))
                return status;
            break;
        case kShowSecrets: o.showSecrets = true; break;
        case kPrometheus:
            if (auto status = form(FormChoice::Prometheus, "--prometheus"))
                return status;
            if (optarg != nullptr && *optarg == '\0')
                return usage("option '--prometheus=' names no file");
            o.metricsFile = optarg ? std::optional<std::string>(optarg) : std::nullopt;
            break;
        case kCheck: o.check = true; break;
        case kBaseline: o.checkOptions.baseline = optarg; break;
        case kSaveBaseline:
            if (optarg != nullptr && *optarg == '\0')
                return usage("option '--save-baseline=' names no file");
            o.checkOptions.saveBaseline = optarg ? optarg : ISCSI_INVENTORY_DEFAULT_BASELINE;
            break;
        case kMaxRecovery: {
            std::optional<std::uint64_t> seconds = inventory::KernelNumber(optarg);
            if (!seconds)
                return usage(std::string("invalid number of seconds '") + optarg + "'");
            o.checkOptions.judge.maxRecoverySeconds = *seconds;
            break;
        }
        case kIgnore: {
            std::string rules = optarg;
            for (std::size_t start = 0; start <= rules.size();) {
                std::size_t comma = std::min(rules.find(',', start), rules.size());
                std::string rule = rules.substr(start, comma - start);
                if (!inventory::CheckRuleNamed(rule))
                    return usage("no rule named '" + rule + "'");
                o.checkOptions.ignored.insert(rule);
                start = comma + 1;
            }
            break;
        }
        case kRedundancyLost:
            if (std::strcmp(optarg, "warning") == 0)
                o.checkOptions.judge.redundancyLost = inventory::Status::Warning;
            else if (std::strcmp(optarg, "critical") == 0)
                o.checkOptions.judge.redundancyLost = inventory::Status::Critical;
            else
                return usage(std::string("invalid severity '") + optarg + "' (warning or critical)");
            o.redundancyLostGiven = true;
            break;
        case 'T': o.selection.targets.push_back(optarg); break;
        case 'r': o.selection.sessions.push_back(optarg); break;
        default: return usage(OptionError(option, before, argv));
        }
        before = optind;
    }
    if (optind < argc)
        return usage(std::string("unexpected argument '") + argv[optind] + "'");
    if (o.help || o.version)
        return std::nullopt;
    // The metrics file is read by other users: no secret may reach it.
    if (o.form == FormChoice::Prometheus && o.showSecrets)
        return usage("option '--prometheus' cannot be combined with '--show-secrets'");
    const bool verdict = o.check || o.checkOptions.saveBaseline;
    if (verdict && o.form != FormChoice::Text && !(o.check && o.form == FormChoice::Json))
        return usage("options '--check' and '--save-baseline' take no other form than '--json'");
    if (!o.check && (o.checkOptions.baseline || o.checkOptions.ignored.size() ||
                     o.checkOptions.judge.maxRecoverySeconds != 30 || o.redundancyLostGiven))
        return usage("options '--baseline', '--ignore', '--max-recovery-timeout' and '--redundancy-lost' "
                     "need '--check'");
    if (!o.selection.TakesAll() && !verdict &&
        (o.form == FormChoice::Text || o.form == FormChoice::Json || o.form == FormChoice::Prometheus))
        return usage("options '--target' and '--session' select for '--sessions', '--luns', "
                     "'--summary' and '--check' alone");
    // The host's own baseline, where one was saved: without it the check
    // says it had none.
    if (o.check && !o.checkOptions.baseline) {
        o.checkOptions.baseline = ISCSI_INVENTORY_DEFAULT_BASELINE;
        o.checkOptions.baselineByDefault = true;
    }
    o.checkOptions.verdict = o.check;
    o.checkOptions.selection = o.selection;
    o.checkOptions.json = o.check && o.form == FormChoice::Json;
    return std::nullopt;
}

std::unique_ptr<inventory::Form> MakeForm(const Options& o, Output& out)
{
    if (o.check || o.checkOptions.saveBaseline)
        return std::make_unique<inventory::CheckOutput>(out, o.checkOptions);
    switch (o.form) {
    case FormChoice::Json: return std::make_unique<inventory::JsonOutput>(out);
    case FormChoice::Sessions: return std::make_unique<inventory::SessionsOutput>(out, o.selection);
    case FormChoice::Luns: return std::make_unique<inventory::LunsOutput>(out, o.selection);
    case FormChoice::Summary: return std::make_unique<inventory::SummaryOutput>(out, o.selection);
    case FormChoice::Prometheus: return std::make_unique<inventory::PrometheusOutput>(out, o.metricsFile);
    case FormChoice::Text: break;
    }
    return std::make_unique<inventory::TextOutput>(out);
}

int Run(int argc, char** argv)
{
    Options options;
    if (std::optional<int> status = ParseOptions(argc, argv, options))
        return *status;
    Output out;
    if (options.help) {
        Usage(std::cout);
        return out.Finish(0);
    }
    if (options.version) {
        std::cout << kProgram << " (sysfsreader) " << ISCSI_INVENTORY_VERSION << std::endl;
        return out.Finish(0);
    }

    std::ofstream log;
    if (!options.noLog) {
        base::LogRefusal refused = base::OpenLog(log, options.logPath.c_str());
        // The default log is a convenience: where it cannot be opened the
        // inventory goes on without it.  A log asked for by name is not.
        // Something planted at the default log's name is worth a word.
        if (refused && options.logNamed)
            return Fail("cannot open log '" + options.logPath + "': " + refused.why, g_failureStatus);
        if (refused && !refused.cannotCreate)
            Complain("not writing the log '" + options.logPath + "': " + refused.why);
    }

    std::unique_ptr<inventory::Form> form = MakeForm(options, out);
    inventory::Walk walk(&log, options.showSecrets, options.selection);
    walk.Run(*form);

    // A write to the log that failed (a full disk, a file size limit) has cut
    // it short: worth a word, though the inventory stands.
    const bool logOpen = log.is_open();
    log.close();
    if (logOpen && log.fail())
        Complain("the log '" + options.logPath + "' is cut short: a write to it failed");
    return form->Finish(walk);
}

// The C++ runtime ends the process when it has no memory even for the
// exception that says so (the last resort, its emergency pool, is empty when
// the address space was too small to make it).  That is running out of
// memory, and it ends with a message and status 1 rather than a signal.  A
// terminate for any other exception is a fault of the program: it still
// aborts.
[[noreturn]] void Terminate() noexcept
{
    bool memory = true;
    if (std::exception_ptr thrown = std::current_exception()) {
        try {
            std::rethrow_exception(thrown);
        } catch (const std::bad_alloc&) {
        } catch (...) {
            memory = false;
        }
    }
    if (!memory)
        std::abort();
    static const char kMessage[] = "iscsi-inventory: Cannot allocate memory\n";
    static const char kPluginLine[] = "ISCSI UNKNOWN - Cannot allocate memory\n";
    if (write(STDERR_FILENO, kMessage, sizeof kMessage - 1) < 0) {
    }
    if (g_plugin && write(STDOUT_FILENO, kPluginLine, sizeof kPluginLine - 1) < 0) {
    }
    _exit(g_failureStatus);
}

}  // namespace

int main(int argc, char** argv)
{
    std::set_terminate(Terminate);
    base::KeepStandardDescriptors();
    // A file size limit makes a write fail with EFBIG rather than end the run:
    // the spool then moves to memory, and a file or output it cuts short is
    // reported.
    std::signal(SIGXFSZ, SIG_IGN);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--check") == 0) {
            g_failureStatus = 3;
            g_plugin = true;
        }
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        // What was printed stands, but the run did not finish.
        return Fail(std::strerror(ENOMEM), g_failureStatus);
    } catch (const std::exception& failure) {
        return Fail(failure.what(), g_failureStatus);
    } catch (...) {
        return Fail("unexpected failure", g_failureStatus);
    }
}
