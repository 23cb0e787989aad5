// Python objects from computed values: a float, a list of floats, a list of lists of floats.
// Each is a new reference. Should the interpreter fail to make an object, its exception
// (MemoryError) is the error, and a partly built list is released. Running out of memory is no
// internal failure: the caller can free memory and try again.
#pragma once

#include "boundary/errors.hpp"

#include <expected>
#include <span>
#include <vector>

namespace finitemu::boundary {

using BuildResult = std::expected<OwnedRef, ErrorValue>;

[[nodiscard]] BuildResult build_result(double value);
[[nodiscard]] BuildResult build_result(std::span<const double> values);
[[nodiscard]] BuildResult build_result(std::span<const std::vector<double>> rows);

} // namespace finitemu::boundary
