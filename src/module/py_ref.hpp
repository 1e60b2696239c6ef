// Owned reference to a Python object; the reference is released when the
// holder goes away, so early returns on error paths never leak.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarvex::py {

class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* o) { return PyRef(o); }
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) : p_(o) {}
  PyObject* p_ = nullptr;
};

// Runs `fn` with the interpreter lock released; `fn` must not touch Python.
template <typename Fn>
auto without_gil(Fn&& fn) {
  struct Released {
    PyThreadState* s = PyEval_SaveThread();
    ~Released() { PyEval_RestoreThread(s); }
  } released;
  return fn();
}

}  // namespace tarvex::py
