#pragma once
// Errors of the binding and the one exception boundary. Inside an entry,
// failures travel as C++ exceptions; `guarded` turns each into the Python
// exception it stands for, so no C++ exception ever crosses the C API.
#include <exception>
#include <new>

#include "lib/errors.hpp"
#include "module/access_flag.hpp"
#include "module/py_ref.hpp"

namespace quoranth::py {

// Thrown when a Python exception is already set; the boundary returns the
// entry's failure value and the interpreter raises it.
struct PythonError {};

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

// Raises `type` with the text of `message` (a new reference, may be null:
// then the error from building it is what stays set).
[[noreturn]] inline void raise(PyObject* type, OwnedRef message) {
    if (message) PyErr_SetObject(type, message.get());
    throw PythonError{};
}

// A new reference from the C API, or throw if it signalled an error.
inline OwnedRef checked(PyObject* result) {
    if (result == nullptr) throw PythonError{};
    return OwnedRef::steal(result);
}

// An object made once and kept for the process (a name, a class): made on
// first use, and if making it fails, the error is raised and the next call
// tries again, rather than every later call failing without an error set.
template <typename Make>
PyObject* kept(PyObject*& slot, Make&& make) {
    if (slot == nullptr) slot = checked(make()).release();
    return slot;
}

// TypeError "'<qualname of the object's class>' object cannot be converted to '<target>'".
[[noreturn]] void raise_conversion_error(PyObject* object, const char* target);

// Sets PanicException(message) after writing a diagnostic to standard error
// that names where the failure happened (when known).
void set_panic(const char* message, const std::source_location* where) noexcept;

// The first C++ exception a thread throws sets up the runtime's per-thread
// exception state, whose memory the C library allocates on first use. Were
// that first exception an out-of-memory error, that allocation would fail too,
// and the C library would end the process on the spot instead of the call
// raising MemoryError. So a thread sets the state up on its first call.
inline thread_local bool exceptions_ready = false;
void prepare_exceptions() noexcept;

// Not noexcept, and neither are the entries that call it: when a daemon
// thread takes the interpreter lock back during shutdown (after a hook or a
// wait for a flag), the interpreter ends it by unwinding its stack (a forced
// unwind, as pthread_exit does). That unwind reaches the last handler with no
// thread state, and must pass on through the module's frames, releasing what
// they hold, rather than become an exception set with no thread state.
template <typename Body, typename Result = decltype(std::declval<Body>()())>
Result guarded(Body&& body, Result failed = Result{}) {
    if (!exceptions_ready) [[unlikely]] prepare_exceptions();
    try {
        return body();
    } catch (const PythonError&) {
    } catch (const Busy& busy) {
        PyErr_SetString(PyExc_RuntimeError, busy.refusal());
    } catch (const ValueError& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const InternalFailure& failure) {
        set_panic(failure.what(), &failure.where());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        set_panic(error.what(), nullptr);
    } catch (...) {
        if (PyThreadState_GetUnchecked() == nullptr) throw;  // the thread is being ended
        set_panic("unknown C++ exception", nullptr);
    }
    return failed;
}

}  // namespace quoranth::py
