// The corpus sources of train_to_hf_iter and train_to_hf_parquet: Python
// iterables and pyarrow batches read into a TextCollector, with the
// interpreter lock released while a chunk is counted.
#pragma once

#include <memory>
#include <string>

#include "module/py_ref.hpp"
#include "train/config.hpp"
#include "train/text_collector.hpp"
#include "util/status.hpp"
#include "util/thread_pool.hpp"

namespace tarvex::py {

// Takes the pending Python exception and renders it as "TypeName: message",
// so that it can travel inside an error chain.
Error python_error();

// The pool that counts chunks: `num_workers` threads, or one per logical
// processor for 0. Returns nullptr with ValueError set when it cannot be
// built.
std::unique_ptr<ThreadPool> build_counting_pool(size_t num_workers);

// Reads every text of `texts` (any iterable of str) into `collector`, until
// the iterable is exhausted or the collector's max_docs is reached.
Status collect_iterable(PyObject* texts, TextCollector& collector);

// Imports pyarrow.dataset, chooses the source (the parquet files directly in
// `path` when `recursive` is false and it is a directory; `path` itself
// otherwise), builds the dataset and its scanner and returns the result of
// to_batches(). Returns an empty holder with an exception set on failure:
// ValueError for a missing pyarrow or a failed or empty listing, pyarrow's
// own exception for everything pyarrow raises.
PyRef open_parquet_batches(const std::string& path, bool recursive, const std::string& text_column,
                           uint64_t batch_size);

// Reads the column values of every batch into `collector`, skipping None,
// until the batches run out or the collector's max_docs is reached.
Status collect_parquet(PyObject* batches, TextCollector& collector);

// Counts what is still pending, trains on the collected counts and writes
// `out_dir`. Fails with `empty_message` when no text was kept.
Status train_collected(TextCollector& collector, const TrainConfig& config, const std::string& out_dir,
                       const char* empty_message);

}  // namespace tarvex::py
