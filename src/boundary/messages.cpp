#include "boundary/messages.hpp"

#include <cerrno>
#include <cstring>

namespace finitemu::boundary::messages {

namespace {

std::string call_name(std::string_view function) {
    std::string name(function);
    name += "()";
    return name;
}

// An errno value as the cause of a failed pool start, e.g.
// IOError(Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }).
std::string describe_os_error(int code) {
    const char* kind = "Uncategorized";
    switch (code) {
    case EAGAIN:
        kind = "WouldBlock";
        break;
    case ENOMEM:
        kind = "OutOfMemory";
        break;
    case EPERM:
    case EACCES:
        kind = "PermissionDenied";
        break;
    case EINVAL:
        kind = "InvalidInput";
        break;
    default:
        break;
    }
    char buffer[256];
    const char* message = strerror_r(code, buffer, sizeof buffer); // GNU variant
    return "IOError(Os { code: " + std::to_string(code) + ", kind: " + kind + ", message: \"" +
           message + "\" })";
}

constexpr const char* kPoolNotInitialized =
    "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: ";

} // namespace

std::string too_many_positional(std::string_view function, std::size_t parameters,
                                std::size_t given) {
    return call_name(function) + " takes " + std::to_string(parameters) +
           " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
           " given";
}

std::string multiple_values(std::string_view function, std::string_view parameter) {
    std::string message = call_name(function) + " got multiple values for argument '";
    message += parameter;
    message += "'";
    return message;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string missing_arguments(std::string_view function, std::span<const std::string_view> names) {
    std::string message = call_name(function) + " missing " + std::to_string(names.size()) +
                          " required positional " +
                          (names.size() == 1 ? "argument: " : "arguments: ");
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            message += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        }
        message += "'";
        message += names[i];
        message += "'";
    }
    return message;
}

std::string not_an_instance(bool is_none, std::string_view type_name, std::string_view class_name) {
    std::string message = "'";
    if (is_none) {
        message += "None' is not an instance of '";
    } else {
        message += type_name;
        message += "' object is not an instance of '";
    }
    message += class_name;
    message += "'";
    return message;
}

std::string while_processing(std::string_view parameter) {
    std::string note = "while processing '";
    note += parameter;
    note += "'";
    return note;
}

std::string internal_failure(const Error& error) {
    switch (error.kind) {
    case ErrorKind::numeric:
        return error.message != nullptr ? error.message : "";
    case ErrorKind::flux_map_lengths:
        return "assertion `left == right` failed\n  left: " + std::to_string(error.first) +
               "\n right: " + std::to_string(error.second);
    case ErrorKind::pool_start:
        return kPoolNotInitialized + describe_os_error(static_cast<int>(error.first)) + " }";
    case ErrorKind::pool_unavailable:
        return std::string(kPoolNotInitialized) + "GlobalPoolAlreadyInitialized }";
    case ErrorKind::incomplete_map:
        return "expected " + std::to_string(error.first) + " total writes, but got " +
               std::to_string(error.second);
    case ErrorKind::out_of_memory:
        return "std::bad_alloc";
    case ErrorKind::interrupted:
        return "the call was interrupted";
    case ErrorKind::item_exception:
        break;
    }
    return kUnknownCppException;
}

} // namespace finitemu::boundary::messages
