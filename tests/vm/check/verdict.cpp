// SPDX-License-Identifier: MIT
// --check against the dumps: a verdict in the state its exit status says,
// perfdata that counts what the dumps show, and findings worst first; once a
// path failed, findings that name the failed session and the LUN.
#include <algorithm>
#include <cctype>
#include <regex>

#include "outputs.h"

namespace vmcheck {

Census CensusOf(const Dump& dump, const std::vector<LunFacts>& luns)
{
    Census census;
    for (const auto& [key, object] : dump.objects)
        if (key.first == "iscsi_session") {
            ++census.sessions;
            census.loggedIn += FileValue(&object, "state") == "LOGGED_IN";
        }
    census.luns = luns.size();
    for (const LunFacts& lun : luns) {
        census.paths += lun.paths.size();
        census.running += lun.Running();
    }
    return census;
}

namespace {

const char* const kStates[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

const std::set<std::string> kRules{"session-state",    "no-path",          "baseline-missing",
                                   "path-lost",        "read-only",        "recovery-timeout",
                                   "connection-state", "baseline-extra"};

bool NamesWord(const std::string& text, const std::string& word)
{
    if (word.empty())
        return true;
    auto part = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        bool starts = at == 0 || !part(text[at - 1]) || !part(word.front());
        std::size_t end = at + word.size();
        bool ends = end == text.size() || !part(text[end]) || !part(word.back());
        if (starts && ends)
            return true;
    }
    return false;
}

bool NamesAll(const std::string& text, const std::vector<std::string>& words)
{
    return std::all_of(words.begin(), words.end(), [&](const std::string& w) { return NamesWord(text, w); });
}

// "1 of 2" (or "1/2") paths running.
bool NamesCount(const std::string& text, std::size_t running, std::size_t paths)
{
    const std::string r = std::to_string(running), p = std::to_string(paths);
    return NamesWord(text, r + " of " + p) || NamesWord(text, r + "/" + p);
}

// The perfdata after " | " on the first line: label=value words, those the
// census knows equal to its counts.
void CheckPerfdataText(const std::string& phase, const std::string& what, const std::string& first,
                       const std::string& rest, const Census& census)
{
    std::size_t bar = rest.rfind(" | ");
    if (bar == std::string::npos) {
        Fail(phase, what + ": no perfdata after \" | \" in \"" + first + "\"");
        return;
    }
    static const std::regex datum("'?([^'=]+)'?=([0-9.]+)[^;]*(;.*)?");
    const std::map<std::string, std::size_t> counts{{"sessions", census.sessions},
                                                    {"sessions_logged_in", census.loggedIn},
                                                    {"luns", census.luns},
                                                    {"paths", census.paths},
                                                    {"paths_running", census.running}};
    std::istringstream data(rest.substr(bar + 3));
    std::size_t parsed = 0;
    for (std::string word; data >> word;) {
        std::smatch d;
        if (!std::regex_match(word, d, datum)) {
            Fail(phase, what + ": perfdata \"" + word + "\" is no label=value");
            continue;
        }
        ++parsed;
        auto count = counts.find(d[1]);
        if (count != counts.end() && !SameNumber(d[2], count->second))
            Fail(phase, what + ": perfdata " + d[1].str() + "=" + d[2].str() + ", the dumps show " +
                            std::to_string(count->second));
    }
    if (parsed == 0)
        Fail(phase, what + ": no perfdata in \"" + first + "\"");
}

// The lines after the first: one names the failed session, a later one the
// LUN with its running paths (both lost redundancy alone, and sessions are
// judged before units).
void CheckFindingLines(const std::string& phase, const std::string& what, const std::vector<std::string>& lines,
                       const Named& named)
{
    std::optional<std::size_t> session, lun;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (!session && NamesAll(lines[i], named.session))
            session = i;
        else if (!lun && NamesAll(lines[i], named.lun) && NamesCount(lines[i], named.running, named.paths))
            lun = i;
    }
    if (!session)
        Fail(phase, what + " has no line naming " + Joined(named.session, " "));
    if (!lun)
        Fail(phase, what + " has no line naming " + Joined(named.lun, " ") + " with " +
                        std::to_string(named.running) + " of " + std::to_string(named.paths) + " paths running");
    if (session && lun && *lun < *session)
        Fail(phase, what + " names the LUN before the failed session: sessions come first among equals");
}

}  // namespace

void CheckStatus(const std::string& phase, const std::string& what, std::optional<int> status, int want)
{
    if (!status)
        Fail(phase, what + ": no exit status");
    else if (*status != want)
        Fail(phase, what + ": exit status " + std::to_string(*status) + ", expected " + std::to_string(want) +
                        " (" + kStates[want] + ")");
}

// The plugin's text: "ISCSI <STATE> - <summary> | <perfdata>" in the state
// its exit status says, perfdata that counts what the dumps show, then a
// line per finding, worst first.
void CheckVerdictText(const std::string& phase, const std::string& what, const std::string& text,
                      std::optional<int> status, int want, const Census& census, const Named* named)
{
    CheckStatus(phase, what, status, want);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    static const std::regex first("ISCSI (OK|WARNING|CRITICAL|UNKNOWN) - (.*)");
    std::smatch m;
    if (lines.empty() || !std::regex_match(lines[0], m, first)) {
        Fail(phase, what + ": the first line is " + (lines.empty() ? "missing" : "\"" + lines[0] + "\"") +
                        ", not \"ISCSI <STATE> - <summary> | <perfdata>\"");
        return;
    }
    const std::string state = m[1], rest = m[2];
    if (state != kStates[want])
        Fail(phase, what + " says " + state + ", expected " + kStates[want]);
    if (status && *status >= 0 && *status <= 3 && state != kStates[*status])
        Fail(phase, what + " says " + state + " but exits " + std::to_string(*status));
    CheckPerfdataText(phase, what, lines[0], rest, census);
    if (named != nullptr)
        CheckFindingLines(phase, what, lines, *named);
}

namespace {

// status, exit_code, summary and perfdata of --check --json.
void CheckVerdictHead(const std::string& phase, const std::string& what, const nlohmann::json& document,
                      std::optional<int> status, int want, const Census& census)
{
    if (Member(document, "status") != kStates[want])
        Fail(phase, what + ": status " + Text(Member(document, "status")) + ", expected " + kStates[want]);
    if (!Member(document, "exit_code").is_number_integer() ||
        (status && Member(document, "exit_code") != *status))
        Fail(phase, what + ": exit_code " + Text(Member(document, "exit_code")) + ", the run exited " +
                        (status ? std::to_string(*status) : "with no status"));
    if (!Member(document, "summary").is_string())
        Fail(phase, what + " has no summary");
    const nlohmann::json perfdata = Member(document, "perfdata");
    for (const auto& [key, count] : std::vector<std::pair<const char*, std::size_t>>{
             {"sessions", census.sessions},
             {"sessions_logged_in", census.loggedIn},
             {"luns", census.luns},
             {"paths", census.paths},
             {"paths_running", census.running}})
        if (!Member(perfdata, key).is_number_unsigned() || Member(perfdata, key) != count)
            Fail(phase, what + ": perfdata " + key + " is " + Text(Member(perfdata, key)) + ", the dumps show " +
                            std::to_string(count));
}

// What the findings array held: its worst severity (0 OK ... 2 CRITICAL)
// and whether the findings named demanded were there.
struct FindingsSeen {
    int worst = 0;
    bool session = false, lun = false;
};

// Each finding with a known rule and severity, worst first.
FindingsSeen CheckFindings(const std::string& phase, const std::string& what, const nlohmann::json& document,
                           const Named* named)
{
    const std::map<std::string, int> rank{{"OK", 0}, {"WARNING", 1}, {"CRITICAL", 2}};
    int previous = 2;
    FindingsSeen seen;
    for (const nlohmann::json& finding : Items(document, "findings")) {
        std::string severity = Text(Member(finding, "severity")), rule = Text(Member(finding, "rule"));
        std::string object = Text(Member(finding, "object")), message = Text(Member(finding, "message"));
        if (!Member(finding, "object").is_string() || !Member(finding, "message").is_string())
            Fail(phase, what + ": a finding without object or message: " + finding.dump());
        if (!kRules.count(rule))
            Fail(phase, what + ": a finding of no known rule: " + finding.dump());
        if (severity == "UNKNOWN")
            continue;
        if (!rank.count(severity)) {
            Fail(phase, what + ": a finding of no known severity: " + finding.dump());
            continue;
        }
        if (rank.at(severity) > previous)
            Fail(phase, what + ": a " + severity + " finding after a less severe one: not worst first");
        previous = rank.at(severity);
        seen.worst = std::max(seen.worst, rank.at(severity));
        const std::string names = object + " " + message;
        // The failed session's unit still runs through the other portal: the
        // session lost redundancy, no more.
        if (named && severity == "WARNING" && rule == "session-state" && NamesAll(names, named->session))
            seen.session = true;
        if (named && severity == "WARNING" && NamesAll(names, named->lun) &&
            NamesCount(names, named->running, named->paths))
            seen.lun = true;
    }
    return seen;
}

}  // namespace

// --check --json: status and exit code as the run ended, each finding with a
// known severity and rule, worst first, and perfdata that counts what the
// dumps show; once a portal is lost, a WARNING session-state finding for the
// failed session and a WARNING for the LUN, each naming them as the text must.
void CheckVerdictJson(const std::string& phase, const std::string& what, const std::string& text,
                      std::optional<int> status, int want, const Census& census, const Named* named)
{
    CheckStatus(phase, what, status, want);
    nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        Fail(phase, what + " is no JSON object");
        return;
    }
    CheckVerdictHead(phase, what, document, status, want, census);
    if (!Member(document, "findings").is_array())
        Fail(phase, what + " has no findings array");
    FindingsSeen seen = CheckFindings(phase, what, document, named);
    if (seen.worst > want)
        Fail(phase, what + " has a " + kStates[seen.worst] + " finding but says " + kStates[want]);
    if (want == 2 && seen.worst < 2)
        Fail(phase, what + " is CRITICAL without a CRITICAL finding");
    if (named && !seen.session)
        Fail(phase, what + " has no WARNING session-state finding naming " + Joined(named->session, " "));
    if (named && !seen.lun)
        Fail(phase, what + " has no WARNING finding naming " + Joined(named->lun, " ") + " with " +
                        std::to_string(named->running) + " of " + std::to_string(named->paths) + " paths running");
}

}  // namespace vmcheck
