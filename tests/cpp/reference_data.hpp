// Reads the reference tables of tests/data: whitespace-separated rows, the first field the row's
// id <grid>-<key> (tools/reference_ids.py), the rest doubles; lines starting with '#' are comments.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace finitemu::test {

struct ReferenceRow {
    std::string grid;
    std::vector<double> values;
};

inline std::vector<ReferenceRow> read_reference(const std::string& name) {
    std::vector<ReferenceRow> rows;
    std::ifstream in(std::string(FINITEMU_TEST_DATA_DIR) + "/" + name);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        ReferenceRow row;
        fields >> row.grid;
        row.grid.erase(row.grid.find('-'));
        std::string field;
        while (fields >> field) {
            row.values.push_back(std::stod(field));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace finitemu::test
