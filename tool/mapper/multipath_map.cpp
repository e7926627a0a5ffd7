// SPDX-License-Identifier: MIT
#include "mapper/multipath_map.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <utility>

namespace inventory::mapper {

namespace {

// The words of one params string, read in order.  Every count the kernel
// writes announces how many words follow; a reader that fails keeps the
// first reason and reads nothing more.
class Words {
public:
    Words(std::string_view text, const char* which) : which_(which)
    {
        constexpr std::string_view kSpace = " \t\n";
        for (std::size_t at = text.find_first_not_of(kSpace); at != std::string_view::npos;) {
            const std::size_t end = text.find_first_of(kSpace, at);
            words_.push_back(text.substr(at, end == std::string_view::npos ? end : end - at));
            at = end == std::string_view::npos ? end : text.find_first_not_of(kSpace, end);
        }
    }

    const std::string& Error() const { return error_; }

    bool Fail(const std::string& reason)
    {
        if (error_.empty())
            error_ = std::string(which_) + ": " + reason;
        return false;
    }

    bool Word(std::string_view& word, const std::string& what)
    {
        if (next_ == words_.size())
            return Fail("ends before " + what);
        word = words_[next_++];
        return true;
    }

    bool Number(unsigned& value, const std::string& what)
    {
        std::string_view word;
        if (!Word(word, what))
            return false;
        if (!ToNumber(word, value))
            return Fail(what + " '" + std::string(word) + "' is not a number");
        return true;
    }

    // Reads a count, then that many words.  A count larger than what is
    // left is refused before anything is read after it.
    bool Counted(std::vector<std::string>& out, const std::string& what)
    {
        unsigned count = 0;
        if (!Number(count, what + " count"))
            return false;
        return Several(count, out, what);
    }

    bool Several(unsigned count, std::vector<std::string>& out, const std::string& what)
    {
        if (count > words_.size() - next_)
            return Fail(what + " count " + std::to_string(count) + " runs past the end");
        out.assign(words_.begin() + static_cast<std::ptrdiff_t>(next_),
                   words_.begin() + static_cast<std::ptrdiff_t>(next_ + count));
        next_ += count;
        return true;
    }

    // A block device as the device-mapper names it: major:minor, decimal.
    bool Device(unsigned& major, unsigned& minor, const std::string& what)
    {
        std::string_view word;
        if (!Word(word, what))
            return false;
        const std::size_t colon = word.find(':');
        if (colon == std::string_view::npos || !ToNumber(word.substr(0, colon), major) ||
            !ToNumber(word.substr(colon + 1), minor))
            return Fail(what + " '" + std::string(word) + "' is not major:minor");
        return true;
    }

    // One letter of those allowed ("AED").
    bool Letter(char& letter, std::string_view allowed, const std::string& what)
    {
        std::string_view word;
        if (!Word(word, what))
            return false;
        if (word.size() != 1 || allowed.find(word[0]) == std::string_view::npos) {
            std::string letters;
            for (char each : allowed)
                letters += letters.empty() ? std::string(1, each) : std::string(", ") + each;
            return Fail(what + " '" + std::string(word) + "' is not one of " + letters);
        }
        letter = word[0];
        return true;
    }

    bool End()
    {
        if (next_ == words_.size())
            return true;
        return Fail(std::to_string(words_.size() - next_) + " word(s) left over after the last group, from '" +
                    std::string(words_[next_]) + "'");
    }

    // Decimal digits only, as the kernel prints an unsigned: no sign, no
    // space, nothing that does not fit.
    static bool ToNumber(std::string_view word, unsigned& value)
    {
        if (word.empty() || word.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
        return error == std::errc() && end == word.data() + word.size();
    }

private:
    std::vector<std::string_view> words_;
    std::size_t next_ = 0;
    const char* which_;
    std::string error_;
};

std::string GroupName(unsigned group)
{
    return "group " + std::to_string(group);
}

std::string PathName(unsigned group, unsigned path)
{
    return GroupName(group) + " path " + std::to_string(path);
}

// num_features [feature]* num_handler_args [handler [handler_arg]*]
// num_groups next_group, then per group: selector num_selector_args
// [selector_arg]* num_paths num_path_args, then per path: major:minor
// [path_arg]*num_path_args.
bool ReadTable(Words& words, MultipathMap& map)
{
    if (!words.Counted(map.features, "feature"))
        return false;
    map.queueIfNoPath = std::find(map.features.begin(), map.features.end(), "queue_if_no_path") != map.features.end();

    unsigned handlerCount = 0;
    if (!words.Number(handlerCount, "handler count"))
        return false;
    if (handlerCount > 0) {
        std::string_view handler;
        if (!words.Word(handler, "the handler") || !words.Several(handlerCount - 1, map.handlerArgs, "handler"))
            return false;
        map.hardwareHandler = handler;
    }

    unsigned groupCount = 0;
    unsigned nextGroup = 0;  // the status gives the one in use
    if (!words.Number(groupCount, "group count") || !words.Number(nextGroup, "next group"))
        return false;
    for (unsigned g = 1; g <= groupCount; ++g) {
        PathGroup group;
        std::string_view name;
        std::vector<std::string> selectorArgs;
        if (!words.Word(name, GroupName(g) + " selector") ||
            !words.Counted(selectorArgs, GroupName(g) + " selector argument"))
            return false;
        group.selector = std::string(name) + " " + std::to_string(selectorArgs.size());
        for (const std::string& arg : selectorArgs)
            group.selector += " " + arg;

        unsigned pathCount = 0;
        unsigned pathArgs = 0;
        if (!words.Number(pathCount, GroupName(g) + " path count") ||
            !words.Number(pathArgs, GroupName(g) + " path argument count"))
            return false;
        for (unsigned p = 1; p <= pathCount; ++p) {
            MapPath path;
            if (!words.Device(path.major, path.minor, PathName(g, p)) ||
                !words.Several(pathArgs, path.selectorArgs, PathName(g, p) + " argument"))
                return false;
            group.paths.push_back(std::move(path));
        }
        map.groups.push_back(std::move(group));
    }
    return words.End();
}

// num_features [feature]* num_handler_status [handler_status]*
// num_groups next_group, then per group: A|E|D num_group_status
// [group_status]* num_paths num_path_status, then per path: major:minor A|F
// fail_count [path_status]*num_path_status.
bool ReadStatus(Words& words, MultipathMap& map)
{
    std::vector<std::string> features;
    if (!words.Counted(features, "feature"))
        return false;
    // The kernel writes two numbers here; another layout is not guessed at.
    if (features.size() == 2) {
        unsigned queueIo = 0;
        unsigned pgInitCount = 0;
        if (!Words::ToNumber(features[0], queueIo) || !Words::ToNumber(features[1], pgInitCount))
            return words.Fail("features '" + features[0] + " " + features[1] + "' are not two numbers");
        map.queueIo = queueIo;
        map.pgInitCount = pgInitCount;
    }

    std::vector<std::string> handlerStatus;
    unsigned groupCount = 0;
    if (!words.Counted(handlerStatus, "handler status") || !words.Number(groupCount, "group count") ||
        !words.Number(map.nextGroup, "next group"))
        return false;
    for (unsigned g = 1; g <= groupCount; ++g) {
        PathGroup group;
        std::vector<std::string> groupStatus;
        unsigned pathCount = 0;
        unsigned pathStatus = 0;
        if (!words.Letter(group.state, "AED", GroupName(g) + " state") ||
            !words.Counted(groupStatus, GroupName(g) + " selector status") ||
            !words.Number(pathCount, GroupName(g) + " path count") ||
            !words.Number(pathStatus, GroupName(g) + " path status count"))
            return false;
        for (unsigned p = 1; p <= pathCount; ++p) {
            MapPath path;
            char state = 0;
            if (!words.Device(path.major, path.minor, PathName(g, p)) ||
                !words.Letter(state, "AF", PathName(g, p) + " state") ||
                !words.Number(path.failCount, PathName(g, p) + " fail count") ||
                !words.Several(pathStatus, path.selectorStatus, PathName(g, p) + " status"))
                return false;
            path.active = state == 'A';
            group.paths.push_back(std::move(path));
        }
        map.groups.push_back(std::move(group));
    }
    if (!words.End())
        return false;
    // Older kernels say group 1 of none.
    if (groupCount == 0 ? map.nextGroup > 1 : map.nextGroup < 1 || map.nextGroup > groupCount)
        return words.Fail("next group " + std::to_string(map.nextGroup) + " is none of its " +
                          std::to_string(groupCount) + " groups");
    if (groupCount == 0)
        map.nextGroup = 0;
    return true;
}

std::string Device(const MapPath& path)
{
    return std::to_string(path.major) + ":" + std::to_string(path.minor);
}

// The status's groups and paths must be the table's: a map reloaded between
// the two reads is no map to report.
std::string Disagreement(const MultipathMap& table, const MultipathMap& status)
{
    const std::string prefix = "table and status disagree: ";
    if (table.groups.size() != status.groups.size())
        return prefix + std::to_string(table.groups.size()) + " groups against " +
               std::to_string(status.groups.size());
    for (std::size_t g = 0; g < table.groups.size(); ++g) {
        const std::vector<MapPath>& tablePaths = table.groups[g].paths;
        const std::vector<MapPath>& statusPaths = status.groups[g].paths;
        if (tablePaths.size() != statusPaths.size())
            return prefix + GroupName(static_cast<unsigned>(g + 1)) + " has " + std::to_string(tablePaths.size()) +
                   " paths against " + std::to_string(statusPaths.size());
        for (std::size_t p = 0; p < tablePaths.size(); ++p) {
            if (Device(tablePaths[p]) != Device(statusPaths[p]))
                return prefix + PathName(static_cast<unsigned>(g + 1), static_cast<unsigned>(p + 1)) + " is " +
                       Device(tablePaths[p]) + " against " + Device(statusPaths[p]);
        }
    }
    return {};
}

}  // namespace

const char* GroupStateName(char state)
{
    switch (state) {
    case 'A': return "active";
    case 'E': return "enabled";
    case 'D': return "disabled";
    default: break;
    }
    return "unknown";
}

MapParse ParseMultipathMap(std::string_view table, std::string_view status)
{
    MultipathMap map;
    Words tableWords(table, "table");
    if (!ReadTable(tableWords, map))
        return {std::nullopt, tableWords.Error()};
    MultipathMap live;
    Words statusWords(status, "status");
    if (!ReadStatus(statusWords, live))
        return {std::nullopt, statusWords.Error()};
    if (std::string disagreement = Disagreement(map, live); !disagreement.empty())
        return {std::nullopt, std::move(disagreement)};

    map.nextGroup = live.nextGroup;
    map.queueIo = live.queueIo;
    map.pgInitCount = live.pgInitCount;
    for (std::size_t g = 0; g < map.groups.size(); ++g) {
        map.groups[g].state = live.groups[g].state;
        for (std::size_t p = 0; p < map.groups[g].paths.size(); ++p) {
            MapPath& path = map.groups[g].paths[p];
            MapPath& seen = live.groups[g].paths[p];
            path.active = seen.active;
            path.failCount = seen.failCount;
            path.selectorStatus = std::move(seen.selectorStatus);
        }
    }
    return {std::move(map), {}};
}

}  // namespace inventory::mapper
