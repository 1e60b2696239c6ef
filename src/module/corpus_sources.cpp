#include "module/corpus_sources.hpp"

#include <vector>

#include "export/writer.hpp"
#include "module/errors.hpp"
#include "train/parquet_listing.hpp"
#include "train/pipeline.hpp"

namespace tarvex::py {

namespace {

// UTF-8 text of a str object, as std::string (never fails: surrogates are
// escaped, since this only feeds error messages).
std::string lossy_utf8(PyObject* s) {
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(s, "utf-8", "backslashreplace"));
  if (!bytes) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

Error not_str_error(const char* what, PyObject* value) {
  return Error(std::string("TypeError: ") + what + ", not " + Py_TYPE(value)->tp_name);
}

// Admits one str. An ASCII str lends its own bytes; any other is encoded
// into a temporary, because asking CPython for its cached UTF-8 form would
// attach a copy to every text of the caller's list and grow it for good.
Result<bool> admit_str(PyObject* s, TextCollector& collector) {
  bool more;
  if (PyUnicode_IS_ASCII(s)) {
    more = collector.admit(std::string_view(static_cast<const char*>(PyUnicode_DATA(s)),
                                            static_cast<size_t>(PyUnicode_GET_LENGTH(s))));
  } else {
    // Fails for lone surrogates, which have no UTF-8 form.
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(s));
    if (!bytes) return python_error();
    more = collector.admit(
        std::string_view(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()))));
  }
  if (!more) return false;
  // The collector owns copies of the texts, so nothing Python is touched
  // while the lock is released.
  if (collector.chunk_full()) without_gil([&] { collector.flush_chunk(); });
  return true;
}

// Converts one batch's to_pylist() result into references to its non-None
// values, checking every value before any is admitted.
Status batch_values(PyObject* list, std::vector<PyRef>& out) {
  out.clear();
  if (PyUnicode_Check(list) || !PySequence_Check(list))
    return not_str_error("to_pylist() must return a sequence of str or None", list);
  PyRef seq = PyRef::steal(PySequence_Fast(list, "to_pylist() must return a sequence"));
  if (!seq) return python_error();
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  PyObject** items = PySequence_Fast_ITEMS(seq.get());
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* v = items[i];
    if (v == Py_None) continue;
    if (!PyUnicode_Check(v)) return not_str_error("parquet column values must be str or None", v);
    // Own references: the list may change while a chunk is counted without
    // the lock, the str objects may not.
    out.push_back(PyRef::borrow(v));
  }
  return Status::ok();
}

PyRef str_of(const std::string& s) {
  return PyRef::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// The dataset source: a list of the parquet files directly in `path`, or
// `path` itself for pyarrow to discover files in.
PyRef parquet_source(const std::string& path, bool recursive) {
  if (recursive || !is_directory(path)) return str_of(path);
  Result<std::vector<std::string>> files = list_parquet_files(path);
  if (!files) {
    raise_error(files.error());
    return {};
  }
  if (files->empty()) {
    raise_value_error("no .parquet files found (recursive=false)");
    return {};
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(files->size())));
  if (!list) return {};
  for (size_t i = 0; i < files->size(); ++i) {
    // Names come from the file system and need not be UTF-8.
    const std::string& f = (*files)[i];
    PyObject* s = PyUnicode_DecodeFSDefaultAndSize(f.data(), static_cast<Py_ssize_t>(f.size()));
    if (!s) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list;
}

// Calls obj.name(*args, **kwargs) for a tuple and a dict built by the caller.
PyRef call_method(PyObject* obj, const char* name, PyObject* args, PyObject* kwargs) {
  PyRef fn = PyRef::steal(PyObject_GetAttrString(obj, name));
  if (!fn) return {};
  return PyRef::steal(PyObject_Call(fn.get(), args, kwargs));
}

bool set_item(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

}  // namespace

Error python_error() {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return Error("unknown Python error");
  if (!PyObject_IsInstance(exc.get(), PyExc_Exception)) {
    park_interrupt(Py_NewRef(exc.get()));
    return Error(std::string(Py_TYPE(exc.get())->tp_name) + ": interrupted");
  }
  std::string type = "<unknown>";
  if (PyRef q = PyRef::steal(PyType_GetQualName(Py_TYPE(exc.get()))))
    type = lossy_utf8(q.get());
  else
    PyErr_Clear();
  std::string message = "<exception str() failed>";
  if (PyRef s = PyRef::steal(PyObject_Str(exc.get())))
    message = lossy_utf8(s.get());
  else
    PyErr_Clear();
  return Error(type + ": " + message);
}

std::unique_ptr<ThreadPool> build_counting_pool(size_t num_workers) {
  try {
    return build_pool(resolve_threads(num_workers), "build rayon pool failed");
  } catch (const FatalError& e) {
    raise_value_error(e.what());
  } catch (const std::exception& e) {
    // A thread count too large to even reserve for.
    raise_value_error((std::string("build rayon pool failed: ") + e.what()).c_str());
  }
  return nullptr;
}

Status collect_iterable(PyObject* texts, TextCollector& collector) {
  PyRef it = PyRef::steal(PyObject_GetIter(texts));
  if (!it) return python_error();
  for (;;) {
    PyRef item = PyRef::steal(PyIter_Next(it.get()));
    if (!item) {
      if (PyErr_Occurred()) return python_error();
      return Status::ok();
    }
    if (!PyUnicode_Check(item.get())) return not_str_error("texts must yield str", item.get());
    Result<bool> more = admit_str(item.get(), collector);
    if (!more) return std::move(more).error();
    if (!*more) return Status::ok();
  }
}

PyRef open_parquet_batches(const std::string& path, bool recursive, const std::string& text_column,
                           uint64_t batch_size) {
  PyRef ds = PyRef::steal(PyImport_ImportModule("pyarrow.dataset"));
  if (!ds) {
    PyErr_Clear();
    raise_value_error("pyarrow is required for parquet: pip install pyarrow");
    return {};
  }
  PyRef source = parquet_source(path, recursive);
  if (!source) return {};

  PyRef args = PyRef::steal(PyTuple_Pack(1, source.get()));
  PyRef kwargs = PyRef::steal(PyDict_New());
  if (!args || !kwargs || !set_item(kwargs.get(), "format", PyRef::steal(PyUnicode_FromString("parquet"))))
    return {};
  PyRef dataset = call_method(ds.get(), "dataset", args.get(), kwargs.get());
  if (!dataset) return {};

  PyRef no_args = PyRef::steal(PyTuple_New(0));
  PyRef columns = PyRef::steal(PyList_New(1));
  PyRef scan_kwargs = PyRef::steal(PyDict_New());
  if (!no_args || !columns || !scan_kwargs) return {};
  PyRef column = str_of(text_column);
  if (!column) return {};
  PyList_SET_ITEM(columns.get(), 0, column.release());
  // pyarrow rejects a batch size of 0; the smallest batch it takes is 1.
  if (!set_item(scan_kwargs.get(), "columns", std::move(columns)) ||
      !set_item(scan_kwargs.get(), "batch_size",
                PyRef::steal(PyLong_FromUnsignedLongLong(batch_size ? batch_size : 1))) ||
      !set_item(scan_kwargs.get(), "use_threads", PyRef::borrow(Py_True)))
    return {};
  PyRef scanner = call_method(dataset.get(), "scanner", no_args.get(), scan_kwargs.get());
  if (!scanner) return {};
  return call_method(scanner.get(), "to_batches", no_args.get(), nullptr);
}

Status collect_parquet(PyObject* batches, TextCollector& collector) {
  PyRef it = PyRef::steal(PyObject_GetIter(batches));
  if (!it) return python_error();
  std::vector<PyRef> values;
  for (;;) {
    PyRef batch = PyRef::steal(PyIter_Next(it.get()));
    if (!batch) {
      if (PyErr_Occurred()) return python_error();
      return Status::ok();
    }
    // The scanner projects only the text column, so it is column 0.
    PyRef column = PyRef::steal(PyObject_CallMethod(batch.get(), "column", "i", 0));
    if (!column) return python_error();
    PyRef list = PyRef::steal(PyObject_CallMethod(column.get(), "to_pylist", nullptr));
    if (!list) return python_error();
    TARVEX_TRY(batch_values(list.get(), values));
    for (const PyRef& v : values) {
      Result<bool> more = admit_str(v.get(), collector);
      if (!more) return std::move(more).error();
      if (!*more) return Status::ok();
    }
  }
}

Status train_collected(TextCollector& collector, const TrainConfig& config, const std::string& out_dir,
                       const char* empty_message) {
  without_gil([&] { collector.flush_chunk(); });
  if (collector.word_counts().size() == 0) return Error(empty_message);
  Result<Trainer> trainer = train_from_word_counts(collector.take_word_counts(), collector.total_chars(), config);
  if (!trainer) return std::move(trainer).error();
  return write_tokenizer_dir(trainer->vocab.id_to_token, out_dir);
}

}  // namespace tarvex::py
