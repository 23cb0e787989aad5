#include "parallel/cpu_placement.hpp"

#include <pthread.h>

namespace finitemu::parallel {

KeepOff::KeepOff(int cpu) noexcept {
    if (cpu < 0 || pthread_getaffinity_np(pthread_self(), sizeof allowed_, &allowed_) != 0 ||
        !CPU_ISSET(cpu, &allowed_) || CPU_COUNT(&allowed_) < 2) {
        return;
    }
    cpu_set_t others = allowed_;
    CPU_CLR(cpu, &others);
    moved_ = pthread_setaffinity_np(pthread_self(), sizeof others, &others) == 0;
}

KeepOff::~KeepOff() {
    if (moved_) {
        pthread_setaffinity_np(pthread_self(), sizeof allowed_, &allowed_);
    }
}

void leave_cpu(int cpu) noexcept {
    const KeepOff moved(cpu); // off at once, the affinity restored on leaving
}

} // namespace finitemu::parallel
