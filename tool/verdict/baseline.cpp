// SPDX-License-Identifier: MIT
#include "verdict/baseline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "base/trusted_path.h"
#include "base/unique_fd.h"
#include "json/json_read.h"
#include "json/json_string.h"
#include "json/json_value.h"
#include "files/write_file.h"

namespace inventory {

namespace {

using base::UniqueFd;

constexpr const char* kFormatVersion = "1.0";
constexpr const char* kKeyParts[] = {"target", "portal", "iface"};

std::optional<std::string>& Part(SessionKey& key, std::size_t i)
{
    return i == 0 ? key.target : i == 1 ? key.portal : key.iface;
}

const std::optional<std::string>& Part(const SessionKey& key, std::size_t i)
{
    return i == 0 ? key.target : i == 1 ? key.portal : key.iface;
}

Json KeyJson(const SessionKey& key)
{
    Json object = Json::Object();
    for (std::size_t i = 0; i < std::size(kKeyParts); ++i) {
        const std::optional<std::string>& part = Part(key, i);
        object.Add(kKeyParts[i], part ? Json(Carry(*part)) : Json());
    }
    return object;
}

// Reading the document's shape, with where in it a fault lies.
class Shape {
public:
    explicit Shape(std::string& why) : m_why(why) {}

    bool Fail(const std::string& where, const std::string& what)
    {
        m_why = where + ": " + what;
        return false;
    }

    const Json* Member(const Json& object, const std::string& where, const char* key)
    {
        const Json* member = object.Find(key);
        if (member == nullptr)
            Fail(where.empty() ? std::string(key) : where, std::string("no member \"") + key + "\"");
        return member;
    }

    // A carried string: the bytes it stands for.
    bool Bytes(const Json& value, const std::string& where, std::string& bytes)
    {
        if (value.Type() != Json::Kind::String)
            return Fail(where, "expected a string");
        std::optional<std::string> uncarried = Uncarry(value.Text());
        if (!uncarried)
            return Fail(where, "a backslash that starts neither \\\\ nor \\xHH");
        bytes = std::move(*uncarried);
        return true;
    }

    bool Key(const Json& value, const std::string& where, SessionKey& key)
    {
        if (value.Type() != Json::Kind::Object)
            return Fail(where, "expected an object with \"target\", \"portal\" and \"iface\"");
        for (std::size_t i = 0; i < std::size(kKeyParts); ++i) {
            const std::string at = where + "." + kKeyParts[i];
            const Json* part = Member(value, where, kKeyParts[i]);
            if (part == nullptr)
                return false;
            if (part->IsNull())
                continue;
            if (part->Type() != Json::Kind::String)
                return Fail(at, "expected a string or null");
            if (!Bytes(*part, at, Part(key, i).emplace()))
                return false;
        }
        return true;
    }

    const Json* Array(const Json& object, const char* key)
    {
        const Json* array = Member(object, "", key);
        if (array != nullptr && array->Type() != Json::Kind::Array) {
            Fail(key, "expected an array");
            return nullptr;
        }
        return array;
    }

private:
    std::string& m_why;
};

bool VersionRead(const std::string& version)
{
    // Any 1.x: a later minor version only adds members, which are passed over.
    if (version == "1")
        return true;
    return version.size() > 2 && version.compare(0, 2, "1.") == 0 &&
           version.find_first_not_of("0123456789", 2) == std::string::npos;
}

}  // namespace

bool operator<(const SessionKey& a, const SessionKey& b)
{
    return std::tie(a.target, a.portal, a.iface) < std::tie(b.target, b.portal, b.iface);
}

bool operator==(const SessionKey& a, const SessionKey& b)
{
    return std::tie(a.target, a.portal, a.iface) == std::tie(b.target, b.portal, b.iface);
}

Baseline BaselineOf(const std::vector<SessionBrief>& sessions, const std::vector<LunRecord>& luns)
{
    Baseline baseline;
    for (const SessionBrief& session : sessions)
        baseline.sessions.push_back({session.target, session.portal, session.iface});
    std::sort(baseline.sessions.begin(), baseline.sessions.end());
    for (const LunRecord& lun : luns) {
        if (!lun.wwid)
            continue;
        BaselineLun& entry = baseline.luns.emplace_back();
        entry.wwid = *lun.wwid;
        for (const PathRecord& path : lun.paths)
            entry.via.push_back({path.target, path.portal, path.iface});
        std::sort(entry.via.begin(), entry.via.end());
    }
    std::sort(baseline.luns.begin(), baseline.luns.end(),
              [](const BaselineLun& a, const BaselineLun& b) { return a.wwid < b.wwid; });
    return baseline;
}

std::string BaselineDocument(const Baseline& baseline)
{
    Json document = Json::Object();
    document.Add("format_version", kFormatVersion);
    Json sessions = Json::Array();
    for (const SessionKey& key : baseline.sessions)
        sessions.PushBack(KeyJson(key));
    document.Add("sessions", std::move(sessions));
    Json luns = Json::Array();
    for (const BaselineLun& lun : baseline.luns) {
        Json entry = Json::Object();
        entry.Add("wwid", Carry(lun.wwid));
        entry.Add("paths", Json(static_cast<std::uint64_t>(lun.via.size())));
        Json via = Json::Array();
        for (const SessionKey& key : lun.via)
            via.PushBack(KeyJson(key));
        entry.Add("via", std::move(via));
        luns.PushBack(std::move(entry));
    }
    document.Add("luns", std::move(luns));
    return document.Dump() + "\n";
}

bool ParseBaseline(std::string_view text, Baseline& baseline, std::string& why)
{
    JsonLimits limits;
    limits.maxBytes = kMaxBaselineBytes;
    JsonReading reading = ReadJson(text, limits);
    if (!reading.value) {
        why = reading.message;
        return false;
    }
    const Json& document = *reading.value;
    Shape shape(why);
    if (document.Type() != Json::Kind::Object)
        return shape.Fail("the document", "expected an object");
    const Json* version = shape.Member(document, "", "format_version");
    if (version == nullptr)
        return false;
    if (version->Type() != Json::Kind::String)
        return shape.Fail("format_version", "expected a string");
    if (!VersionRead(version->Text()))
        return shape.Fail("format_version", "\"" + Carry(version->Text()) +
                                                "\" is not a version this program reads (1.x)");
    const Json* sessions = shape.Array(document, "sessions");
    const Json* luns = sessions ? shape.Array(document, "luns") : nullptr;
    if (luns == nullptr)
        return false;

    Baseline read;
    const std::vector<Json>& sessionList = sessions->Elements();
    for (std::size_t i = 0; i < sessionList.size(); ++i)
        if (!shape.Key(sessionList[i], "sessions[" + std::to_string(i) + "]",
                       read.sessions.emplace_back()))
            return false;
    std::set<std::string> wwids;
    const std::vector<Json>& lunList = luns->Elements();
    for (std::size_t i = 0; i < lunList.size(); ++i) {
        const std::string where = "luns[" + std::to_string(i) + "]";
        const Json& entry = lunList[i];
        if (entry.Type() != Json::Kind::Object)
            return shape.Fail(where, "expected an object with \"wwid\", \"paths\" and \"via\"");
        const Json* wwid = shape.Member(entry, where, "wwid");
        const Json* paths = wwid ? shape.Member(entry, where, "paths") : nullptr;
        const Json* via = paths ? shape.Member(entry, where, "via") : nullptr;
        if (via == nullptr)
            return false;
        BaselineLun& lun = read.luns.emplace_back();
        if (!shape.Bytes(*wwid, where + ".wwid", lun.wwid))
            return false;
        if (lun.wwid.empty())
            return shape.Fail(where + ".wwid", "empty");
        if (!wwids.insert(lun.wwid).second)
            return shape.Fail(where + ".wwid", "\"" + Carry(lun.wwid) + "\" comes twice");
        if (paths->Type() != Json::Kind::Number)
            return shape.Fail(where + ".paths", "expected a number");
        if (via->Type() != Json::Kind::Array)
            return shape.Fail(where + ".via", "expected an array");
        const std::vector<Json>& viaList = via->Elements();
        if (paths->Number() != viaList.size())
            return shape.Fail(where + ".paths", std::to_string(paths->Number()) + " where \"via\" names " +
                                                    std::to_string(viaList.size()));
        for (std::size_t j = 0; j < viaList.size(); ++j)
            if (!shape.Key(viaList[j], where + ".via[" + std::to_string(j) + "]",
                           lun.via.emplace_back()))
                return false;
    }
    baseline = std::move(read);
    return true;
}

bool LoadBaseline(const std::string& path, Baseline& baseline, std::string& why, bool* absent)
{
    // What the baseline says decides what the check calls a loss: no one but
    // root and the user running may choose it.  Refused, it is never opened,
    // so nothing of it reaches the output.
    base::PathEnd end;
    auto gone = [absent](int error) {
        if (absent != nullptr)
            *absent = error == ENOENT || error == ENOTDIR;
    };
    if (int error = base::WalkPath(path, base::PathTrust::Content, true, end, why)) {
        gone(error);
        if (why.empty())
            why = std::strerror(error);
        return false;
    }
    // Non-blocking: a FIFO or a device at the name is refused below, never
    // waited on.
    UniqueFd file(openat(end.directory.Get(), end.name.c_str(),
                         O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    struct stat status;
    if (!file || fstat(file.Get(), &status) != 0) {
        gone(errno);
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        why = "not a regular file";
        return false;
    }
    why = base::DistrustFile(status);
    if (!why.empty())
        return false;
    const std::string tooLarge = "larger than " + std::to_string(kMaxBaselineBytes) + " bytes";
    if (static_cast<std::uint64_t>(status.st_size) > kMaxBaselineBytes) {
        why = tooLarge;
        return false;
    }
    // Read to the end, which may have moved since fstat, but never past the
    // limit.
    std::string text(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t length = 0;
    for (;;) {
        if (length == text.size()) {
            if (text.size() > kMaxBaselineBytes) {
                why = tooLarge;
                return false;
            }
            text.resize(std::min(text.size() * 2, kMaxBaselineBytes + 1));
        }
        const ssize_t got = read(file.Get(), &text[length], text.size() - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            why = std::strerror(errno);
            return false;
        }
        if (got == 0)
            break;
        length += static_cast<std::size_t>(got);
    }
    text.resize(length);
    if (!ParseBaseline(text, baseline, why)) {
        why = "not a baseline: " + why;
        return false;
    }
    return true;
}

int SaveBaseline(const std::string& path, const Baseline& baseline, std::string& why)
{
    const std::string document = BaselineDocument(baseline);
    if (document.size() > kMaxBaselineBytes) {
        why = "the baseline would be larger than the " + std::to_string(kMaxBaselineBytes) +
              " bytes a check reads";
        return EFBIG;
    }
    return WriteFile(
        path, 0644, base::PathTrust::Content,
        [&](const PieceWriter& write) {
            write(document);
            return 0;
        },
        why);
}

namespace {

using KeyCounts = std::map<SessionKey, std::size_t>;

KeyCounts CountKeys(const std::vector<SessionKey>& keys)
{
    KeyCounts counts;
    for (const SessionKey& key : keys)
        ++counts[key];
    return counts;
}

std::map<std::string, KeyCounts> CountPaths(const Baseline& baseline)
{
    std::map<std::string, KeyCounts> paths;
    for (const BaselineLun& lun : baseline.luns)
        paths[lun.wwid] = CountKeys(lun.via);
    return paths;
}

// Each key as many times as the more of the two counts it; in key order.
std::vector<SessionKey> MostOfEach(const KeyCounts& a, const KeyCounts& b)
{
    KeyCounts most = a;
    for (const auto& [key, count] : b)
        most[key] = std::max(most[key], count);
    std::vector<SessionKey> keys;
    for (const auto& [key, count] : most)
        keys.insert(keys.end(), count, key);
    return keys;
}

// How many more times a counts each key than b.
std::size_t Surplus(const KeyCounts& a, const KeyCounts& b)
{
    std::size_t surplus = 0;
    for (const auto& [key, count] : a) {
        auto found = b.find(key);
        const std::size_t other = found == b.end() ? 0 : found->second;
        surplus += count > other ? count - other : 0;
    }
    return surplus;
}

}  // namespace

Baseline MergedBaseline(const Baseline& expected, const Baseline& current)
{
    Baseline merged;
    merged.sessions = MostOfEach(CountKeys(expected.sessions), CountKeys(current.sessions));
    std::map<std::string, KeyCounts> paths = CountPaths(expected);
    for (auto& [wwid, counts] : CountPaths(current))
        paths[wwid] = CountKeys(MostOfEach(paths[wwid], counts));
    for (const auto& [wwid, counts] : paths)
        merged.luns.push_back({wwid, MostOfEach(counts, {})});
    return merged;
}

BaselineKept KeptFrom(const Baseline& merged, const Baseline& current)
{
    BaselineKept kept;
    kept.sessions = Surplus(CountKeys(merged.sessions), CountKeys(current.sessions));
    const std::map<std::string, KeyCounts> now = CountPaths(current);
    for (const auto& [wwid, counts] : CountPaths(merged)) {
        auto found = now.find(wwid);
        kept.paths += Surplus(counts, found == now.end() ? KeyCounts() : found->second);
    }
    return kept;
}

bool BaselineScope::Takes(const SessionKey& key) const
{
    if (!targets.empty() &&
        (!key.target || std::find(targets.begin(), targets.end(), *key.target) == targets.end()))
        return false;
    return !sessions || std::find(sessions->begin(), sessions->end(), key) != sessions->end();
}

std::vector<BaselineDifference> CompareBaseline(const Baseline& expected, const Baseline& current,
                                                const BaselineScope& scope)
{
    using Kind = BaselineDifference::Kind;
    std::vector<BaselineDifference> differences;

    // Sessions, counted per key: two sessions may share one.
    std::map<SessionKey, std::pair<std::size_t, std::size_t>> sessions;  // expected, found
    for (const SessionKey& key : expected.sessions)
        if (scope.Takes(key))
            ++sessions[key].first;
    for (const SessionKey& key : current.sessions)
        if (scope.Takes(key))
            ++sessions[key].second;
    for (const auto& [key, counts] : sessions) {
        if (counts.first == counts.second)
            continue;
        BaselineDifference& difference = differences.emplace_back();
        difference.kind = counts.first > counts.second ? Kind::SessionMissing : Kind::SessionExtra;
        difference.session = key;
        difference.expected = counts.first;
        difference.found = counts.second;
    }

    // LUNs, by the paths the scope takes.
    std::map<std::string, std::pair<std::size_t, std::size_t>> luns;  // expected, found
    auto count = [&](const Baseline& baseline, bool found) {
        for (const BaselineLun& lun : baseline.luns) {
            const std::size_t paths = static_cast<std::size_t>(
                std::count_if(lun.via.begin(), lun.via.end(),
                              [&](const SessionKey& key) { return scope.Takes(key); }));
            if (paths != 0)
                (found ? luns[lun.wwid].second : luns[lun.wwid].first) += paths;
        }
    };
    count(expected, false);
    count(current, true);
    for (const auto& [wwid, counts] : luns) {
        if (counts.first == counts.second)
            continue;
        BaselineDifference& difference = differences.emplace_back();
        difference.kind = counts.second == 0             ? Kind::LunMissing
                          : counts.second < counts.first ? Kind::LunFewerPaths
                                                         : Kind::LunMorePaths;
        difference.wwid = wwid;
        difference.expected = counts.first;
        difference.found = counts.second;
    }
    return differences;
}

}  // namespace inventory
