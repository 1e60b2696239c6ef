// The one place where core errors become Python exceptions.
#pragma once

#include "module/py_ref.hpp"
#include "util/status.hpp"

namespace tarvex::py {

// Creates the exception class for fatal internal failures (derives directly
// from BaseException, so `except Exception` does not swallow it).
bool init_fatal_exception();

// An interruption (KeyboardInterrupt, SystemExit: a BaseException that is
// not an Exception) raised by user code while the core collects input must
// reach the caller as itself, not as a ValueError that `except ValueError`
// would swallow. The collector parks it here (taking the reference) and
// raise_error re-raises it in place of the chain it returned.
void park_interrupt(PyObject* exc);
void drop_parked_interrupt();

// Sets ValueError with the error chain joined by ": " (or re-raises a parked
// interruption); returns nullptr.
PyObject* raise_error(const Error& e);
PyObject* raise_value_error(const char* message);
PyObject* raise_fatal(const char* message);

// Runs `fn` (returning a new reference or nullptr with an exception set),
// turning a FatalError or an allocation failure that escapes the core into a
// Python exception instead of terminating the interpreter.
template <typename Fn>
PyObject* guarded(Fn&& fn) {
  drop_parked_interrupt();
  try {
    return fn();
  } catch (const FatalError& e) {
    return raise_fatal(e.what());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_fatal(e.what());
  }
}

}  // namespace tarvex::py
