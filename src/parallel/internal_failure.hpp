// InternalFailure: a failure that abandons a whole call (a broken consistency check, a Python
// object that cannot be created, a worker pool that cannot start). It carries only its message;
// the Python boundary raises it as the module's internal-failure exception.
#pragma once

#include <string>

namespace finitemu {

struct InternalFailure {
    std::string message;
};

} // namespace finitemu
