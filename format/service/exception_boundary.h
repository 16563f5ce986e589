// Where the platform calls into the library (exported functions, COM methods, thread procedures)
// no C++ exception may pass: the platform's frames cannot be unwound, and an exception that finds
// no handler ends the whole host process. These wrappers catch at such a boundary and turn the
// exception into the failure that boundary reports anyway.
#pragma once
#include <windows.h>

#include <new>

// For a COM method or an export with an HRESULT: the body's result, E_OUTOFMEMORY when memory ran
// out, E_UNEXPECTED for any other exception.
template <typename Body>
HRESULT HresultBoundary(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// For code that reports through the last error: true when the body ran to its end; false with
// ERROR_NOT_ENOUGH_MEMORY when memory ran out, ERROR_INTERNAL_ERROR for any other exception.
template <typename Body>
bool LastErrorBoundary(Body&& body) noexcept {
    try {
        body();
        return true;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        SetLastError(ERROR_INTERNAL_ERROR);
    }
    return false;
}
