#include "parallel/parallel_map.hpp"

#include <algorithm>

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
    outcome.failure = left.failure ? left.failure : right.failure;
    return outcome;
}

std::optional<Error> map_failure(PieceOutcome root, std::size_t n) noexcept {
    if (root.failure) {
        return root.failure;
    }
    if (root.written != n) {
        return Error::of(ErrorKind::incomplete_map, n, root.written);
    }
    return std::nullopt;
}

bool maps_on_calling_thread(const Pool& pool, std::size_t n,
                            std::size_t sequential_below) noexcept {
    return n < sequential_below || (pool.worker_count() == 1 && !pool.is_current_worker());
}

} // namespace finitemu::parallel
