#include "module/args.hpp"

#include <cstring>

namespace tarvex::py {

namespace {

bool convert(const char* func, const ArgSpec& param, PyObject* obj, ArgValue& out) {
  switch (param.kind) {
    case ArgKind::Object:
      out.object = obj;
      return true;
    case ArgKind::Str: {
      if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", func, param.name,
                     Py_TYPE(obj)->tp_name);
        return false;
      }
      Py_ssize_t len = 0;
      const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
      if (!s) return false;
      out.str.assign(s, static_cast<size_t>(len));
      return true;
    }
    case ArgKind::Bool:
      if (!PyBool_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be bool, not %.200s", func, param.name,
                     Py_TYPE(obj)->tp_name);
        return false;
      }
      out.flag = obj == Py_True;
      return true;
    case ArgKind::Count: {
      if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int, not %.200s", func, param.name,
                     Py_TYPE(obj)->tp_name);
        return false;
      }
      int sign = _PyLong_Sign(obj);
      if (sign < 0) {
        PyErr_Format(PyExc_OverflowError, "%s() argument '%s' must be a non-negative int", func, param.name);
        return false;
      }
      unsigned long long v = PyLong_AsUnsignedLongLong(obj);
      if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "%s() argument '%s' is too large", func, param.name);
        return false;
      }
      out.count = v;
      return true;
    }
  }
  return false;
}

}  // namespace

bool parse_args(const char* func, PyObject* args, PyObject* kwargs, const std::vector<ArgSpec>& specs,
                std::vector<ArgValue>& out) {
  Py_ssize_t npos = args ? PyTuple_GET_SIZE(args) : 0;
  if (static_cast<size_t>(npos) > specs.size()) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional arguments (%zd given)", func, specs.size(),
                 npos);
    return false;
  }
  std::vector<PyObject*> given(specs.size(), nullptr);
  for (Py_ssize_t i = 0; i < npos; ++i) given[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
      if (!k) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", func);
        return false;
      }
      size_t idx = specs.size();
      for (size_t i = 0; i < specs.size(); ++i)
        if (std::strcmp(specs[i].name, k) == 0) idx = i;
      if (idx == specs.size()) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", func, k);
        return false;
      }
      if (given[idx]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func, k);
        return false;
      }
      given[idx] = value;
    }
  }
  out.assign(specs.size(), ArgValue{});
  for (size_t i = 0; i < specs.size(); ++i) {
    const ArgSpec& param = specs[i];
    if (!given[i]) {
      if (param.required) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", func, param.name);
        return false;
      }
      out[i].count = param.def_count;
      out[i].flag = param.def_bool;
      if (param.def_str) out[i].str = param.def_str;
      continue;
    }
    if (!convert(func, param, given[i], out[i])) return false;
  }
  return true;
}

const ArgValue& arg(const std::vector<ArgSpec>& specs, const std::vector<ArgValue>& values, const char* name) {
  for (size_t i = 0; i < specs.size(); ++i)
    if (std::strcmp(specs[i].name, name) == 0) return values[i];
  static const ArgValue none;
  return none;
}

}  // namespace tarvex::py
