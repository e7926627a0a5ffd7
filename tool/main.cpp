// SPDX-License-Identifier: MIT
// iscsi-inventory: prints every iSCSI object the kernel shows in sysfs.
//
// Four passes over the iSCSI classes print each class device with its own
// attributes and those of the device behind it; a fifth prints the scsi_host
// entry named "iscsi" and what lies below each of its paths.  The reader's
// trace goes to "SysReader.log" in the current directory unless --log or
// --no-log says otherwise.  With --json the same inventory is one JSON
// document, with each session's disks added.  A set CHAP secret shows as
// "********" in every form unless --show-secrets asks for it; the reader
// never traces one.  With --prometheus the sessions, connections and disks
// are metrics for node_exporter's textfile collector, on standard output or
// replacing a file whole.
//
// Run bare, the text and the log are what they have always been.  The exit
// status tells the truth: 1 when sysfs cannot be reached or standard output
// or the metrics file cannot be written, 2 on a usage error.
//
// This file holds the command line and the exit status; the walk is in
// inventory.cpp, the output forms in text_output.cpp, json_output.cpp,
// sessions_output.cpp and prometheus_output.cpp.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <cstring>
#include <fstream>
#include <iostream>
#include <new>
#include <string>

#include "inventory.h"
#include "json_output.h"
#include "log_file.h"
#include "output.h"
#include "prometheus_output.h"
#include "replace_file.h"
#include "sessions_output.h"
#include "terminal_text.h"
#include "text_output.h"

#ifndef ISCSI_INVENTORY_VERSION
#define ISCSI_INVENTORY_VERSION "unknown"
#endif

using inventory::Output;

namespace {

constexpr const char* kProgram = "iscsi-inventory";
constexpr const char* kDefaultLog = "SysReader.log";

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
              "                   session's disks\n"
              "  -s, --sessions   print one block per session with its interface, states,\n"
              "                   timeouts, CHAP, negotiated parameters and disks\n"
              "      --prometheus[=FILE]  print the sessions, connections and disks as\n"
              "                   Prometheus metrics, or replace FILE with them whole (for\n"
              "                   node_exporter's textfile collector)\n"
              "      --show-secrets  print CHAP secrets (password, password_in) as they are\n"
              "                   instead of ********; they never reach the log\n"
              "  -h, --help       print this help and exit\n"
              "  -V, --version    print the version and exit\n"
              "\n"
              "Exit status: 0 on success (also when there is no iSCSI object), 1 when sysfs is\n"
              "not mounted and cannot be mounted, an object could not be read (what could be\n"
              "read is printed), standard output or the metrics file cannot be written or the\n"
              "log named by --log cannot be opened, 2 on a usage error.\n";
}

int UsageError()
{
    std::cerr << "Usage: " << kProgram
              << " [-h] [-V] [-l FILE] [--no-log] [--json|-s|--prometheus[=FILE]] [--show-secrets]\n"
              << "Try '" << kProgram << " --help' for more information." << std::endl;
    return 2;
}

void Complain(const std::string& message)
{
    std::cerr << kProgram << ": " << message << std::endl;
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

// Ends a run whose inventory is written: the close of standard output is the
// last check.
int Finish(Output& out, int status)
{
    int error = out.Close();
    if (error != 0) {
        Complain(std::string("write error: ") + std::strerror(error));
        return 1;
    }
    return status;
}

int Run(int argc, char** argv)
{
    enum { kNoLog = 256, kJson, kShowSecrets, kPrometheus };
    enum class Form { Text, Json, Sessions, Prometheus };
    static const option kOptions[] = {
        {"help", no_argument, nullptr, 'h'},   {"version", no_argument, nullptr, 'V'},
        {"log", required_argument, nullptr, 'l'}, {"no-log", no_argument, nullptr, kNoLog},
        {"json", no_argument, nullptr, kJson},   {"show-secrets", no_argument, nullptr, kShowSecrets},
        {"sessions", no_argument, nullptr, 's'},
        {"prometheus", optional_argument, nullptr, kPrometheus},
        {nullptr, 0, nullptr, 0},
    };
    std::string logPath = kDefaultLog;
    bool logNamed = false, noLog = false, showSecrets = false, help = false, version = false;
    Form form = Form::Text;  // of the output forms, the last one given counts
    bool metricsToFile = false;  // else standard output
    std::string metricsFile;
    opterr = 0;  // the messages are ours, under the program's name
    int option, before = optind;
    while ((option = getopt_long(argc, argv, ":hVsl:", kOptions, nullptr)) != -1) {
        switch (option) {
        case 'h': help = true; break;
        case 'V': version = true; break;
        case 'l': logPath = optarg; logNamed = true; noLog = false; break;
        case kNoLog: noLog = true; logNamed = false; break;
        case kJson: form = Form::Json; break;
        case 's': form = Form::Sessions; break;
        case kShowSecrets: showSecrets = true; break;
        case kPrometheus:
            form = Form::Prometheus;
            metricsToFile = optarg != nullptr;
            metricsFile = metricsToFile ? optarg : "";
            break;
        default: Complain(OptionError(option, before, argv)); return UsageError();
        }
        before = optind;
    }
    if (optind < argc) {
        Complain(std::string("unexpected argument '") + argv[optind] + "'");
        return UsageError();
    }
    // The metrics file is read by other users: no secret may reach it.
    if (form == Form::Prometheus && showSecrets) {
        Complain("option '--prometheus' cannot be combined with '--show-secrets'");
        return UsageError();
    }

    Output out;
    if (help) {
        Usage(std::cout);
        return Finish(out, 0);
    }
    if (version) {
        std::cout << kProgram << " (sysfsreader) " << ISCSI_INVENTORY_VERSION << std::endl;
        return Finish(out, 0);
    }

    std::ofstream log;
    if (!noLog) {
        programs::LogRefusal refused = programs::OpenLog(log, logPath.c_str());
        // The default log is a convenience: where it cannot be opened the
        // inventory goes on without it.  A log asked for by name is not.
        // Something planted at the default log's name is worth a word.
        if (refused && logNamed) {
            Complain("cannot open log '" + logPath + "': " + refused.why);
            return 1;
        }
        if (refused && !refused.cannotCreate)
            Complain("not writing the log '" + logPath + "': " + refused.why);
    }
    inventory::Walk walk(&log, showSecrets);
    inventory::PrometheusOutput metrics;
    int spoolError = 0;  // the JSON sessions kept aside could not be read back
    if (form == Form::Prometheus) {
        walk.Run(metrics);
    } else if (form == Form::Json) {
        inventory::JsonOutput document(out);
        walk.Run(document);
        // A document begun is finished, whatever stopped the walk.
        if ((!walk.MountFailed() || document.Started()) && !out.Failed())
            spoolError = document.Finish(walk.Errors());
    } else if (form == Form::Sessions) {
        inventory::SessionsOutput sessions(out);
        walk.Run(sessions);
        if (!walk.MountFailed() && !out.Failed())
            sessions.Finish();
    } else {
        inventory::TextOutput text(out);
        walk.Run(text);
    }
    // A write to the log that failed (a full disk, a file size limit) has cut
    // it short: worth a word, though the inventory stands.
    const bool logOpen = log.is_open();
    log.close();
    if (logOpen && log.fail())
        Complain("the log '" + logPath + "' is cut short: a write to it failed");
    // What could not be read is named, and a partial inventory is no success.
    for (const inventory::Walk::Error& error : walk.Errors())
        Complain("cannot read " + inventory::Visible(error.object) + ": " +
                 std::strerror(error.error));
    if (walk.MountFailed()) {
        out.Close();
        if (walk.Errors().empty())
            Complain("sysfs is not mounted at /sys and cannot be mounted (mounting it needs root)");
        return 1;
    }
    if (spoolError != 0) {
        out.Close();
        Complain(std::string("cannot read back the sessions kept aside for the document: ") +
                 std::strerror(spoolError));
        return 1;
    }
    if (form == Form::Prometheus) {
        const std::size_t unreadable = walk.Errors().size();
        int writeError = 0;
        std::string writeWhy;
        if (!metricsToFile) {
            spoolError = metrics.Write([&](std::string_view piece) { out.Text(piece); }, unreadable);
        } else {
            writeError = inventory::ReplaceFile(
                metricsFile, 0644, [&](const inventory::PieceWriter& write) {
                    spoolError = metrics.Write([&](std::string_view piece) { write(piece); },
                                               unreadable);
                    return spoolError;
                },
                writeWhy);
        }
        if (spoolError != 0) {
            out.Close();
            Complain(std::string("cannot read back the metrics kept aside: ") +
                     std::strerror(spoolError));
            return 1;
        }
        if (writeError != 0) {
            out.Close();
            Complain("cannot write '" + metricsFile + "': " + writeWhy);
            return 1;
        }
    }
    return Finish(out, walk.Errors().empty() ? 0 : 1);
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
    if (write(STDERR_FILENO, kMessage, sizeof kMessage - 1) < 0) {
    }
    _exit(1);
}

}  // namespace

int main(int argc, char** argv)
{
    std::set_terminate(Terminate);
    programs::KeepStandardDescriptors();
    // A file size limit makes a write fail with EFBIG rather than end the run:
    // the spool then moves to memory, and a file or output it cuts short is
    // reported.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        // What was printed stands, but the run did not finish.
        Complain(std::strerror(ENOMEM));
    } catch (const std::exception& failure) {
        Complain(failure.what());
    } catch (...) {
        Complain("unexpected failure");
    }
    return 1;
}
