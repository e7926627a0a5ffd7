// SPDX-License-Identifier: MIT
// The results file the VM sent back over its serial port: sections between
// "==== BEGIN NAME" and "==== END NAME rc=N", and marks ("==== DONE",
// "==== CHAPSESSION session5") between them.
#include <fstream>

#include "check.h"

namespace vmcheck {

std::optional<std::uint32_t> Number(const std::string& text)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    unsigned long long value = std::stoull(text);
    if (value > UINT32_MAX)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::string Word(std::istringstream& in)
{
    std::string word;
    in >> word;
    return word;
}

std::string Rest(std::istringstream& in)
{
    std::string rest;
    std::getline(in >> std::ws, rest);
    return rest;
}

Sections ReadSections(const std::string& path, std::vector<std::string>& marks, Statuses& statuses)
{
    std::ifstream in(path, std::ios::binary);
    Sections sections;
    std::string current, line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line.rfind("==== BEGIN ", 0) == 0) {
            current = line.substr(11);
            sections[current];
            inside = true;
        } else if (line.rfind("==== END ", 0) == 0) {
            inside = false;
            std::size_t rc = line.rfind(" rc=");
            if (rc != std::string::npos && Number(line.substr(rc + 4)))
                statuses[line.substr(9, rc - 9)] = static_cast<int>(*Number(line.substr(rc + 4)));
        } else if (inside) {
            sections[current] += line + "\n";
        } else if (line.rfind("==== ", 0) == 0) {
            marks.push_back(line.substr(5));
        }
    }
    return sections;
}

}  // namespace vmcheck
