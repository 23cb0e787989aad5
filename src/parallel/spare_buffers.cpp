#include "parallel/spare_buffers.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace finitemu::parallel {

namespace {

// Empty vectors with capacity 0 stand for free places.
thread_local std::array<std::vector<double>, kKept> spares;

} // namespace

std::vector<double> reuse_buffer(std::size_t n) {
    std::vector<double>* best = nullptr;
    for (std::vector<double>& spare : spares) {
        if (spare.capacity() >= n && spare.capacity() > 0 &&
            (best == nullptr || spare.capacity() < best->capacity())) {
            best = &spare;
        }
    }
    if (best != nullptr) {
        std::vector<double> buffer = std::move(*best);
        *best = std::vector<double>();
        buffer.clear();
        return buffer;
    }
    std::vector<double> buffer;
    buffer.reserve(n);
    return buffer;
}

void keep_buffer(std::vector<double>&& buffer) noexcept {
    const std::size_t capacity = buffer.capacity();
    if (capacity < kSmallest || capacity > kLargest) {
        return; // freed with the caller's vector
    }
    auto smallest =
        std::min_element(spares.begin(), spares.end(),
                         [](const auto& a, const auto& b) { return a.capacity() < b.capacity(); });
    if (smallest->capacity() < capacity) {
        *smallest = std::move(buffer); // the smaller spare is freed
    }
}

} // namespace finitemu::parallel
