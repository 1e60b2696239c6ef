#include "module/errors.hpp"

namespace tarvex::py {

namespace {
PyObject* g_fatal = nullptr;  // owned for the life of the process
}

bool init_fatal_exception() {
  if (g_fatal) return true;
  g_fatal = PyErr_NewExceptionWithDoc("tarvex_rs.PanicException",
                                      "A fatal internal failure of tarvex_rs (not caught by `except Exception`).",
                                      PyExc_BaseException, nullptr);
  return g_fatal != nullptr;
}

namespace {
PyObject* g_parked = nullptr;  // guarded by the interpreter lock
}

void park_interrupt(PyObject* exc) {
  Py_XSETREF(g_parked, exc);
}

void drop_parked_interrupt() { Py_CLEAR(g_parked); }

PyObject* raise_error(const Error& e) {
  if (g_parked) {
    PyErr_SetRaisedException(g_parked);
    g_parked = nullptr;
    return nullptr;
  }
  std::string msg = e.joined();
  PyErr_SetString(PyExc_ValueError, msg.c_str());
  return nullptr;
}

PyObject* raise_value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return nullptr;
}

PyObject* raise_fatal(const char* message) {
  PyErr_SetString(g_fatal ? g_fatal : PyExc_SystemError, message);
  return nullptr;
}

}  // namespace tarvex::py
