#include "parallel/interruption.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

TEST(Interruption, ACheckThatThrowsStopsTheItemsNotBegun) {
    using finitemu::parallel::Interruption;
    Interruption interruption([](void*) -> bool { throw std::runtime_error("thread ends"); },
                              nullptr);
    std::this_thread::sleep_for(Interruption::kPollPeriod + std::chrono::milliseconds(5));
    EXPECT_THROW(static_cast<void>(interruption.poll()), std::runtime_error);
    EXPECT_TRUE(interruption.stop_requested());
}
