// Argument tables of the training functions and their conversion into a
// TrainConfig, shared by every entry point.
#pragma once

#include <vector>

#include "module/args.hpp"
#include "train/config.hpp"

namespace tarvex::py {

// What the caller passes first: a corpus file, an iterable or a parquet path.
enum class Source { File, Iter, Parquet };

std::vector<ArgSpec> train_arg_specs(Source source);

TrainConfig make_config(const std::vector<ArgSpec>& specs, const std::vector<ArgValue>& values);

// The checks every training function makes after conversion; returns false
// with ValueError set. `check_chunk_size` for the iterable and parquet paths.
bool validate_config(const std::vector<ArgSpec>& specs, const std::vector<ArgValue>& values, bool check_chunk_size);

// Saves MP_PY_WORKER, sets it to "1" (multi-process) or removes it, and puts
// the saved value back (or removes it) when dropped, whatever the outcome.
class WorkerEnvGuard {
 public:
  explicit WorkerEnvGuard(bool multi_process);
  ~WorkerEnvGuard();
  WorkerEnvGuard(const WorkerEnvGuard&) = delete;
  WorkerEnvGuard& operator=(const WorkerEnvGuard&) = delete;

 private:
  bool had_ = false;
  std::string saved_;
};

}  // namespace tarvex::py
