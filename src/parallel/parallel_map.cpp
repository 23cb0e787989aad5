#include "parallel/parallel_map.hpp"

namespace finitemu::parallel {

bool maps_on_calling_thread(const Pool& pool, std::size_t n,
                            std::size_t sequential_below) noexcept {
    return n < sequential_below || pool.worker_count() == 1;
}

} // namespace finitemu::parallel
