// The Python class DpTokenizer: argument conversion and result building
// around the core encoder. Segmentation of a batch runs without the
// interpreter lock.
#include "module/dp_tokenizer.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "encode/dp_tokenizer.hpp"
#include "module/args.hpp"
#include "module/errors.hpp"
#include "util/thread_pool.hpp"

namespace tarvex::py {

namespace {

struct DpObject {
  PyObject_HEAD
  tarvex::DpTokenizer* tok;  // owned; null only while construction fails
};

DpObject* as_dp(PyObject* self) { return reinterpret_cast<DpObject*>(self); }

// UTF-8 of a str, or nullopt with TypeError (a non-str) or the host's
// encoding error (unpaired surrogates) set.
std::optional<std::string_view> utf8_of(PyObject* obj, const char* argname) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object cannot be converted to 'PyString'", argname,
                 Py_TYPE(obj)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!s) return std::nullopt;
  return std::string_view(s, static_cast<size_t>(len));
}

PyObject* id_list(const std::vector<uint32_t>& ids) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    PyObject* v = PyLong_FromUnsignedLong(ids[i]);
    if (!v) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
  }
  return list.release();
}

PyObject* dp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const std::vector<ArgSpec> specs = {
        {"vocab_file", ArgKind::Str, true},
        {"unk_token", ArgKind::Object},
    };
    std::vector<ArgValue> values;
    if (!parse_args("DpTokenizer", args, kwargs, specs, values)) return nullptr;
    std::string unk = "<unk>";
    PyObject* unk_obj = arg(specs, values, "unk_token").object;
    if (unk_obj && unk_obj != Py_None) {
      auto s = utf8_of(unk_obj, "unk_token");
      if (!s) return nullptr;
      unk.assign(*s);
    }
    auto loaded = tarvex::DpTokenizer::load(arg(specs, values, "vocab_file").str, unk);
    if (!loaded) return raise_error(loaded.error());
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    as_dp(self.get())->tok = new tarvex::DpTokenizer(std::move(loaded).value());
    return self.release();
  });
}

void dp_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_dp(self)->tok;
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

PyObject* dp_encode(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const std::vector<ArgSpec> specs = {{"text", ArgKind::Object, true}};
    std::vector<ArgValue> values;
    if (!parse_args("encode", args, kwargs, specs, values)) return nullptr;
    auto text = utf8_of(values[0].object, "text");
    if (!text) return nullptr;
    return id_list(as_dp(self)->tok->encode(*text));
  });
}

// Copies every element of `seq` into `out`; false with TypeError set.
bool read_texts(PyObject* seq, std::vector<std::string>& out) {
  if (PyUnicode_Check(seq)) {
    PyErr_SetString(PyExc_TypeError, "argument 'texts': Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(seq)) {
    PyErr_Format(PyExc_TypeError, "argument 'texts': '%.200s' object cannot be converted to 'Sequence'",
                 Py_TYPE(seq)->tp_name);
    return false;
  }
  // The reported length only sizes the reservation (capped, since __len__
  // may report anything); the elements come from iteration, which is what
  // defines the sequence's contents.
  Py_ssize_t hint = PySequence_Size(seq);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  out.reserve(std::min(static_cast<size_t>(hint), size_t{1} << 16));
  PyRef it = PyRef::steal(PyObject_GetIter(seq));
  if (!it) return false;
  for (;;) {
    PyRef item = PyRef::steal(PyIter_Next(it.get()));
    if (!item) return !PyErr_Occurred();
    auto s = utf8_of(item.get(), "texts");
    if (!s) return false;
    out.emplace_back(*s);
  }
}

PyObject* dp_encode_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const std::vector<ArgSpec> specs = {{"texts", ArgKind::Object, true}};
    std::vector<ArgValue> values;
    if (!parse_args("encode_batch", args, kwargs, specs, values)) return nullptr;
    std::vector<std::string> texts;
    if (!read_texts(values[0].object, texts)) return nullptr;
    const tarvex::DpTokenizer& tok = *as_dp(self)->tok;
    // The texts are owned copies and the tokenizer is immutable, so nothing
    // the workers read can change while the lock is released.
    auto ids = without_gil([&] { return tok.encode_batch(texts, ThreadPool::global()); });
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < ids.size(); ++i) {
      PyObject* one = id_list(ids[i]);
      if (!one) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), one);
    }
    return list.release();
  });
}

PyMethodDef g_dp_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dp_encode)),
     METH_VARARGS | METH_KEYWORDS,
     "encode($self, text)\n--\n\n"
     "encode：返回 token id 列表（DP 最少 token，无法匹配时用 unk 兜底）"},
    {"encode_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dp_encode_batch)),
     METH_VARARGS | METH_KEYWORDS,
     "encode_batch($self, texts)\n--\n\n"
     "批量 encode：释放 GIL，适合大吞吐"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_dp_slots[] = {
    {Py_tp_doc, const_cast<char*>("DpTokenizer(vocab_file, unk_token=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(dp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dp_dealloc)},
    {Py_tp_methods, g_dp_methods},
    {0, nullptr},
};

PyType_Spec g_dp_spec = {"tarvex_rs.DpTokenizer", sizeof(DpObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                         g_dp_slots};

}  // namespace

PyObject* make_dp_tokenizer_type() { return PyType_FromSpec(&g_dp_spec); }

}  // namespace tarvex::py
