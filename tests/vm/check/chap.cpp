// SPDX-License-Identifier: MIT
// The chap phase: a session logged in with mutual CHAP (after the target
// refused a wrong password and the initiator a target that did not know its
// password_in).  The dump, read as root, must hold both of its secrets;
// neither may appear in any other section (the text, --json, --sessions,
// --prometheus and facts outputs, the trace logs of the tool and of
// vm-chap-probe, iscsiadm), where each must show as "********" and a
// "(null)" as it is; --show-secrets must print the whole inventory with the
// secrets as they are; the probe's query must hand back the values sysfs
// holds (compared by hash); the facts script must leave no file; the tool's
// logs must have mode 600.
#include <regex>

#include "fnv1a.h"
#include "chap.h"
#include "phases.h"

namespace vmcheck {

const char kSecrets[] = "chap secrets";

namespace {

using Secrets = std::map<std::string, std::string>;  // password, password_in -> value

void ReadChapMarks(const std::vector<std::string>& marks, ChapFigures& figures)
{
    for (const std::string& mark : marks) {
        if (mark.rfind("CHAPSESSION ", 0) == 0)
            figures.session = mark.substr(12);
        if (mark.rfind("CHAPPED in ", 0) == 0)
            figures.seconds = mark.substr(11);
    }
}

// The target asks for CHAP, and the initiator checks the target's answer.
void CheckLogins(Sections& sections, const Statuses& statuses)
{
    auto status = [&](const std::string& key) {
        auto found = statuses.find("chap " + key);
        return found == statuses.end() ? -1 : found->second;
    };
    if (status("login") != 0)
        Fail(kSecrets, "the login with both right secrets did not succeed");
    // The target refuses a wrong secret as an authorization failure; the
    // initiator gives up on a target whose answer it cannot verify (the only
    // change from the login that succeeds).
    if (status("login-wrong-password") <= 0 ||
        sections["chap login-wrong-password"].find("authorization failure") == std::string::npos)
        Fail(kSecrets, "the target did not refuse a wrong password as an authorization failure");
    if (status("login-wrong-password-in") <= 0)
        Fail(kSecrets, "the initiator logged in to a target that did not know its password_in");
}

// The secrets, read independently: without them in sysfs nothing else
// could fail.  False when the dump does not show two distinct ones.
bool ReadSecrets(const Object& object, const std::string& session, Secrets& secrets)
{
    for (const char* name : {"password", "password_in", "username", "username_in", "state"}) {
        auto file = object.files.find(name);
        std::optional<std::string> value;
        if (file != object.files.end())
            value = Shown(file->second);
        if (!value || !IsSet(*value))
            Fail(kSecrets, "the dump shows no " + std::string(name) + " for " + session);
        else if (IsSecret(name))
            secrets[name] = *value;
    }
    if (Shown(object.files.count("state") ? object.files.at("state") : File{}).value_or("") != "LOGGED_IN")
        Fail(kSecrets, session + " is not LOGGED_IN in the dump");
    if (secrets.size() != 2 || secrets["password"] == secrets["password_in"] ||
        secrets["password"].find(kMask) != std::string::npos ||
        secrets["password_in"].find(kMask) != std::string::npos) {
        Fail(kSecrets, "the dump does not show two distinct secrets for " + session);
        return false;
    }
    return true;
}

// Nowhere but in the dumps and under --show-secrets.
void CheckNoLeaks(const Sections& sections, const std::vector<std::string>& marks, const Secrets& secrets,
                  const std::string& session)
{
    const std::set<std::string> allowed{"chap dump-before", "chap dump-after", "chap show-secrets"};
    for (const auto& [name, text] : sections) {
        if (allowed.count(name))
            continue;
        for (const auto& [secret, value] : secrets)
            if (text.find(value) != std::string::npos)
                Fail(kSecrets, "the " + secret + " of " + session + " appears in \"" + name + "\"");
    }
    for (const std::string& mark : marks)
        for (const auto& [secret, value] : secrets)
            if (mark.find(value) != std::string::npos)
                Fail(kSecrets, "the " + secret + " of " + session + " appears in a mark");
}

// "********" stands for them where the secrets would be; the facts script
// leaves no file behind.
void CheckMasks(Sections& sections, const Dump& before, const std::string& session, ChapFigures& figures)
{
    std::vector<Printed> text = ParseInventory(sections["chap inventory"], kSecrets, false);
    std::map<std::string, std::string> shown = Values(text, "NAME SESSION CLASS :: " + session);
    if (shown["password"] == kMask && shown["password_in"] == kMask)
        ++figures.masked;
    else
        Fail(kSecrets, "the inventory does not show both secrets of " + session + " as " + kMask);
    figures.masked += CheckJsonSecrets("the --json output", sections["chap json"], before, session);
    figures.masked += CheckJsonSecrets("the facts script", sections["chap fact"], before, session);
    figures.masked += CheckSessionsSecrets(sections["chap sessions"], before, session);
    for (const auto& [key, what] : std::vector<std::pair<std::string, std::string>>{
             {"chap log", "SysReader.log of the text run"},
             {"chap json-log", "SysReader.log of the --json run"},
             {"chap sessions-log", "SysReader.log of the --sessions run"},
             {"chap show-secrets-log", "SysReader.log of the --show-secrets run"},
             {"chap probe-log", "the probe's trace log"}})
        figures.masked += CheckTraceSecrets(what, sections[key], before, session) >= 2;
    // The metrics show no CHAP field: their run reads no secret at all.
    const std::string prometheusLog = sections["chap prometheus-log"];
    if (prometheusLog.find("\tpassword") != std::string::npos)
        Fail(kSecrets, "SysReader.log of the --prometheus run traces a secret it has no field for");
    std::istringstream left(sections["chap fact-files"]);
    std::string files;
    for (std::string file; left >> file;)
        files += " " + file;
    if (!files.empty())
        Fail(kSecrets, "the facts script left files behind:" + files);
}

// --show-secrets shows them as they are, so the masking is the tool's
// choice and not a value it could not read.
void CheckRevealed(Sections& sections, const Secrets& secrets, const std::string& session)
{
    std::map<std::string, std::string> revealed =
        Values(ParseInventory(sections["chap show-secrets"], kSecrets, false), "NAME SESSION CLASS :: " + session);
    for (const auto& [secret, value] : secrets)
        if (revealed[secret] != value)
            Fail(kSecrets, "--show-secrets does not show the " + secret + " of " + session);
}

// The probe's query hands the caller the secrets themselves.
void CheckProbe(Sections& sections, const Secrets& secrets, const std::string& session)
{
    std::istringstream probe(sections["chap probe"]);
    std::map<std::string, std::string> returned;
    std::string rc;
    for (std::string line; std::getline(probe, line);) {
        std::istringstream words(line);
        std::string tag = Word(words);
        if (tag == "rc")
            rc = Rest(words);
        else if (tag == "C") {
            std::string name = Word(words);
            returned[name] = Rest(words);
        }
    }
    if (rc != "0")
        Fail(kSecrets, "the probe's query of " + session + " returned \"" + rc + "\", not 0");
    for (const auto& [secret, value] : secrets)
        if (returned[secret] != Fnv1a64(value))
            Fail(kSecrets, "the probe's query did not return the " + secret + " that sysfs holds");
}

// The tool's logs are its owner's alone.
void CheckLogModes(Sections& sections)
{
    std::istringstream modes(sections["chap modes"]);
    int logs = 0;
    for (std::string line; std::getline(modes, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, std::regex("([0-7]+) (\\S+)")))
            Fail(kSecrets, "the modes of the logs: \"" + line + "\"");
        else if (++logs, m[1] != "600")
            Fail(kSecrets, m[2].str() + " has mode " + m[1].str() + ", not 600");
    }
    if (logs != 5)
        Fail(kSecrets, "the modes of " + std::to_string(logs) + " logs, not 5");
}

}  // namespace

void CheckChap(Sections& sections, const Statuses& statuses, const std::vector<std::string>& marks,
               ChapFigures& figures)
{
    if (!sections.count("chap inventory")) {
        Fail("chap", "no results");
        return;
    }
    ReadChapMarks(marks, figures);
    // The whole inventory as with the other phases, the secrets masked; with
    // --show-secrets the same inventory with the secrets as they are.
    CheckLoggedIn("chap", sections);
    Dump before = ParseDump(sections["chap dump-before"]);
    Dump after = ParseDump(sections["chap dump-after"]);
    CheckInventory("chap --show-secrets", Expected(before, after, true, false),
                   ParseInventory(sections["chap show-secrets"], "chap --show-secrets"));
    CheckLogins(sections, statuses);

    const std::string& session = figures.session;
    const Object* object = session.empty() ? nullptr : Find(before, "iscsi_session", session);
    if (object == nullptr) {
        Fail(kSecrets, "the dump shows no CHAP session (\"" + session + "\")");
        return;
    }
    Secrets secrets;
    if (!ReadSecrets(*object, session, secrets))
        return;
    CheckNoLeaks(sections, marks, secrets, session);
    CheckMasks(sections, before, session, figures);
    CheckRevealed(sections, secrets, session);
    CheckProbe(sections, secrets, session);
    CheckLogModes(sections);
}

}  // namespace vmcheck
