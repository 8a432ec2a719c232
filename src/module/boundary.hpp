#pragma once
#include <exception>
#include <new>

#include "lib/errors.hpp"
#include "module/errors.hpp"
#include "module/panic.hpp"

namespace quoranth::py {

// The single place where C++ exceptions become Python exceptions. Every entry
// from the interpreter runs its body through here, so no C++ exception ever
// crosses the C API; `failed` is what the entry returns with the error set.
template <typename Body, typename Result = decltype(std::declval<Body>()())>
Result guarded(Body&& body, Result failed = Result{}) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
    } catch (const ValueError& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const InternalFailure& failure) {
        set_panic(failure.what(), &failure.where());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        set_panic(error.what(), nullptr);
    } catch (...) {
        set_panic("unknown C++ exception", nullptr);
    }
    return failed;
}

}  // namespace quoranth::py
