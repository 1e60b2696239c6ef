// The three training entry points and the worker entry.
#pragma once

#include "module/py_ref.hpp"

namespace tarvex::py {

PyObject* train_to_hf(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* train_to_hf_iter(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* train_to_hf_parquet(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* run_worker(PyObject* self, PyObject* unused);

extern const char kTrainToHfDoc[];
extern const char kTrainToHfIterDoc[];
extern const char kTrainToHfParquetDoc[];
extern const char kRunWorkerDoc[];

}  // namespace tarvex::py
