#include "parallel/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace finitemu::parallel {

namespace {

constexpr std::size_t kWorkerStackBytes = 2 * 1024 * 1024;

// How long an idle worker polls (with a yield) before it sleeps: at least kSpinRounds rounds and
// kIdleSpin. A piece offered by a dividing worker is usually taken within a few microseconds,
// which a futex sleep and wake would double; and a Python caller converts its next call's
// arguments for tens to hundreds of microseconds between maps. A sleeping worker costs the next
// caller its wake (about 10 us of the calling thread on the build machine, a virtual machine) and
// arrives 25 to 70 us later; a polling one starts within 10 us (bench_handoff, "busy": 100 us
// between maps). Half a millisecond of polling, yielding to any thread that wants the CPU, is
// what OpenMP runtimes spend by default.
constexpr int kSpinRounds = 64;
constexpr std::chrono::microseconds kIdleSpin{500};

struct Worker;

// Rounds of polling (with a yield) before a thread that is no worker sleeps on its latch: the
// helpers of a shared map end within a few microseconds of the caller's own part.
constexpr int kLatchSpinRounds = 64;

// Latch of a thread that is no worker and waits for the jobs it handed to the pool: counts those
// finished. Incremented under the mutex, which the waiter takes once the count is reached (so the
// last finisher has left it before the latch goes away); read without it while polling.
struct BlockingLatch {
    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<std::size_t> count{0};
    int caller_cpu = -1; // the CPU of a caller that computes while it waits (share), else -1
};

// Keeps the calling thread off `cpu` while it lives, when its affinity allows another CPU, and
// then restores the affinity it had. A worker sleeps in one: woken by a caller on `cpu`, it can
// only be woken onto another CPU, so it never preempts the caller and leave_cpu has nothing to
// do. Traced with a 2-core virtual machine's idle CPU halted (workers asleep 2 ms, 39 items of
// 8 us): without it the woken worker often shared the caller's CPU for the whole map (328 us,
// as on one thread), and the maps took 221 to 260 us on average (medians 181 to 218); with it
// 187 to 197 (medians 182 to 184; 164 is a perfect halving).
class KeepOff {
public:
    explicit KeepOff(int cpu) noexcept {
        if (cpu < 0 || pthread_getaffinity_np(pthread_self(), sizeof allowed_, &allowed_) != 0 ||
            !CPU_ISSET(cpu, &allowed_) || CPU_COUNT(&allowed_) < 2) {
            return;
        }
        cpu_set_t others = allowed_;
        CPU_CLR(cpu, &others);
        moved_ = pthread_setaffinity_np(pthread_self(), sizeof others, &others) == 0;
    }
    ~KeepOff() {
        if (moved_) {
            pthread_setaffinity_np(pthread_self(), sizeof allowed_, &allowed_);
        }
    }
    KeepOff(const KeepOff&) = delete;
    KeepOff& operator=(const KeepOff&) = delete;

private:
    cpu_set_t allowed_{};
    bool moved_ = false;
};

// Moves the calling thread off `cpu` by leaving it out of the thread's affinity for a moment.
// The scheduler of a virtual machine wakes a worker onto the CPU of the thread that woke it,
// even with another CPU idle (a halted virtual CPU counts as preempted, so it is not offered):
// the worker and a caller that computes its own share then take turns on one CPU until the load
// balancer parts them, milliseconds later (traced on the 2-core build machine: every wake of a
// cold call). A sleeping worker keeps off the latest caller's CPU (KeepOff); this remains for
// a worker that polled there, or a caller on another CPU than the latest. Nothing happens when
// `cpu` is the only one allowed.
void leave_cpu(int cpu) noexcept {
    const KeepOff moved(cpu); // off at once, the affinity restored on leaving
}

struct Job {
    PieceRef body;
    const Worker* origin;          // the worker that called join; nullptr for a job from outside
    BlockingLatch* latch;          // set for a job from outside
    std::atomic<bool> done{false}; // set for a job of a join on a worker
};

struct alignas(64) Worker {
    Pool::State* state = nullptr;
    std::size_t index = 0;
    std::mutex mutex;
    std::vector<Job*> jobs; // back: the owner's end; front: the thieves' end
};

constinit thread_local Worker* tls_worker = nullptr;

} // namespace

struct Pool::State {
    Pool* pool = nullptr;
    std::vector<std::unique_ptr<Worker>> workers; // fixed before any thread starts

    std::mutex injected_mutex;
    std::vector<Job*> injected; // jobs handed in by threads that are no workers

    // Jobs waiting in every deque and in `injected`. A hint that lets idle threads skip the scan;
    // the sleep protocol below makes it exact where it matters. Increments are seq_cst (the
    // protocol's store); decrements are relaxed: they happen under the deque's mutex, which orders
    // the job itself, and a stale larger count only costs one more scan.
    std::atomic<std::size_t> pending{0};

    // Sleep protocol. A sleeper takes sleep_mutex, increments `sleepers`, re-checks its wake
    // condition (pending > 0, or the flag it waits for) and waits on `wake`. A producer publishes
    // (pending increment or done flag, seq_cst), then loads `sleepers` (seq_cst); if it is not 0
    // it takes and releases sleep_mutex and notifies. The two seq_cst pairs (store, then load of
    // the other variable) cannot both miss each other, and taking the mutex means a sleeper seen
    // by the producer is already waiting; so no wake-up is lost.
    std::mutex sleep_mutex;
    std::condition_variable wake;
    std::atomic<std::size_t> sleepers{0};
    // Bumped by rouse(): a sleeper that sees it change goes back to polling without a job.
    std::atomic<std::uint64_t> rousings{0};

    // The CPU of the latest caller that shared a task (-1 before the first): a worker that goes to
    // sleep keeps off it (KeepOff), since the next caller is likely to compute there.
    std::atomic<int> last_caller_cpu{-1};

    std::atomic<bool> stopping{false}; // set once, by ~Pool or a failed creation
    std::size_t live = 0;              // running worker threads, under sleep_mutex
    std::condition_variable exited;    // signalled as live drops

    void notify(bool all) {
        if (sleepers.load(std::memory_order_seq_cst) == 0) {
            return;
        }
        { std::lock_guard lock(sleep_mutex); }
        if (all) {
            wake.notify_all();
        } else {
            wake.notify_one();
        }
    }

    void push(Worker& w, Job& job) {
        {
            std::lock_guard lock(w.mutex);
            w.jobs.push_back(&job);
            pending.fetch_add(1, std::memory_order_seq_cst);
        }
        notify(false);
    }

    void inject(std::span<Job* const> jobs) {
        {
            std::lock_guard lock(injected_mutex);
            for (Job* job : jobs) {
                injected.push_back(job);
            }
            pending.fetch_add(jobs.size(), std::memory_order_seq_cst);
        }
        notify(jobs.size() > 1);
    }

    // Takes back the jobs of `jobs` that no worker has taken; returns how many.
    std::size_t withdraw(std::span<Job* const> jobs) {
        std::lock_guard lock(injected_mutex);
        std::size_t withdrawn = 0;
        for (Job* job : jobs) {
            if (const auto at = std::find(injected.begin(), injected.end(), job);
                at != injected.end()) {
                injected.erase(at);
                ++withdrawn;
            }
        }
        pending.fetch_sub(withdrawn, std::memory_order_relaxed);
        return withdrawn;
    }

    // Waits until `latch` has counted `count` jobs, calling while_waiting(false) every `period`
    // once polling has not seen them end. Should while_waiting throw, the jobs are waited for
    // before the exception leaves (they refer to the caller's frame).
    static void await(BlockingLatch& latch, std::size_t count, const PieceRef* while_waiting,
                      std::chrono::milliseconds period) {
        // acquire: pairs with the finisher's increment, so its job's writes are visible.
        const auto done = [&] { return latch.count.load(std::memory_order_acquire) >= count; };
        for (int round = 0; round < kLatchSpinRounds && !done(); ++round) {
            std::this_thread::yield();
        }
        std::unique_lock lock(latch.mutex);
        if (while_waiting == nullptr) {
            latch.finished.wait(lock, done);
            return;
        }
        try {
            while (!latch.finished.wait_for(lock, period, done)) {
                lock.unlock();
                (*while_waiting)(false);
                lock.lock();
            }
        } catch (...) { // also a thread's forced unwind, which must go on once the jobs are done
            if (!lock.owns_lock()) {
                lock.lock();
            }
            latch.finished.wait(lock, done);
            throw;
        }
    }

    // Pops `job` from the back of w's deque if nobody has taken it.
    bool take_back(Worker& w, const Job& job) {
        std::lock_guard lock(w.mutex);
        if (w.jobs.empty() || w.jobs.back() != &job) {
            return false;
        }
        w.jobs.pop_back();
        pending.fetch_sub(1, std::memory_order_relaxed);
        return true;
    }

    static Job* take_front(std::mutex& mutex, std::vector<Job*>& jobs,
                           std::atomic<std::size_t>& count) {
        std::lock_guard lock(mutex);
        if (jobs.empty()) {
            return nullptr;
        }
        Job* job = jobs.front();
        jobs.erase(jobs.begin());
        count.fetch_sub(1, std::memory_order_relaxed);
        return job;
    }

    // A pending job for w: its own newest, else the oldest of another worker, else one handed in.
    Job* find_job(Worker& w) {
        // acquire: pairs with the increment of a push so that the scan sees the pushed job.
        if (pending.load(std::memory_order_acquire) == 0) {
            return nullptr;
        }
        {
            std::lock_guard lock(w.mutex);
            if (!w.jobs.empty()) {
                Job* job = w.jobs.back();
                w.jobs.pop_back();
                pending.fetch_sub(1, std::memory_order_relaxed);
                return job;
            }
        }
        const std::size_t n = workers.size();
        for (std::size_t k = 1; k < n; ++k) {
            Worker& victim = *workers[(w.index + k) % n];
            if (Job* job = take_front(victim.mutex, victim.jobs, pending)) {
                return job;
            }
        }
        return take_front(injected_mutex, injected, pending);
    }

    void execute(Worker& w, Job& job) {
        const bool stolen = job.origin != &w; // read now: the job may be gone once done is set
        if (job.latch != nullptr && job.latch->caller_cpu >= 0 &&
            sched_getcpu() == job.latch->caller_cpu) {
            leave_cpu(job.latch->caller_cpu);
        }
        job.body(stolen);
        if (job.latch != nullptr) {
            // Notify under the lock: once it is released the waiting caller may return and
            // destroy the latch and the job.
            BlockingLatch& latch = *job.latch;
            std::lock_guard lock(latch.mutex);
            // release: the job's writes, for the waiter's acquire load.
            latch.count.fetch_add(1, std::memory_order_release);
            latch.finished.notify_one();
            return;
        }
        // seq_cst: the store half of the sleep protocol; also releases the piece's writes to
        // the joining thread, which reads the flag with acquire. The job may be gone right after.
        job.done.store(true, std::memory_order_seq_cst);
        if (stolen) {
            notify(true); // the joining worker may be asleep; any sleeper could be it
        }
    }

    // Idles until pending work appears or until_done() holds: polls, then sleeps; roused, polls
    // again.
    template <class Done> void idle(Done until_done) {
        for (;;) {
            const auto until = std::chrono::steady_clock::now() + kIdleSpin;
            for (int round = 0;; ++round) {
                // acquire, as in find_job: a job seen counted is seen by the scan that follows.
                if (pending.load(std::memory_order_acquire) > 0 || until_done()) {
                    return;
                }
                if (round >= kSpinRounds && std::chrono::steady_clock::now() >= until) {
                    break;
                }
                std::this_thread::yield();
            }
            const KeepOff away(last_caller_cpu.load(std::memory_order_relaxed));
            std::unique_lock lock(sleep_mutex);
            sleepers.fetch_add(1, std::memory_order_seq_cst);
            const std::uint64_t seen = rousings.load(std::memory_order_seq_cst);
            while (pending.load(std::memory_order_seq_cst) == 0 && !until_done() &&
                   rousings.load(std::memory_order_seq_cst) == seen) {
                wake.wait(lock);
            }
            // relaxed: a producer that still sees this sleeper only takes the mutex and notifies.
            sleepers.fetch_sub(1, std::memory_order_relaxed);
            if (pending.load(std::memory_order_acquire) > 0 || until_done()) {
                return;
            }
        }
    }

    // Wakes one sleeping worker to poll (a hint: a rousing that meets no sleeper, or one about to
    // sleep, is lost, and the job that follows wakes a worker as usual).
    void rouse() {
        rousings.fetch_add(1, std::memory_order_seq_cst);
        notify(false);
    }

    // Runs other jobs until `done` is set.
    void wait_until(Worker& w, const std::atomic<bool>& done) {
        // acquire: pairs with the seq_cst store in execute(), so the half's writes are visible
        // once the flag is seen; seq_cst inside the sleep protocol (see above).
        const auto finished = [&done] { return done.load(std::memory_order_seq_cst); };
        while (!done.load(std::memory_order_acquire)) {
            if (Job* job = find_job(w)) {
                execute(w, *job);
            } else {
                idle(finished);
            }
        }
    }

    // join on worker w; `origin` is the thread that divided (w itself, or nullptr from outside).
    void join_here(Worker& w, PieceRef left, PieceRef right, const Worker* origin) {
        Job job{right, origin, nullptr};
        push(w, job);
        left(origin != &w);
        if (take_back(w, job)) {
            right(origin != &w);
            return;
        }
        wait_until(w, job.done); // taken by another worker, or already run by w while waiting
    }

    void run_worker(Worker& w) {
        // seq_cst: `stopping` is a wake condition of the sleep protocol, like the done flags.
        const auto stop = [this] { return stopping.load(std::memory_order_seq_cst); };
        while (!stop()) {
            if (Job* job = find_job(w)) {
                execute(w, *job);
            } else {
                idle(stop);
            }
        }
    }

    void stop_workers() {
        stopping.store(true, std::memory_order_seq_cst);
        std::unique_lock lock(sleep_mutex);
        wake.notify_all();
        exited.wait(lock, [this] { return live == 0; });
    }
};

namespace {

struct StartArgument {
    std::shared_ptr<Pool::State> state;
    Worker* worker;
};

extern "C" void* worker_main(void* argument) {
    std::unique_ptr<StartArgument> start(static_cast<StartArgument*>(argument));
    const std::shared_ptr<Pool::State> state = std::move(start->state);
    tls_worker = start->worker;
    state->run_worker(*start->worker);
    tls_worker = nullptr;
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
        state->workers.reserve(workers);
        for (std::size_t i = 0; i < workers; ++i) {
            auto w = std::make_unique<Worker>();
            w->state = state.get();
            w->index = i;
            state->workers.push_back(std::move(w));
        }
        pool.reset(new Pool(state));
        state->pool = pool.get();
        for (std::size_t i = 0; i < workers && rc == 0; ++i) {
            auto argument = std::make_unique<StartArgument>(state, state->workers[i].get());
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
    return state_->workers.size();
}

bool Pool::is_current_worker() const noexcept {
    return tls_worker != nullptr && tls_worker->state == state_.get();
}

void Pool::join(PieceRef left, PieceRef right) noexcept {
    State& s = *state_;
    if (is_current_worker()) {
        s.join_here(*tls_worker, left, right, tls_worker);
        return;
    }
    auto whole = [&s, left, right](bool) { s.join_here(*tls_worker, left, right, nullptr); };
    BlockingLatch latch;
    Job job{PieceRef(whole), nullptr, &latch};
    Job* const jobs[] = {&job};
    s.inject(jobs);
    State::await(latch, 1, nullptr, {});
}

void Pool::share(PieceRef work, std::size_t helpers, PieceRef while_waiting,
                 std::chrono::milliseconds period) {
    State& s = *state_;
    helpers = std::min(helpers, s.workers.size());
    BlockingLatch latch;
    latch.caller_cpu = sched_getcpu();
    s.last_caller_cpu.store(latch.caller_cpu, std::memory_order_relaxed);
    // Jobs cannot move (their done flag is atomic): made in place, handed over by address.
    const auto storage = std::make_unique<std::optional<Job>[]>(helpers);
    std::vector<Job*> jobs(helpers);
    for (std::size_t i = 0; i < helpers; ++i) {
        jobs[i] = &storage[i].emplace(work, nullptr, &latch);
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

Pool* current_pool() noexcept {
    return tls_worker != nullptr ? tls_worker->state->pool : nullptr;
}

} // namespace finitemu::parallel
