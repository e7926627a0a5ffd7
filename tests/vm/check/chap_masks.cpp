// SPDX-License-Identifier: MIT
// How the programs show CHAP secrets where they must hide them: in --json,
// the facts, --sessions and the trace logs, every session's set secret as
// "********" and an unset one as it is; the CHAP session's two secrets must
// be among those masked, or the output proves nothing.
#include <regex>

#include "chap.h"

namespace vmcheck {

namespace {

// A value a program showed for a secret attribute, quoted for a failure
// message: "(the secret)" when it is the set secret sysfs holds, so that a
// failure names a leak without spelling the secret out.
std::string Quote(const std::string& value, const Object* session, const std::string& name)
{
    const Files* files = session ? &session->files : nullptr;
    auto file = files ? files->find(name) : Files::const_iterator();
    std::optional<std::string> actual;
    if (files && file != files->end())
        actual = Shown(file->second);
    return actual && IsSet(*actual) && value == *actual ? "(the secret)" : "\"" + value + "\"";
}

}  // namespace

// Each line is checked against the session whose attribute query it belongs
// to ("Class device found: X" opens it).
int CheckTraceSecrets(const std::string& what, const std::string& log, const Dump& dump,
                      const std::string& chapSession)
{
    int masked = 0;
    std::string current;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        std::string message = line.substr(tab + 1);
        if (message.rfind("Class device found: ", 0) == 0) {
            current = message.substr(20);
            continue;
        }
        if (message.rfind("Leaving ", 0) == 0 || message.rfind("Entering ", 0) == 0) {
            current.clear();
            continue;
        }
        std::size_t colon = message.find(": ");
        if (colon == std::string::npos || !IsSecret(message.substr(0, colon)))
            continue;
        std::string name = message.substr(0, colon), value = message.substr(colon + 2);
        const Object* session = current.empty() ? nullptr : Find(dump, "iscsi_session", current);
        if (session == nullptr) {
            Fail(kSecrets, what + " traces " + name + " outside a session's attribute query");
            continue;
        }
        auto file = session->files.find(name);
        std::optional<std::string> want;
        if (file != session->files.end())
            want = Shown(name, file->second, true);
        if (!want || value != *want) {
            Fail(kSecrets, what + " traces the " + name + " of " + current + " as " + Quote(value, session, name) +
                               ", expected \"" + want.value_or("(no line)") + "\"");
        } else if (current == chapSession && value == kMask) {
            ++masked;
        }
    }
    if (masked < 2)
        Fail(kSecrets, what + " does not trace both secrets of " + chapSession + " as " + kMask);
    return masked;
}

bool CheckJsonSecrets(const std::string& what, const std::string& text, const Dump& dump,
                      const std::string& chapSession)
{
    nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object() || !document.contains("iscsi_session") ||
        !document["iscsi_session"].is_array()) {
        Fail(kSecrets, what + " is no JSON document with an iscsi_session array");
        return false;
    }
    int masked = 0;
    for (const auto& session : document["iscsi_session"]) {
        if (!session.is_object() || !session.contains("name") || !session["name"].is_string() ||
            !session.contains("attributes") || !session["attributes"].is_object())
            continue;
        std::string name = session["name"];
        const Object* object = Find(dump, "iscsi_session", name);
        if (object == nullptr)
            continue;
        for (const char* secret : {"password", "password_in"}) {
            auto file = object->files.find(secret);
            if (file == object->files.end())
                continue;
            std::optional<std::string> want = Shown(secret, file->second, true);
            const auto& attributes = session["attributes"];
            bool present = attributes.contains(secret) && attributes[secret].is_string();
            std::string got = present ? attributes[secret].get<std::string>() : "";
            if (want && (!present || got != *want))
                Fail(kSecrets, what + " shows the " + secret + " of " + name + " as " +
                                   (!present ? std::string("nothing") : Quote(got, object, secret)) +
                                   ", expected \"" + *want + "\"");
            else if (name == chapSession && got == kMask)
                ++masked;
        }
    }
    if (masked < 2)
        Fail(kSecrets, what + " does not show both secrets of " + chapSession + " as " + kMask);
    return masked == 2;
}

// A set secret masked, an unset one (empty, "(null)") as "<empty>", a
// missing one as "<unknown>".
bool CheckSessionsSecrets(const std::string& text, const Dump& dump, const std::string& chapSession)
{
    static const std::regex target("Target: .* \\((\\S+)\\)");
    static const std::regex secret("\t\t(password|password_in): (.*)");
    std::string current;
    int masked = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, target)) {
            current = m[1];
            continue;
        }
        if (!std::regex_match(line, m, secret))
            continue;
        std::string name = m[1], value = m[2];
        const Object* session = current.empty() ? nullptr : Find(dump, "iscsi_session", current);
        if (session == nullptr) {
            Fail(kSecrets, "the --sessions output shows a " + name + " outside a session's block");
            continue;
        }
        auto file = session->files.find(name);
        std::string want = "<unknown>";
        if (file != session->files.end()) {
            want = Shown(name, file->second, true).value_or("");
            if (!IsSet(want))
                want = "<empty>";
        }
        if (value != want)
            Fail(kSecrets, "the --sessions output shows the " + name + " of " + current + " as " +
                               Quote(value, session, name) + ", expected \"" + want + "\"");
        else if (current == chapSession && value == kMask)
            ++masked;
    }
    if (masked != 2)
        Fail(kSecrets, "the --sessions output does not show both secrets of " + chapSession + " as " + kMask);
    return masked == 2;
}

}  // namespace vmcheck
