#include "parallel/parallel_map.hpp"

#include <algorithm>
#include <string>

namespace finitemu::parallel {

bool split_budget(std::size_t& budget, bool migrated, std::size_t workers) noexcept {
    if (migrated) {
        budget = std::max(budget / 2, workers);
        return true;
    }
    if (budget == 0) {
        return false;
    }
    budget /= 2;
    return true;
}

PieceOutcome combine(PieceOutcome left, PieceOutcome right, std::size_t left_size) noexcept {
    PieceOutcome outcome;
    outcome.written = left.written == left_size ? left.written + right.written : left.written;
    outcome.failure = left.failure ? std::move(left.failure) : std::move(right.failure);
    return outcome;
}

std::optional<InternalFailure> map_failure(PieceOutcome root, std::size_t n) {
    if (root.failure) {
        return std::move(root.failure);
    }
    if (root.written != n) {
        return InternalFailure{"expected " + std::to_string(n) + " total writes, but got " +
                               std::to_string(root.written)};
    }
    return std::nullopt;
}

bool maps_on_calling_thread(const Pool& pool, std::size_t n,
                            std::size_t sequential_below) noexcept {
    return n < sequential_below || (pool.worker_count() == 1 && !pool.is_current_worker());
}

std::expected<Pool*, InternalFailure> pool_for_map() {
    if (Pool* pool = current_pool()) {
        return pool;
    }
    return global_pool();
}

} // namespace finitemu::parallel
