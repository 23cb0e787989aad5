// The reference tables of tests/data and the checks against them.
//
// A row is whitespace-separated: its id <grid>-<key> (tools/reference_ids.py), then numbers (read
// by strtod, so "+inf" too) and at most one word, the flux map a row of integrated_reference.txt
// refers to; lines starting with '#' are comments. A Worst checks each row's error against a bound,
// names a failing row by its id and prints the worst case as a "[ worst    ]" line, the figures of
// docs/physics.md ("Accuracy reached").
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace finitemu::test {

using Values = std::vector<double>;

struct ReferenceRow {
    std::string id, grid, key; // id = grid + '-' + key, the key an index within the grid or a name
    std::string name;          // the flux map of an integrated row
    Values values;

    // The id, the name and the first `arguments` values, for messages.
    std::string at(std::size_t arguments) const {
        std::string text = id + (name.empty() ? "" : " " + name) + " (";
        for (std::size_t i = 0; i < arguments && i < values.size(); ++i) {
            char buf[32];
            std::snprintf(buf, sizeof buf, i ? " %.17g" : "%.17g", values[i]);
            text += buf;
        }
        return text + ")";
    }
};

// The rows of tests/data/<file> in file order, read once.
inline const std::vector<ReferenceRow>& read_reference(const std::string& file) {
    static std::map<std::string, std::vector<ReferenceRow>> cache;
    const auto [rows, fresh] = cache.try_emplace(file);
    if (!fresh) {
        return rows->second;
    }
    std::ifstream in(std::string(FINITEMU_TEST_DATA_DIR) + "/" + file);
    EXPECT_TRUE(in.good()) << "cannot read " << file;
    std::set<std::string> ids;
    std::string line, token;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        ReferenceRow row;
        fields >> row.id;
        const auto dash = row.id.find('-');
        EXPECT_TRUE(dash != std::string::npos && ids.insert(row.id).second)
            << file << ": malformed or repeated id " << row.id;
        row.grid = row.id.substr(0, dash);
        row.key = row.id.substr(dash + 1);
        while (fields >> token) {
            char* end = nullptr;
            errno = 0;
            const double x = std::strtod(token.c_str(), &end);
            if (*end != '\0') {
                row.name = token;
                continue;
            }
            EXPECT_NE(errno, ERANGE) << file << " " << row.id << ": " << token; // subnormal
            row.values.push_back(x);
        }
        rows->second.push_back(std::move(row));
    }
    return rows->second;
}

// |value - reference| / |reference|; 0 when they are equal (a ring through the lens is +inf in
// both), +inf when it is NaN.
inline double relative_error(double value, double reference) {
    const double err =
        value == reference ? 0.0 : std::fabs(value - reference) / std::fabs(reference);
    return std::isnan(err) ? std::numeric_limits<double>::infinity() : err;
}

// Succeeds when |actual - expected| <= tol |expected|; the failure message gives the error.
inline ::testing::AssertionResult near_relative(double actual, double expected, double tol) {
    const double err = std::fabs(actual - expected);
    if (err <= tol * std::fabs(expected)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "actual " << actual << " expected " << expected << " relative error "
           << err / std::fabs(expected) << " > " << tol;
}

// The worst error over a set of rows, each held to `bound`; prints it when it goes out of scope,
// and fails if fewer than `min_points` rows were seen (a missing or truncated table).
class Worst {
public:
    Worst(std::string name, double bound, std::size_t min_points = 1,
          std::string measure = "relative error")
        : name_(std::move(name)), measure_(std::move(measure)), bound_(bound),
          min_points_(min_points) {}
    Worst(const Worst&) = delete;
    Worst& operator=(const Worst&) = delete;

    void note(double error, const std::string& at) {
        ++count_;
        EXPECT_LE(error, bound_) << name_ << " at " << at;
        if (!(error <= worst_)) { // NaN is the worst of all
            worst_ = std::isnan(error) ? std::numeric_limits<double>::infinity() : error;
            at_ = at;
        }
    }
    // Relative error against the sum of the row's last `reference_columns` values: the value, or
    // its hi + lo pair.
    void check(double value, const ReferenceRow& row, std::size_t reference_columns = 1) {
        const std::size_t arguments = row.values.size() - reference_columns;
        double reference = 0.0;
        for (std::size_t i = arguments; i < row.values.size(); ++i) {
            reference += row.values[i];
        }
        note(relative_error(value, reference), row.at(arguments));
    }
    ~Worst() {
        std::printf("[ worst    ] %s: %zu points, worst %s %.3g at %s (bound %.3g)\n",
                    name_.c_str(), count_, measure_.c_str(), worst_, at_.c_str(), bound_);
        EXPECT_GE(count_, min_points_) << name_;
    }

private:
    std::string name_, measure_, at_ = "none";
    double bound_, worst_ = 0.0;
    std::size_t min_points_, count_ = 0;
};

// One grid of one table: the rows whose id starts with `name` + '-'. The label tells apart
// checks of one grid.
struct Grid {
    std::string file, name;
    std::size_t reference_columns = 1, min_points = 1;
    std::string label = "";
};

// Checks evaluate(values) on every row of the grid that `select` admits (all when empty).
inline void check_grid(const Grid& grid, double bound,
                       const std::function<double(const Values&)>& evaluate,
                       const std::function<bool(const Values&)>& select = {}) {
    Worst worst(grid.file + "/" + grid.name + (grid.label.empty() ? "" : ", " + grid.label), bound,
                grid.min_points);
    for (const ReferenceRow& row : read_reference(grid.file)) {
        if (row.grid == grid.name && (!select || select(row.values))) {
            worst.check(evaluate(row.values), row, grid.reference_columns);
        }
    }
}

} // namespace finitemu::test
