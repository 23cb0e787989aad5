// The shape of every Python function of the module, after CPython's Argument Clinic: bind the
// fast-call arguments against a static FunctionDescription, convert them in declaration order,
// call the typed routine, build the result; one guarded exit.
//
// The routine's parameter types choose the converters (double: extract_float,
// std::vector<double>: extract_sequence), in the order of the Python parameters:
//
//     constexpr std::string_view kParameters[] = {"l", "re", "rstar"};
//     constexpr FunctionDescription kWittMao{"witt_mao_magnification", kParameters};
//     PyMethodDef def = function_record<kWittMao, finitemu::routines::witt_mao_magnification,
//                                       finitemu::routines::per_separation>();
//
// gives the method record "witt_mao_magnification(l, re, rstar)\n--\n\n" whose entry converts
// l to a list of doubles and re, rstar to doubles.
#pragma once

#include "boundary/arguments.hpp"
#include "boundary/converters.hpp"
#include "boundary/messages.hpp"
#include "boundary/results.hpp"
#include "parallel/caller_chore.hpp"
#include "parallel/interruption.hpp"
#include "parallel/pool.hpp"
#include "parallel/spare_buffers.hpp"

#include <array>
#include <cxxabi.h>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <utility>

namespace finitemu::boundary {

// Called inside a catch block: makes the C++ exception in flight the pending Python exception.
// std::bad_alloc is MemoryError; any other C++ exception is an internal failure. A thread being
// unwound by pthread_exit (the interpreter ends a thread that wants the lock back during
// finalisation) is let through, which is why the guards are not noexcept.
//
// That forced unwind is no C++ object: the handler's reference to it is null by design, which
// UBSan's null check would report; the check is off for the functions that catch it, which are
// never inlined, since the attribute does not follow a function's body into its caller (UBSan
// reported the catch in without_interpreter_lock once it was inlined into call_routine).
[[gnu::no_sanitize("null"), gnu::noinline]] inline void raise_current_cpp_exception() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& exception) {
        raise_internal_failure(exception.what());
    } catch (...) {
        raise_internal_failure(messages::kUnknownCppException);
    }
}

// The internal-failure guard around a function entry: neither an ErrorValue nor a C++ exception
// leaves it; either becomes the pending Python exception and the entry returns null.
template <class Body> PyObject* guard_call(Body&& body) {
    try {
        BuildResult result = body();
        if (result) {
            return result->release();
        }
        std::move(result.error()).restore();
    } catch (...) {
        raise_current_cpp_exception();
    }
    return nullptr;
}

// The same guard around the module's exec step: 0 on success, -1 with an exception pending.
template <class Body> int guard_exec(Body&& body) {
    try {
        std::expected<void, ErrorValue> result = body();
        if (result) {
            return 0;
        }
        std::move(result.error()).restore();
    } catch (...) {
        raise_current_cpp_exception();
    }
    return -1;
}

// The interpreter lock given up for the lifetime of this object and taken back when it ends
// (Py_BEGIN_ALLOW_THREADS / Py_END_ALLOW_THREADS), so that other Python threads run meanwhile.
// Nothing between may touch a Python object.
//
// Taking the lock back during interpreter finalisation ends the thread (a daemon thread) with
// pthread_exit, whose forced unwind must pass through this destructor: hence noexcept(false).
// No other exception may be in flight when it ends, since a forced unwind during unwinding would
// terminate the process; without_interpreter_lock makes sure of that.
class InterpreterLockReleased {
public:
    InterpreterLockReleased() noexcept : thread_state_(PyEval_SaveThread()) {}
    ~InterpreterLockReleased() noexcept(false) {
        if (!ended_) {
            PyEval_RestoreThread(thread_state_);
        }
    }
    InterpreterLockReleased(const InterpreterLockReleased&) = delete;
    InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

    // f() with the lock taken back for its length; f may not throw. Should taking the lock end
    // the thread, the lock is not taken back when this object ends.
    template <class F> auto with_lock(F&& f) {
        ended_ = true;
        PyEval_RestoreThread(thread_state_);
        ended_ = false;
        auto result = f();
        thread_state_ = PyEval_SaveThread();
        return result;
    }

    // Takes the lock for a moment to run the signal handlers that signals arrived for (on the
    // main thread; other threads are never given signals to handle): the exception one of them
    // raised, or nothing.
    std::optional<ErrorValue> check_signals() {
        return with_lock([] {
            std::optional<ErrorValue> raised;
            if (PyErr_CheckSignals() < 0) {
                raised.emplace(ErrorValue::fetch());
            }
            return raised;
        });
    }

private:
    PyThreadState* thread_state_;
    bool ended_ = false;
};

// Work (in kernel evaluations, 40 to 50 ns each) from which a call computes without the interpreter
// lock. Taking the lock back costs little when no other thread wants it, but up to the switch
// interval (5 ms) when another thread runs Python code; so, as NumPy does for its loops, only
// calls long enough for others to gain from the wait give it up.
inline constexpr double kReleaseLockWork = 1000.0;

// compute() run without the interpreter lock. A C++ exception from it (std::bad_alloc) is held
// until the lock is back and thrown then, so that nothing unwinds through the released lock.
//
// Meanwhile the call's maps poll for signals every 50 ms (parallel/interruption.hpp): when a
// handler raises, the maps stop at their next item and `raised` receives the handler's
// exception, which the caller raises instead of the result.
//
// With `prepared`, the call's first shared map makes its float objects first (PreparedFloats),
// taking the lock back for each batch and polling for signals between batches.
template <class Compute>
[[gnu::no_sanitize("null"), gnu::noinline]] auto
without_interpreter_lock(Compute&& compute, std::optional<ErrorValue>& raised,
                         PreparedFloats* prepared = nullptr) {
    using Result = decltype(compute());
    std::optional<Result> result;
    std::exception_ptr failure;
    {
        InterpreterLockReleased released;
        struct Signals {
            InterpreterLockReleased& released;
            std::optional<ErrorValue>& raised;
            static bool check(void* self) {
                auto& signals = *static_cast<Signals*>(self);
                if (auto exception = signals.released.check_signals()) {
                    signals.raised = std::move(exception);
                    return true;
                }
                return false;
            }
        } signals{released, raised};
        parallel::Interruption interruption(&Signals::check, &signals);
        parallel::InterruptionScope scope(interruption);
        struct Chore {
            InterpreterLockReleased& released;
            PreparedFloats& prepared;
            parallel::Interruption& interruption;
            static void run(void* self) {
                constexpr std::size_t kBatch = 16384; // 0.3 ms of floats between polls for signals
                auto& chore = *static_cast<Chore*>(self);
                const auto make = [&] { return chore.prepared.make(kBatch); };
                try {
                    while (chore.released.with_lock(make) && !chore.interruption.poll()) {
                    }
                } catch (...) { // the thread is ending: stop the items not begun, as a poll does
                    chore.interruption.request_stop();
                    throw;
                }
            }
        };
        std::optional<Chore> chore_state;
        std::optional<parallel::CallerChore> chore;
        std::optional<parallel::CallerChoreScope> chore_scope;
        if (prepared != nullptr) {
            chore_state.emplace(released, *prepared, interruption);
            chore.emplace(&Chore::run, &*chore_state);
            chore_scope.emplace(*chore);
        }
        try {
            result.emplace(compute());
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::move(*result);
}

namespace detail {

template <class T> struct Converter;
template <> struct Converter<double> {
    static std::expected<double, ErrorValue> convert(BorrowedRef object) {
        return extract_float(object);
    }
};
template <> struct Converter<std::vector<double>> {
    static std::expected<std::vector<double>, ErrorValue> convert(BorrowedRef object) {
        return extract_sequence(object);
    }
};

// Hands the converted sequences of a call back to the thread's spare buffers when the call ends
// (parallel/spare_buffers.hpp).
template <class... Values> class KeepBuffers {
public:
    explicit KeepBuffers(std::tuple<Values...>& values) noexcept : values_(values) {}
    ~KeepBuffers() {
        std::apply([](auto&... value) { (keep(value), ...); }, values_);
    }
    KeepBuffers(const KeepBuffers&) = delete;
    KeepBuffers& operator=(const KeepBuffers&) = delete;

private:
    static void keep(std::vector<double>& value) noexcept {
        parallel::keep_buffer(std::move(value));
    }
    static void keep(double) noexcept {}
    std::tuple<Values...>& values_;
};

// Binds and converts in declaration order, stopping at the first failure.
template <const FunctionDescription& Description, class... Args>
std::expected<std::tuple<Args...>, ErrorValue>
convert_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<BorrowedRef, sizeof...(Args)> slots;
    if (auto bound = extract_arguments_fastcall(Description, args, nargs, kwnames, slots); !bound) {
        return std::unexpected(std::move(bound.error()));
    }
    std::tuple<Args...> values;
    std::optional<ErrorValue> failure;
    auto convert = [&]<std::size_t I>() {
        using Value = std::tuple_element_t<I, std::tuple<Args...>>;
        auto value = Converter<Value>::convert(slots[I]);
        if (!value) {
            failure.emplace(
                argument_extraction_error(Description.parameters[I], std::move(value.error())));
            return false;
        }
        std::get<I>(values) = std::move(*value);
        return true;
    };
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (convert.template operator()<I>() && ...);
    }
    (std::index_sequence_for<Args...>{});
    if (failure) {
        return std::unexpected(std::move(*failure));
    }
    return values;
}

// A call whose first argument is a list or tuple of at least kRouseFrom elements is shared with
// the pool whatever the function (each element is 40 ns of work or more, and a map goes to the
// pool from 0.2 ms): a sleeping worker is woken before the arguments are converted (some 10 ns an
// element), so that its wake, 20 to 70 us on a virtual machine, overlaps the conversion instead
// of delaying the map. Never with one worker, whose calls compute on the calling thread.
inline constexpr Py_ssize_t kRouseFrom = 5000;

template <class First> void rouse_pool_for(PyObject* const* args, Py_ssize_t nargs) {
    if constexpr (std::is_same_v<First, std::vector<double>>) {
        if (nargs < 1) {
            return;
        }
        PyObject* first = args[0];
        const Py_ssize_t length = PyList_Check(first)    ? PyList_GET_SIZE(first)
                                  : PyTuple_Check(first) ? PyTuple_GET_SIZE(first)
                                                         : 0;
        parallel::Pool* pool = parallel::existing_global_pool();
        if (length >= kRouseFrom && pool != nullptr && pool->worker_count() >= 2) {
            pool->rouse();
        }
    }
}

// Converts, computes on plain doubles, builds the result. The computation runs without the
// interpreter lock when its work (estimated by Work from the converted arguments; always without
// an estimate) is large enough to be worth the hand-over.
template <const FunctionDescription& Description, auto Work, class R, class... Args>
BuildResult call_routine(R (*routine)(Args...), PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static_assert(sizeof...(Args) == Description.parameters.size(),
                  "one routine parameter per Python parameter");
    rouse_pool_for<std::remove_cvref_t<std::tuple_element_t<0, std::tuple<Args...>>>>(args, nargs);
    auto values =
        convert_arguments<Description, std::remove_cvref_t<Args>...>(args, nargs, kwnames);
    if (!values) {
        return std::unexpected(std::move(values.error()));
    }
    // The sequences' buffers, and the result's, serve this thread's next call.
    const KeepBuffers keep_arguments(*values);
    // From here to build_result the call touches no Python object: the routine's results and
    // errors (error.hpp) are plain C++ values until they are raised.
    bool release = true;
    if constexpr (!std::is_null_pointer_v<decltype(Work)>) {
        release = std::apply(Work, *values) >= kReleaseLockWork;
    }
    auto compute = [&] { return std::apply(routine, *values); };
    std::optional<ErrorValue> raised;
    // A list of floats as long as the first argument is made while the workers compute.
    constexpr bool kListOfFloats =
        std::is_same_v<R, Result<std::vector<double>>> &&
        std::is_same_v<std::tuple_element_t<0, std::tuple<std::remove_cvref_t<Args>...>>,
                       std::vector<double>>;
    PreparedFloats prepared([&]() -> std::size_t {
        if constexpr (kListOfFloats) {
            return std::get<0>(*values).size();
        } else {
            return 0;
        }
    }());
    std::optional<R> result;
    try {
        result.emplace(release ? without_interpreter_lock(compute, raised,
                                                          prepared.worth_it() ? &prepared : nullptr)
                               : compute());
    } catch (const std::exception&) { // rethrown with the lock held (std::bad_alloc)
        // Not catch (...): a thread's forced unwind passes here without the lock, and leaves the
        // floats to the finalising interpreter.
        prepared.drop();
        throw;
    }
    R& computed = *result;
    if (raised || !computed) {
        prepared.drop();
    }
    if (raised) {
        return std::unexpected(std::move(*raised));
    }
    if (!computed) {
        return std::unexpected(ErrorValue::from(computed.error()));
    }
    BuildResult built = [&] {
        if constexpr (kListOfFloats) {
            return prepared.finish(*computed);
        } else {
            return build_result(*computed);
        }
    }();
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(*computed)>, std::vector<double>>) {
        parallel::keep_buffer(std::move(*computed));
    }
    return built;
}

template <const FunctionDescription& Description, auto Routine, auto Work>
PyObject* fastcall_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guard_call(
        [&] { return call_routine<Description, Work>(Routine, args, nargs, kwnames); });
}

// "name(a, b, c)\n--\n\n": the text signature alone, from which the interpreter derives
// __text_signature__ "(a, b, c)" and a __doc__ of None.
template <const FunctionDescription& Description> constexpr std::size_t text_signature_size() {
    std::size_t size = Description.function_name.size() + 2 + 5 + 1; // "(", ")", "\n--\n\n", NUL
    for (std::size_t i = 0; i < Description.parameters.size(); ++i) {
        size += Description.parameters[i].size() + (i > 0 ? 2 : 0);
    }
    return size;
}

template <const FunctionDescription& Description> constexpr auto make_text_signature() {
    std::array<char, text_signature_size<Description>()> text{};
    std::size_t n = 0;
    auto append = [&](std::string_view part) {
        for (char c : part) {
            text[n++] = c;
        }
    };
    append(Description.function_name);
    append("(");
    for (std::size_t i = 0; i < Description.parameters.size(); ++i) {
        append(i > 0 ? ", " : "");
        append(Description.parameters[i]);
    }
    append(")\n--\n\n");
    return text;
}

template <const FunctionDescription& Description>
inline constexpr auto kTextSignature = make_text_signature<Description>();

} // namespace detail

// The method record of one Python function: its name, fast-call-with-keywords entry, flags
// METH_FASTCALL | METH_KEYWORDS and the text signature as its doc. The description's function name
// must be a string literal (it is handed on as a C string).
//
// No METH_STATIC: the C API reserves it for methods of classes, and on a module function it makes
// the interpreter hide the module (__self__ would be None instead of the module).
//
// `Work`, a function of the converted arguments (routines/work.hpp), estimates how many kernel
// evaluations the call makes; from kReleaseLockWork on, the routine runs without the interpreter
// lock. Without it (nullptr) the routine always does.
template <const FunctionDescription& Description, auto Routine, auto Work = nullptr>
PyMethodDef function_record() {
    using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    const Entry entry = &detail::fastcall_entry<Description, Routine, Work>;
    return PyMethodDef{Description.function_name.data(),
                       // The interpreter calls through the type the flags announce.
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
                       METH_FASTCALL | METH_KEYWORDS, detail::kTextSignature<Description>.data()};
}

} // namespace finitemu::boundary
