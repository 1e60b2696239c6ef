#include "train/pipeline.hpp"

#include "log/logger.hpp"
#include "train/merge.hpp"
#include "train/preprocess.hpp"
#include "train/stats.hpp"
#include "train/train_single.hpp"

namespace tarvex {

Status train_prepared(Trainer& trainer) {
  if (trainer.config.multi_process) {
    log_info("init", "multiprocess path: skip single-thread rebuild_global_stats");
    return Error("multi-process training is not built yet");
  }
  lay_out_in_order(trainer.entries);
  rebuild_global_stats(trainer);
  train_single(trainer);
  return Status::ok();
}

Result<Trainer> train_from_word_counts(FlatMap<std::string, uint32_t>&& word_counts, size_t total_chars,
                                       const TrainConfig& config) {
  Trainer trainer;
  trainer.config = config;
  trainer.total_chars = total_chars;
  build_from_counted(trainer, std::move(word_counts));
  TARVEX_TRY(train_prepared(trainer));
  return trainer;
}

}  // namespace tarvex
