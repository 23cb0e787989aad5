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

// The list of floats of a call's result, made ahead: its float objects are made while the workers
// compute (with the interpreter lock taken back batch by batch, parallel/caller_chore.hpp) and
// given their values once the map is done, when no other code has seen them. Every member is
// called with the lock held. A made object is released by finish or drop; a thread ended by the
// interpreter in between leaves them (the interpreter is finalising).
class PreparedFloats {
public:
    explicit PreparedFloats(std::size_t size) noexcept : size_(size) {}
    PreparedFloats(const PreparedFloats&) = delete;
    PreparedFloats& operator=(const PreparedFloats&) = delete;

    // Makes up to `count` more floats; false once all are made or one cannot be (its exception
    // cleared: finish makes the rest the usual way and raises it if it recurs).
    bool make(std::size_t count) noexcept;
    // From 16384 floats (some 0.3 ms to make): a shorter list gains less than the interpreter
    // lock's round trip may cost when other threads want it.
    [[nodiscard]] bool worth_it() const noexcept { return size_ >= 16384; }

    // The list holding `values`: the floats made, the rest made now. `values` must hold the
    // size given at construction; any other size drops what was made and builds anew.
    [[nodiscard]] BuildResult finish(std::span<const double> values);
    void drop() noexcept;

private:
    std::size_t size_;
    std::size_t made_ = 0;
    PyObject* list_ = nullptr; // owned; its items [0, made_) are set, the rest null
};

} // namespace finitemu::boundary
