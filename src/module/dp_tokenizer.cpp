#include "module/dp_tokenizer.hpp"

namespace tarvex::py {

namespace {

PyObject* dp_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_ValueError, "DpTokenizer is not built yet");
  return nullptr;
}

PyTypeObject g_type = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "tarvex_rs.DpTokenizer";
  t.tp_basicsize = sizeof(PyObject);
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_doc = "DpTokenizer(vocab_file, unk_token=None)\n--\n\n";
  t.tp_new = dp_new;
  return t;
}();

}  // namespace

PyObject* make_dp_tokenizer_type() {
  if (PyType_Ready(&g_type) < 0) return nullptr;
  Py_INCREF(&g_type);
  return reinterpret_cast<PyObject*>(&g_type);
}

}  // namespace tarvex::py
