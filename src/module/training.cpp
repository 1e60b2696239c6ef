#include "module/training.hpp"

#include <algorithm>

#include "export/writer.hpp"
#include "module/corpus_sources.hpp"
#include "module/errors.hpp"
#include "module/train_options.hpp"
#include "train/corpus_reader.hpp"
#include "train/pipeline.hpp"
#include "train/preprocess.hpp"

namespace tarvex::py {

#define TARVEX_COMMON_TAIL                                                                                     \
  "n_min=2, forbid_punct_word_mix=False, forbid_punct_tokens=False, allow_space_punct_tokens=False, "          \
  "allow_abbrev_tokens=False, allow_hyphen_tokens=False, allow_word_final_punct_tokens=False, "               \
  "allow_apostrophe_tokens=False, allow_cross_word_punct_word_mix_tokens=False, cross_word_start_vocab=0, "   \
  "max_token_words=0, forbid_incomplete_cross_word=False)\n--\n\n"

const char kTrainToHfDoc[] =
    "train_to_hf(corpus_file, out_dir, num_merges=50000, aim_token_num=20000, n_max=6, max_token_chars=0, "
    "num_workers=0, multi_process=False, use_heap=False, " TARVEX_COMMON_TAIL;
const char kTrainToHfIterDoc[] =
    "train_to_hf_iter(texts, out_dir, num_merges=50000, aim_token_num=20000, n_max=6, max_token_chars=0, "
    "num_workers=0, multi_process=False, use_heap=False, max_docs=0, chunk_size=4096, " TARVEX_COMMON_TAIL;
const char kTrainToHfParquetDoc[] =
    "train_to_hf_parquet(parquet_path, out_dir, text_column='text', max_docs=0, batch_size=8192, recursive=True, "
    "num_merges=50000, aim_token_num=20000, n_max=6, max_token_chars=0, num_workers=0, multi_process=False, "
    "use_heap=False, chunk_size=4096, " TARVEX_COMMON_TAIL;
const char kRunWorkerDoc[] =
    "_run_worker()\n--\n\n"
    "worker \xE5\x85\xA5\xE5\x8F\xA3\xEF\xBC\x9A\xE4\xBE\x9B multi-process "
    "\xE8\xAE\xAD\xE7\xBB\x83\xE6\x97\xB6\xE5\xAD\x90\xE8\xBF\x9B\xE7\xA8\x8B\xE8\xB0\x83\xE7\x94\xA8"
    "\xEF\xBC\x88\xE4\xB8\x8D\xE8\xA6\x81\xE5\x9C\xA8\xE6\x99\xAE\xE9\x80\x9A\xE4\xBB\xA3\xE7\xA0\x81"
    "\xE9\x87\x8C\xE7\x9B\xB4\xE6\x8E\xA5\xE7\x94\xA8\xEF\xBC\x89";

#undef TARVEX_COMMON_TAIL

namespace {

// Chunk slots allocated up front by the iterable path and the parquet path.
constexpr uint64_t kMaxReservedSlots = 1048576;
constexpr uint64_t kParquetReservedSlots = 8192;

// Trains a filled trainer and writes out_dir; export comes last so that a
// failed training leaves out_dir untouched.
Status train_and_export(Trainer& trainer, const std::string& out_dir) {
  TARVEX_TRY(train_prepared(trainer));
  return write_tokenizer_dir(trainer.vocab.id_to_token, out_dir);
}

}  // namespace

PyObject* train_to_hf(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const std::vector<ArgSpec> specs = train_arg_specs(Source::File);
    std::vector<ArgValue> v;
    if (!parse_args("train_to_hf", args, kwargs, specs, v)) return nullptr;
    if (!validate_config(specs, v, false)) return nullptr;
    const std::string& corpus_file = arg(specs, v, "corpus_file").str;
    const std::string& out_dir = arg(specs, v, "out_dir").str;

    Trainer trainer;
    trainer.config = make_config(specs, v);
    WorkerEnvGuard env(trainer.config.multi_process);

    Result<CorpusLines> corpus = read_corpus_file(corpus_file);
    if (!corpus) return raise_error(corpus.error());
    trainer.total_chars = corpus->total_chars;
    Status st = build_vocab_mp(trainer, corpus->lines);
    if (!st) return raise_error(st.error());
    std::vector<std::string>().swap(corpus->lines);  // the entries hold the corpus now
    st = train_and_export(trainer, out_dir);
    if (!st) return raise_error(st.error());
    Py_RETURN_NONE;
  });
}

namespace {

// The part the iterable and parquet entries share once their arguments are
// checked: the counting pool (built before MP_PY_WORKER is touched), the
// collection through `collect(TextCollector&)`, then training and export.
// `reserve_cap` bounds the slots reserved before the first text arrives,
// however large chunk_size is.
template <typename Collect>
PyObject* collect_and_train(const std::vector<ArgSpec>& specs, const std::vector<ArgValue>& v, uint64_t reserve_cap,
                            const char* empty_message, Collect&& collect) {
  const std::string& out_dir = arg(specs, v, "out_dir").str;
  const uint64_t chunk_size = arg(specs, v, "chunk_size").count;
  TrainConfig config = make_config(specs, v);

  std::unique_ptr<ThreadPool> pool = build_counting_pool(config.num_workers);
  if (!pool) return nullptr;
  WorkerEnvGuard env(config.multi_process);
  TextCollector collector(*pool, arg(specs, v, "max_docs").count, chunk_size, std::min(chunk_size, reserve_cap));
  Status st = collect(collector);
  if (!st) return raise_error(st.error());
  st = train_collected(collector, config, out_dir, empty_message);
  if (!st) return raise_error(st.error());
  Py_RETURN_NONE;
}

}  // namespace

PyObject* train_to_hf_iter(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const std::vector<ArgSpec> specs = train_arg_specs(Source::Iter);
    std::vector<ArgValue> v;
    if (!parse_args("train_to_hf_iter", args, kwargs, specs, v)) return nullptr;
    if (!validate_config(specs, v, true)) return nullptr;
    PyObject* texts = arg(specs, v, "texts").object;
    return collect_and_train(specs, v, kMaxReservedSlots, "no training texts (empty iterator?)",
                             [&](TextCollector& collector) { return collect_iterable(texts, collector); });
  });
}

PyObject* train_to_hf_parquet(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const std::vector<ArgSpec> specs = train_arg_specs(Source::Parquet);
    std::vector<ArgValue> v;
    if (!parse_args("train_to_hf_parquet", args, kwargs, specs, v)) return nullptr;
    // A missing pyarrow and a dataset pyarrow cannot open are reported before
    // the options are checked.
    PyRef batches = open_parquet_batches(arg(specs, v, "parquet_path").str, arg(specs, v, "recursive").flag,
                                         arg(specs, v, "text_column").str, arg(specs, v, "batch_size").count);
    if (!batches) return nullptr;
    if (!validate_config(specs, v, true)) return nullptr;
    // Batches arrive a few thousand rows at a time; the chunk grows from there.
    return collect_and_train(specs, v, kParquetReservedSlots, "no training texts read from parquet",
                             [&](TextCollector& collector) {
                               Status st = collect_parquet(batches.get(), collector);
                               batches = PyRef();  // pyarrow's readers and their buffers go before training
                               return st;
                             });
  });
}

PyObject* run_worker(PyObject*, PyObject*) {
  return raise_value_error("_run_worker: multi-process workers are not built yet");
}

}  // namespace tarvex::py
