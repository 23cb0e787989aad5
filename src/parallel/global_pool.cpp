// The process-wide pool: made at the first map that asks for it, attempted once, never shut down,
// and made anew in the child of a fork.
#include "parallel/pool.hpp"
#include "parallel/worker_count.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <new>

namespace finitemu::parallel {

namespace {

constinit std::atomic<Pool*> global_instance{nullptr};
constinit std::mutex global_creation;
constinit bool global_attempted = false;

// The child of fork() has only the thread that forked: the parent's workers do not exist there,
// and a map handed to them would wait forever (a multiprocessing child, say). The child is a new
// process and makes its own pool at its first map; the parent's is left as it is, unreachable.
// The creation lock may have been held by another parent thread at the fork: it is made anew.
extern "C" void forget_global_pool_in_child() {
    global_instance.store(nullptr, std::memory_order_relaxed); // one thread only, in the child
    global_attempted = false;
    new (&global_creation) std::mutex;
}

} // namespace

Result<Pool*> global_pool() {
    // acquire: pairs with the release store below, so the pool is seen fully built.
    if (Pool* pool = global_instance.load(std::memory_order_acquire)) {
        return pool;
    }
    std::lock_guard lock(global_creation);
    // relaxed: every store happens under global_creation, which this thread now holds.
    if (Pool* pool = global_instance.load(std::memory_order_relaxed)) {
        return pool;
    }
    if (global_attempted) {
        return std::unexpected(Error::of(ErrorKind::pool_unavailable));
    }
    global_attempted = true;
    static const bool fork_handler = [] {
        pthread_atfork(nullptr, nullptr, forget_global_pool_in_child);
        return true;
    }();
    (void)fork_handler;
    auto pool = Pool::create(worker_count_from_environment());
    if (!pool) {
        return std::unexpected(pool.error());
    }
    Pool* created = pool->release(); // never shut down
    global_instance.store(created, std::memory_order_release);
    return created;
}

Pool* existing_global_pool() noexcept {
    // acquire: pairs with the release store in global_pool.
    return global_instance.load(std::memory_order_acquire);
}

} // namespace finitemu::parallel
