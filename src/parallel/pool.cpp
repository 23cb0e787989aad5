// A pool's life (creation, its workers' start and stop) and the thread that shares a task.
#include "parallel/pool.hpp"

#include "parallel/pool_state.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace finitemu::parallel {

namespace {

constexpr std::size_t kWorkerStackBytes = 2 * 1024 * 1024;

extern "C" void* worker_main(void* argument) {
    std::shared_ptr<Pool::State> state;
    {
        std::unique_ptr<std::shared_ptr<Pool::State>> start(
            static_cast<std::shared_ptr<Pool::State>*>(argument));
        state = std::move(*start);
    }
    state->run_worker();
    std::lock_guard lock(state->sleep_mutex);
    --state->live;
    state->exited.notify_all();
    return nullptr;
}

} // namespace

Pool::Pool(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}

Pool::~Pool() {
    state_->stop_workers();
}

Result<std::unique_ptr<Pool>> Pool::create(std::size_t workers) {
    workers = std::max<std::size_t>(workers, 1);
    std::unique_ptr<Pool> pool;
    pthread_attr_t attributes;
    if (const int rc = pthread_attr_init(&attributes); rc != 0) {
        return std::unexpected(Error::of(ErrorKind::pool_start, static_cast<std::size_t>(rc)));
    }
    int rc = pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
    if (rc == 0) {
        rc = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    }
    try {
        auto state = std::make_shared<State>();
        state->workers = workers;
        pool.reset(new Pool(state));
        for (std::size_t i = 0; i < workers && rc == 0; ++i) {
            auto argument = std::make_unique<std::shared_ptr<State>>(state);
            {
                std::lock_guard lock(state->sleep_mutex);
                ++state->live;
            }
            pthread_t thread;
            rc = pthread_create(&thread, &attributes, worker_main, argument.get());
            if (rc == 0) {
                argument.release(); // now owned by the thread
            } else {
                std::lock_guard lock(state->sleep_mutex);
                --state->live;
            }
        }
    } catch (const std::bad_alloc&) {
        rc = ENOMEM;
    }
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        pool.reset(); // stops the workers already started
        return std::unexpected(Error::of(ErrorKind::pool_start, static_cast<std::size_t>(rc)));
    }
    return pool;
}

void Pool::rouse() {
    state_->rouse();
}

std::size_t Pool::worker_count() const noexcept {
    return state_->workers;
}

void Pool::share(PieceRef work, std::size_t helpers, PieceRef while_waiting,
                 std::chrono::milliseconds period) {
    State& s = *state_;
    helpers = std::min(helpers, s.workers);
    State::BlockingLatch latch;
    latch.caller_cpu = sched_getcpu();
    s.last_caller_cpu.store(latch.caller_cpu, std::memory_order_relaxed);
    // One job per helper, each at an address of its own: withdraw counts them apart.
    std::vector<State::Job> storage(helpers, State::Job{work, &latch});
    std::vector<State::Job*> jobs(helpers);
    for (std::size_t i = 0; i < helpers; ++i) {
        jobs[i] = &storage[i];
    }
    s.inject(jobs);
    try {
        work(false);
    } catch (...) { // a poll of the caller's that threw: the jobs begun refer to its frame
        const std::size_t taken = helpers - s.withdraw(jobs);
        State::await(latch, taken, nullptr, {});
        throw;
    }
    const std::size_t taken = helpers - s.withdraw(jobs);
    State::await(latch, taken, &while_waiting, period);
}

} // namespace finitemu::parallel
