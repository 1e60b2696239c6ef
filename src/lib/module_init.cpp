// Module initialisation: single-phase, created once per process and cached.
#include "module/dp_tokenizer.hpp"
#include "module/errors.hpp"
#include "module/py_ref.hpp"
#include "module/training.hpp"

#include <string_view>

namespace {

using tarvex::py::PyRef;

PyMethodDef g_methods[] = {
    {"train_to_hf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tarvex::py::train_to_hf)),
     METH_VARARGS | METH_KEYWORDS, tarvex::py::kTrainToHfDoc},
    {"train_to_hf_iter", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tarvex::py::train_to_hf_iter)),
     METH_VARARGS | METH_KEYWORDS, tarvex::py::kTrainToHfIterDoc},
    {"train_to_hf_parquet",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tarvex::py::train_to_hf_parquet)),
     METH_VARARGS | METH_KEYWORDS, tarvex::py::kTrainToHfParquetDoc},
    {"_run_worker", tarvex::py::run_worker, METH_NOARGS, tarvex::py::kRunWorkerDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef make_module_def() {
  PyModuleDef def{};
  def.m_base = PyModuleDef_HEAD_INIT;
  def.m_name = "tarvex_rs";
  def.m_doc = "Subword tokenizer that minimises tokens per character: training and minimum-token encoding.";
  // 0, not -1: a re-import then calls the init function again, which hands
  // back the one cached module instead of a copy of its dictionary.
  def.m_size = 0;
  return def;
}
PyModuleDef g_module = make_module_def();

PyObject* g_cached = nullptr;  // the one module object of this process

// Adds `value` (stolen) as attribute `name` and appends the name to __all__.
bool add_exported(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  PyRef v = PyRef::steal(value);
  if (!v) return false;
  PyRef n = PyRef::steal(PyUnicode_FromString(name));
  if (!n) return false;
  if (PyModule_AddObjectRef(module, name, v.get()) < 0) return false;
  return PyList_Append(all, n.get()) == 0;
}

PyObject* function(PyObject* module, const char* name) {
  for (PyMethodDef* m = g_methods; m->ml_name; ++m)
    if (std::string_view(m->ml_name) == name) {
      PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
      if (!module_name) return nullptr;
      return PyCFunction_NewEx(m, nullptr, module_name.get());
    }
  PyErr_Format(PyExc_SystemError, "no method %s", name);
  return nullptr;
}

}  // namespace

PyMODINIT_FUNC PyInit_tarvex_rs(void) {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "tarvex_rs does not support sub-interpreters");
    return nullptr;
  }
  if (g_cached) return Py_NewRef(g_cached);
  if (!tarvex::py::init_fatal_exception()) return nullptr;

  PyRef module = PyRef::steal(PyModule_Create(&g_module));
  if (!module) return nullptr;
  PyRef all = PyRef::steal(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;

  PyObject* m = module.get();
  if (!add_exported(m, all.get(), "__version__", PyUnicode_FromString("0.1.10")) ||
      !add_exported(m, all.get(), "END_TOKEN", PyUnicode_FromString("\xC4\xA0")) ||
      !add_exported(m, all.get(), "DpTokenizer", tarvex::py::make_dp_tokenizer_type()) ||
      !add_exported(m, all.get(), "train_to_hf", function(m, "train_to_hf")) ||
      !add_exported(m, all.get(), "train_to_hf_iter", function(m, "train_to_hf_iter")) ||
      !add_exported(m, all.get(), "train_to_hf_parquet", function(m, "train_to_hf_parquet")) ||
      !add_exported(m, all.get(), "_run_worker", function(m, "_run_worker")))
    return nullptr;

  g_cached = Py_NewRef(m);
  return module.release();
}
