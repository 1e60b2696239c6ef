#include "export/writer.hpp"

namespace tarvex {

Status write_tokenizer_dir(const std::vector<std::string>&, const std::string&) {
  return Error("export is not built yet");
}

}  // namespace tarvex
