// SPDX-License-Identifier: MIT
// A multipath map as dmsetup table and dmsetup status print it, read in the
// kernel's words, and added to the LUN it holds: which path the
// device-mapper has failed is known only there, while the SCSI device may
// still say running.
#include "outputs.h"

namespace vmcheck {

namespace {

// The words of one line of dmsetup output after "START LENGTH multipath";
// the first fault is kept and nothing is read after it.
class Params {
public:
    Params(const std::string& text, const std::string& which) : which_(which)
    {
        std::istringstream in(text);
        for (std::string word; in >> word;)
            words_.push_back(word);
        if (words_.size() < 3 || !Number(words_[0]) || !Number(words_[1]) || words_[2] != "multipath")
            Fail(text.empty() ? std::string("no output")
                              : "\"" + text.substr(0, text.find('\n')) + "\" is no multipath target");
        at_ = 3;
    }

    bool Fail(const std::string& reason)
    {
        if (error_.empty())
            error_ = which_ + ": " + reason;
        return false;
    }
    const std::string& Error() const { return error_; }

    bool Word(std::string& word, const std::string& what)
    {
        if (!error_.empty())
            return false;
        if (at_ == words_.size())
            return Fail("ends before " + what);
        word = words_[at_++];
        return true;
    }

    bool Count(std::uint64_t& value, const std::string& what)
    {
        std::string word;
        if (!Word(word, what))
            return false;
        if (!Number(word))
            return Fail(what + " \"" + word + "\" is no number");
        value = std::stoull(word);
        return true;
    }

    // A count, then that many words.
    bool Counted(std::vector<std::string>& words, const std::string& what)
    {
        std::uint64_t count = 0;
        if (!Count(count, what + " count"))
            return false;
        words.clear();
        for (std::uint64_t i = 0; i < count; ++i) {
            std::string word;
            if (!Word(word, what))
                return false;
            words.push_back(word);
        }
        return true;
    }

    bool End()
    {
        if (!error_.empty())
            return false;
        return at_ == words_.size() || Fail("\"" + words_[at_] + "\" after the last path");
    }

private:
    static bool Number(const std::string& word)
    {
        return !word.empty() && word.size() < 20 && word.find_first_not_of("0123456789") == std::string::npos;
    }

    std::vector<std::string> words_;
    std::size_t at_ = 0;
    std::string which_, error_;
};

std::string GroupName(std::size_t g)
{
    return "group " + std::to_string(g + 1);
}

std::string PathName(std::size_t g, std::size_t p)
{
    return GroupName(g) + " path " + std::to_string(p + 1);
}

// #features features... #handler_args [handler args...] #groups next_group,
// per group: selector #selector_args args... #paths #path_args, per path:
// major:minor args...
bool ReadTable(Params& table, DmMap& map)
{
    std::uint64_t groups = 0, next = 0;
    if (!table.Counted(map.features, "feature") || !table.Counted(map.handler, "handler") ||
        !table.Count(groups, "group count") || !table.Count(next, "next group"))
        return false;
    for (std::size_t g = 0; g < groups; ++g) {
        DmGroup& group = map.groups.emplace_back();
        std::vector<std::string> args;
        std::uint64_t paths = 0, pathArgs = 0;
        if (!table.Word(group.selector, GroupName(g) + " selector") ||
            !table.Counted(args, GroupName(g) + " selector argument") ||
            !table.Count(paths, GroupName(g) + " path count") ||
            !table.Count(pathArgs, GroupName(g) + " path argument count"))
            return false;
        group.selector += " " + std::to_string(args.size());
        for (const std::string& arg : args)
            group.selector += " " + arg;
        for (std::size_t p = 0; p < paths; ++p) {
            DmPath& path = group.paths.emplace_back();
            std::string skipped;
            if (!table.Word(path.dev, PathName(g, p)))
                return false;
            for (std::uint64_t i = 0; i < pathArgs; ++i)
                if (!table.Word(skipped, PathName(g, p) + " argument"))
                    return false;
        }
    }
    return table.End();
}

// #features features... #handler_status status... #groups next_group, per
// group: A|E|D #selector_status status... #paths #path_status, per path:
// major:minor A|F fail_count status...  The groups and paths are the
// table's, in its order.
bool ReadStatus(Params& status, DmMap& map)
{
    std::vector<std::string> skipped;
    std::uint64_t groups = 0, next = 0;
    if (!status.Counted(skipped, "feature") || !status.Counted(skipped, "handler status") ||
        !status.Count(groups, "group count") || !status.Count(next, "next group"))
        return false;
    if (groups != map.groups.size())
        return status.Fail(std::to_string(groups) + " groups, the table has " + std::to_string(map.groups.size()));
    for (std::size_t g = 0; g < groups; ++g) {
        DmGroup& group = map.groups[g];
        std::string state;
        std::uint64_t paths = 0, pathStatus = 0;
        if (!status.Word(state, GroupName(g) + " state") ||
            !status.Counted(skipped, GroupName(g) + " selector status") ||
            !status.Count(paths, GroupName(g) + " path count") ||
            !status.Count(pathStatus, GroupName(g) + " path status count"))
            return false;
        if (state != "A" && state != "E" && state != "D")
            return status.Fail(GroupName(g) + ": state \"" + state + "\" is none of A, E, D");
        group.state = state[0];
        if (paths != group.paths.size())
            return status.Fail(GroupName(g) + ": " + std::to_string(paths) + " paths, the table has " +
                               std::to_string(group.paths.size()));
        for (std::size_t p = 0; p < paths; ++p) {
            DmPath& path = group.paths[p];
            std::string dev, word;
            if (!status.Word(dev, PathName(g, p)) || !status.Word(word, PathName(g, p) + " state") ||
                !status.Count(path.failCount, PathName(g, p) + " fail count"))
                return false;
            if (dev != path.dev)
                return status.Fail(PathName(g, p) + " is " + dev + ", the table's " + path.dev);
            if (word != "A" && word != "F")
                return status.Fail(PathName(g, p) + ": state \"" + word + "\" is neither A nor F");
            path.active = word == "A";
            for (std::uint64_t i = 0; i < pathStatus; ++i)
                if (!status.Word(word, PathName(g, p) + " status"))
                    return false;
        }
    }
    return status.End();
}

}  // namespace

std::optional<DmMap> ParseDmMap(const std::string& table, const std::string& status, std::string& error)
{
    DmMap map;
    Params tableWords(table, "dmsetup table"), statusWords(status, "dmsetup status");
    if (!ReadTable(tableWords, map)) {
        error = tableWords.Error();
        return std::nullopt;
    }
    if (!ReadStatus(statusWords, map)) {
        error = statusWords.Error();
        return std::nullopt;
    }
    return map;
}

void AddMapStates(const std::string& phase, const std::string& what, const std::string& table,
                  const std::string& status, LunFacts& lun)
{
    std::string error;
    std::optional<DmMap> map = ParseDmMap(table, status, error);
    if (!map) {
        Fail(phase, what + ": " + error);
        return;
    }
    for (PathFacts& path : lun.paths) {
        path.dm = PathFacts::MapState{};
        for (std::size_t g = 0; g < map->groups.size(); ++g)
            for (const DmPath& in : map->groups[g].paths)
                if (!path.dev.empty() && in.dev == path.dev)
                    path.dm = PathFacts::MapState{true, in.active, in.failCount, g + 1};
    }
    lun.dm = std::move(map);
}

}  // namespace vmcheck
