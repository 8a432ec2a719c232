#pragma once
#include <source_location>
#include <stdexcept>
#include <string>

namespace quoranth {

// A value refused by the engine's own validation (bad price, bad quantity).
// The binding layer reports it as Python's ValueError with the message as is.
class ValueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failure that should never happen in a sound process: a broken book
// invariant, a failing random source, a clock before 1970. The binding layer
// reports it as PanicException after writing a diagnostic that names `where`.
class InternalFailure : public std::runtime_error {
public:
    InternalFailure(const std::string& message, std::source_location where)
        : std::runtime_error(message), where_(where) {}
    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

[[noreturn]] inline void fail_internal(const std::string& message,
                                       std::source_location where = std::source_location::current()) {
    throw InternalFailure(message, where);
}

}  // namespace quoranth
