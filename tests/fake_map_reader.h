// SPDX-License-Identifier: MIT
// The device-mapper stood in for: each map number answers with the table
// and status params a test wrote for it (taken as the kernel's, through
// MapFromTargets), or with an outcome such as no privilege; any other
// number is gone.
#ifndef ISCSI_INVENTORY_FAKE_MAP_READER_H
#define ISCSI_INVENTORY_FAKE_MAP_READER_H

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mapper/map_reader.h"

class FakeMapReader final : public inventory::mapper::MapReader {
public:
    using MapRead = inventory::mapper::MapRead;

    // A map of one target of that type, with these params.
    void Add(unsigned major, unsigned minor, std::string table, std::string status,
             const std::string& type = "multipath")
    {
        answers_[{major, minor}] = {{{type, std::move(table)}}, {{type, std::move(status)}}, {}};
    }

    void Answer(unsigned major, unsigned minor, MapRead::Outcome outcome)
    {
        answers_[{major, minor}] = {{}, {}, MapRead{outcome, std::nullopt, "canned", {}}};
    }

    MapRead Read(unsigned major, unsigned minor) override
    {
        reads.emplace_back(major, minor);
        const auto found = answers_.find({major, minor});
        if (found == answers_.end())
            return {MapRead::Outcome::kGone, std::nullopt, "no such map", {}};
        const Canned& canned = found->second;
        return canned.outcome ? *canned.outcome : inventory::mapper::MapFromTargets(canned.table, canned.status);
    }

    std::vector<std::pair<unsigned, unsigned>> reads;  // every Read, in order

private:
    struct Canned {
        std::vector<inventory::mapper::MapTarget> table;
        std::vector<inventory::mapper::MapTarget> status;
        std::optional<MapRead> outcome;
    };
    std::map<std::pair<unsigned, unsigned>, Canned> answers_;
};

#endif
