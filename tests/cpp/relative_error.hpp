// Relative-error assertion shared by the numerical tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>

namespace finitemu::test {

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

// The largest error seen and where it was seen, for the tests that print their worst case.
struct Worst {
    double error = 0.0;
    double at = NAN;
    void note(double err, double where) {
        if (err > error) {
            error = err;
            at = where;
        }
    }
};

} // namespace finitemu::test
