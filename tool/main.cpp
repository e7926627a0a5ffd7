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
// node_exporter's textfile collector, the check's findings among them) and
// --check (a verdict for monitoring systems, against the host's baseline or
// the one named).  A set CHAP secret shows as
// "********" in every form unless --show-secrets asks for it; the reader
// never traces one.
//
// Run bare, the text and the log are what they have always been.  The exit
// status tells the truth: 1 when sysfs cannot be reached, an object cannot
// be read or an output cannot be written, 2 on a usage error; --check
// answers 0 to 3 as monitoring plugins do.
//
// This file holds the command line: it parses the options (one table,
// kOptionSpecs), makes the form (a Form, forms/form.h), runs the walk
// (walk/inventory.cpp) into it and lets the form finish the run.
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
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Which output form the command line chose (each made as an inventory::Form).
enum class FormChoice { Text, Json, Sessions, Luns, Summary, Prometheus };

// What an option is to the others.
enum class Role {
    Plain,
    Form,       // an output form: two are a usage error
    Check,      // means something with --check alone
    Selection,  // selects for --sessions, --luns, --summary and --check alone
};

// Every option, in the order --help lists them: the one list that the
// parser, the help, the usage line and the conflicts between options read.
// Adding an output form is a line here and a case in MakeForm.
struct OptionSpec {
    const char* name;
    char letter;        // its short form, or 0
    int argument;       // no_argument, required_argument or optional_argument
    const char* value;  // what its argument is called, for the help
    Role role;
    FormChoice form;    // for Role::Form
    const char* help;   // lines of the help, "\n" between them
};

// The options by their place in kOptionSpecs.
enum OptionId {
    kLog, kNoLog, kJson, kSessions, kLuns, kSummary, kPrometheus, kCheck, kBaseline, kSaveBaseline,
    kIgnore, kMaxRecovery, kRedundancyLost, kTarget, kSession, kShowSecrets, kHelp, kVersion, kOptionCount
};

const OptionSpec kOptionSpecs[] = {
    {"log", 'l', required_argument, "FILE", Role::Plain, {},
     "write the trace of every query to FILE (default SysReader.log\n"
     "in the current directory); never through a symbolic link"},
    {"no-log", 0, no_argument, nullptr, Role::Plain, {},
     "write no trace (of --log and --no-log, the last one counts)"},
    {"json", 0, no_argument, nullptr, Role::Form, FormChoice::Json,
     "print the inventory as one JSON document, with each\nsession's disks and the LUNs"},
    {"sessions", 's', no_argument, nullptr, Role::Form, FormChoice::Sessions,
     "print one block per session with its interface, states,\n"
     "timeouts, CHAP, negotiated parameters and disks"},
    {"luns", 0, no_argument, nullptr, Role::Form, FormChoice::Luns,
     "print one block per logical unit (by WWID) with its size,\ninquiry strings, multipath map and paths"},
    {"summary", 0, no_argument, nullptr, Role::Form, FormChoice::Summary,
     "print one line per session with its health"},
    {"prometheus", 0, optional_argument, "FILE", Role::Form, FormChoice::Prometheus,
     "print the sessions, connections, disks, LUNs and the check's\n"
     "findings as Prometheus metrics, or replace FILE with them\n"
     "whole (for node_exporter's textfile collector)"},
    {"check", 0, no_argument, nullptr, Role::Plain, {},
     "judge the host's iSCSI health as a monitoring plugin: exit 0\n"
     "OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN; with --json, as JSON"},
    {"baseline", 0, required_argument, "FILE", Role::Check, {},
     "with --check: hold the sessions and LUNs against FILE\n"
     "(default " ISCSI_INVENTORY_DEFAULT_BASELINE ",\nwhere one was saved)"},
    {"save-baseline", 0, optional_argument, "FILE", Role::Plain, {},
     "replace FILE (default the one above) with the sessions and\n"
     "LUNs there are now, as the baseline a later --check holds\n"
     "them against; with --check and a baseline, also what it\n"
     "expects"},
    {"ignore", 0, required_argument, "RULE[,RULE]...", Role::Check, {},
     "with --check: switch rules off (see below)"},
    {"max-recovery-timeout", 0, required_argument, "SECONDS", Role::Check, {},
     "with --check: warn of a multipath path whose session waits\nlonger to fail I/O (default 30)"},
    {"redundancy-lost", 0, required_argument, "warning|critical", Role::Check, {},
     "with --check: how bad a logical unit is that lost a path but\nis still reached (default warning)"},
    {"target", 'T', required_argument, "IQN", Role::Selection, {},
     "show only the sessions with this target (may repeat)"},
    {"session", 'r', required_argument, "NAME|SID", Role::Selection, {},
     "show only this session (may repeat); both select for\n--sessions, --luns, --summary and --check"},
    {"show-secrets", 0, no_argument, nullptr, Role::Plain, {},
     "print CHAP secrets (password, password_in) as they are\ninstead of ********; they never reach the log"},
    {"help", 'h', no_argument, nullptr, Role::Plain, {}, "print this help and exit"},
    {"version", 'V', no_argument, nullptr, Role::Plain, {}, "print the version and exit"},
};
static_assert(std::size(kOptionSpecs) == kOptionCount, "an OptionId for every option");

// "--name", "--name=VALUE" or "--name[=VALUE]", as the help shows it.
std::string LongForm(const OptionSpec& entry)
{
    std::string text = std::string("--") + entry.name;
    if (entry.argument == required_argument)
        text += std::string("=") + entry.value;
    else if (entry.argument == optional_argument)
        text += std::string("[=") + entry.value + "]";
    return text;
}

// The names of the options of a role, quoted and joined: "'--a', '--b' and '--c'".
std::string Named(Role role)
{
    std::vector<std::string> names;
    for (const OptionSpec& entry : kOptionSpecs)
        if (entry.role == role)
            names.push_back(std::string("'--") + entry.name + "'");
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return text;
}

void Usage(std::ostream& stream)
{
    stream << "Usage: " << kProgram << " [OPTION]...\n"
           << "Print the iSCSI hosts, transports, connections and sessions that sysfs shows,\n"
              "and the scsi_host entry named \"iscsi\".\n\n";
    constexpr std::size_t kHelpColumn = 19;
    for (const OptionSpec& entry : kOptionSpecs) {
        std::string line = entry.letter ? std::string("  -") + entry.letter + ", " : std::string(6, ' ');
        line += LongForm(entry);
        std::string_view help = entry.help;
        // A help line ends within 80 columns: after a long option, below it.
        const std::size_t first = std::min(help.find('\n'), help.size());
        if (line.size() + 2 <= kHelpColumn)
            line.append(kHelpColumn - line.size(), ' ');
        else if (line.size() + 2 + first <= 80)
            line += "  ";
        else
            line += "\n" + std::string(kHelpColumn, ' ');
        for (std::size_t end; !help.empty(); help.remove_prefix(end == help.size() ? end : end + 1)) {
            end = std::min(help.find('\n'), help.size());
            stream << line << help.substr(0, end) << "\n";
            line.assign(kHelpColumn, ' ');
        }
    }
    stream << "\nRules of --check, with the severity of what they find:\n";
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
// there they are UNKNOWN.  The short usage lists every option, the forms as
// one choice.
int UsageError(bool plugin)
{
    std::vector<std::string> words;
    std::string forms;
    for (const OptionSpec& entry : kOptionSpecs) {
        std::string word = entry.letter ? std::string("-") + entry.letter : LongForm(entry);
        if (entry.letter && entry.argument == required_argument)
            word += std::string(" ") + entry.value;
        if (entry.role == Role::Form)
            forms += (forms.empty() ? "" : "|") + word;
        else
            words.push_back("[" + word + "]");
        if (entry.role == Role::Form && &entry + 1 < std::end(kOptionSpecs) && entry.role != (&entry + 1)->role)
            words.push_back("[" + forms + "]");
    }
    std::string line = std::string("Usage: ") + kProgram, text;
    for (const std::string& word : words) {
        if (line.size() + 1 + word.size() > 80) {
            text += line + "\n";
            line = "      ";
        }
        line += " " + word;
    }
    std::cerr << text << line << "\nTry '" << kProgram << " --help' for more information." << std::endl;
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

struct Options {
    std::string logPath = kDefaultLog;
    bool logNamed = false, noLog = false, showSecrets = false, help = false, version = false;
    FormChoice form = FormChoice::Text;  // one output form: two are a usage error
    std::optional<std::string> metricsFile;  // --prometheus=FILE; else standard output
    bool check = false;
    bool checkOnlyGiven = false;  // an option of Role::Check
    inventory::CheckOptions checkOptions;
    inventory::Selection selection;
};

// The command line into options; a message and a status when it is wrong.
std::optional<int> ParseOptions(int argc, char** argv, Options& o)
{
    // getopt_long's view of the table: each option returns 256 + its id, a
    // short one its letter.
    std::vector<option> longOptions;
    std::string letters = ":";
    for (std::size_t i = 0; i < kOptionCount; ++i) {
        const OptionSpec& entry = kOptionSpecs[i];
        longOptions.push_back({entry.name, entry.argument, nullptr, static_cast<int>(256 + i)});
        if (entry.letter)
            letters += std::string(1, entry.letter) + (entry.argument == required_argument ? ":" : "");
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    auto idOf = [](int returned) -> std::optional<OptionId> {
        if (returned >= 256 && returned < 256 + kOptionCount)
            return static_cast<OptionId>(returned - 256);
        for (std::size_t i = 0; i < kOptionCount; ++i)
            if (kOptionSpecs[i].letter && kOptionSpecs[i].letter == returned)
                return static_cast<OptionId>(i);
        return std::nullopt;
    };
    // A usage error is UNKNOWN to a monitoring system, whatever comes after
    // --check on the line.
    const bool plugin = g_plugin;
    auto usage = [&](const std::string& message) {
        Fail(message, 0);
        return std::optional<int>(UsageError(plugin));
    };
    opterr = 0;  // the messages are ours, under the program's name
    std::string formGiven;
    int returned, before = optind;
    while ((returned = getopt_long(argc, argv, letters.c_str(), longOptions.data(), nullptr)) != -1) {
        const std::optional<OptionId> id = idOf(returned);
        if (!id || returned == ':' || returned == '?')
            return usage(OptionError(returned, before, argv));
        const OptionSpec& entry = kOptionSpecs[*id];
        if (entry.role == Role::Check)
            o.checkOnlyGiven = true;
        // Two forms of the output in one run would leave one of them unsaid.
        if (entry.role == Role::Form) {
            if (!formGiven.empty() && o.form != entry.form)
                return usage("options '" + formGiven + "' and '--" + entry.name +
                             "' name two forms of the output: give one");
            o.form = entry.form;
            formGiven = std::string("--") + entry.name;
        }
        if (optarg != nullptr && *optarg == '\0' && entry.argument == optional_argument)
            return usage(std::string("option '--") + entry.name + "=' names no file");
        switch (*id) {
        case kHelp: o.help = true; break;
        case kVersion: o.version = true; break;
        case kLog: o.logPath = optarg; o.logNamed = true; o.noLog = false; break;
        case kNoLog: o.noLog = true; o.logNamed = false; break;
        case kJson: case kSessions: case kLuns: case kSummary: break;
        case kShowSecrets: o.showSecrets = true; break;
        case kPrometheus: o.metricsFile = optarg ? std::optional<std::string>(optarg) : std::nullopt; break;
        case kCheck: o.check = true; break;
        case kBaseline: o.checkOptions.baseline = optarg; break;
        case kSaveBaseline: o.checkOptions.saveBaseline = optarg ? optarg : ISCSI_INVENTORY_DEFAULT_BASELINE; break;
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
            break;
        case kTarget: o.selection.targets.push_back(optarg); break;
        case kSession: o.selection.sessions.push_back(optarg); break;
        case kOptionCount: break;
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
    if (!o.check && o.checkOnlyGiven)
        return usage("options " + Named(Role::Check) + " need '--check'");
    if (!o.selection.TakesAll() && !verdict &&
        (o.form == FormChoice::Text || o.form == FormChoice::Json || o.form == FormChoice::Prometheus))
        return usage("options " + Named(Role::Selection) +
                     " select for '--sessions', '--luns', '--summary' and '--check' alone");
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
