// The one error type of the computing layers (parallel/, routines/): what failed, with the numbers
// that describe it, and no text of its own except a numerical routine's message. The Python side
// words it (boundary/messages.hpp) and raises it: a numeric error as RuntimeError, running out of
// memory as MemoryError, an interruption as the exception the signal handler raised, every other
// kind as the internal-failure exception, which abandons the call.
//
//     Result<double> r = some_routine(...);
//     if (!r && r.error().kind == ErrorKind::numeric) { ... r.error().message ... }
#pragma once

#include <cstddef>
#include <expected>

namespace finitemu {

enum class ErrorKind : unsigned char {
    numeric,          // a numerical routine failed: `message`, its fixed text (a string literal)
    flux_map_lengths, // a flux map's radii and brightnesses differ in length: `first`, `second`
    pool_start,       // the worker pool could not start a thread: `first`, the errno value
    pool_unavailable, // the worker pool failed to start at an earlier call
    incomplete_map,   // a map wrote `second` of its `first` slots (never in correct operation)
    out_of_memory,    // an allocation inside a map item failed
    item_exception,   // a map item threw something else
    interrupted,      // the call was stopped from outside (parallel/interruption.hpp)
};

struct [[nodiscard]] Error {
    ErrorKind kind;
    const char* message = nullptr;
    std::size_t first = 0;
    std::size_t second = 0;

    [[nodiscard]] static constexpr Error numeric(const char* text) noexcept {
        return {ErrorKind::numeric, text};
    }
    [[nodiscard]] static constexpr Error of(ErrorKind kind, std::size_t a = 0,
                                            std::size_t b = 0) noexcept {
        return {kind, nullptr, a, b};
    }
    // Every kind but `numeric` abandons the whole call.
    [[nodiscard]] constexpr bool abandons_call() const noexcept {
        return kind != ErrorKind::numeric;
    }
};

template <class T> using Result = std::expected<T, Error>;

} // namespace finitemu
