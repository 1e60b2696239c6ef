#include "export/writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

#include "export/json_text.hpp"
#include "export/module_text.hpp"
#include "export/readme_text.hpp"
#include "train/vocab.hpp"
#include "util/utf8.hpp"

namespace tarvex {

namespace {

std::string os_error(int err) {
  return std::error_code(err, std::generic_category()).message() + " (os error " + std::to_string(err) + ")";
}

int special_rank(std::string_view token) {
  for (int r = 0; r < 5; ++r)
    if (token == kSpecialTokens[r]) return r;
  return -1;
}

std::string vocab_json(const std::vector<std::string_view>& order) {
  // Members are listed in byte-wise order of the names, not in id order.
  std::vector<std::pair<std::string_view, uint32_t>> members;
  members.reserve(order.size());
  for (size_t id = 0; id < order.size(); ++id) members.emplace_back(order[id], static_cast<uint32_t>(id));
  std::sort(members.begin(), members.end());
  return json_pretty_counts(members);
}

JsonValue str(std::string s) { return JsonValue{std::move(s)}; }

std::string tokenizer_config_json() {
  JsonValue auto_tokenizer{JsonValue::Array{str("tokenization_tarvex.Tarvex"), JsonValue{nullptr}}};
  return json_pretty(JsonValue{JsonValue::Object{
      {"auto_map", JsonValue{JsonValue::Object{{"AutoTokenizer", std::move(auto_tokenizer)}}}},
      {"bos_token", str("<s>")},
      {"eos_token", str("</s>")},
      {"mask_token", str("<mask>")},
      {"model_max_length", JsonValue{uint64_t{1000000000}}},
      {"pad_token", str("<pad>")},
      {"tokenizer_class", str("Tarvex")},
      {"unk_token", str("<unk>")},
  }});
}

std::string special_tokens_map_json() {
  return json_pretty(JsonValue{JsonValue::Object{
      {"bos_token", str("<s>")},
      {"eos_token", str("</s>")},
      {"mask_token", str("<mask>")},
      {"pad_token", str("<pad>")},
      {"unk_token", str("<unk>")},
  }});
}

struct OutFile {
  std::string_view name;
  std::string_view bytes;
};

std::string join(const std::string& dir, std::string_view name) {
  std::string out = dir;
  if (out.back() != '/') out += '/';
  out += name;
  return out;
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Creates `path` with its bytes and flushes it to stable storage, so that a
// rename over an older file never exposes a file that is not fully on disk.
// `shown` is the name errors report.
Status write_new_file(const std::string& path, std::string_view bytes, const std::string& shown) {
  Fd f;
  f.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (f.fd < 0) return Error(os_error(errno)).wrap("create " + shown);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(f.fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error(os_error(errno)).wrap("write " + shown);
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(f.fd) != 0 && errno != EINVAL && errno != EROFS) return Error(os_error(errno)).wrap("write " + shown);
  int fd = std::exchange(f.fd, -1);
  if (::close(fd) != 0) return Error(os_error(errno)).wrap("write " + shown);
  return Status::ok();
}

// Undoes a failed export: the staging directory and its files, and, when the
// export created out_dir itself, whatever it moved there and the directories
// it made. Nothing that existed before the export is removed.
struct Rollback {
  std::string staging;
  std::vector<std::string> staged;         // files inside staging
  std::vector<std::string> moved;          // final paths, only tracked for a new out_dir
  std::vector<std::string> created_dirs;   // outermost first
  bool committed = false;

  ~Rollback() {
    if (committed) return;
    for (const auto& p : staged) ::unlink(p.c_str());
    if (!staging.empty()) ::rmdir(staging.c_str());
    for (const auto& p : moved) ::unlink(p.c_str());
    for (auto it = created_dirs.rbegin(); it != created_dirs.rend(); ++it) ::rmdir(it->c_str());
  }
};

std::string parent_of(const std::string& path) {
  std::string parent = std::filesystem::path(path).parent_path().string();
  return parent == path ? std::string() : parent;
}

// mkdir -p that remembers which directories it made (outermost first).
Status make_dirs(const std::string& dir, std::vector<std::string>& created) {
  std::vector<std::string> missing;  // innermost first
  for (std::string cur = dir; !cur.empty(); cur = parent_of(cur)) {
    struct stat st;
    if (::stat(cur.c_str(), &st) == 0) {
      // A regular file at the leaf: mkdir below reports it as the OS does.
      if (!S_ISDIR(st.st_mode) && cur == dir) missing.push_back(cur);
      break;
    }
    if (errno != ENOENT) return Error(os_error(errno)).wrap("create directory " + dir);
    missing.push_back(cur);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0777) == 0) {
      created.push_back(*it);
      continue;
    }
    int err = errno;
    struct stat st;
    if (err == EEXIST && ::stat(it->c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;  // made meanwhile
    return Error(os_error(err)).wrap("create directory " + dir);
  }
  return Status::ok();
}

std::string trim_trailing_slashes(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

}  // namespace

std::vector<std::string_view> export_order(const std::vector<std::string>& id_to_token) {
  std::vector<std::string_view> out(std::begin(kSpecialTokens), std::end(kSpecialTokens));
  for (const auto& t : id_to_token)
    if (special_rank(t) < 0) out.emplace_back(t);
  // Plain byte order (char_traits<char> compares as unsigned char): a proper
  // prefix sorts before its extensions.
  std::sort(out.begin() + 5, out.end());
  out.erase(std::unique(out.begin() + 5, out.end()), out.end());
  return out;
}

Status write_tokenizer_dir(const std::vector<std::string>& id_to_token, const std::string& out_dir_arg) {
  // 1. Validate: an empty path would silently mean the working directory,
  // and a token that is not UTF-8 would make vocab.json unreadable.
  if (out_dir_arg.empty()) return Error("out_dir is empty");
  for (size_t id = 0; id < id_to_token.size(); ++id)
    if (!utf8_valid(id_to_token[id]))
      return Error("token " + std::to_string(id) + " is not valid UTF-8").wrap("export tokenizer");
  const std::string out_dir = trim_trailing_slashes(out_dir_arg);

  // 2. Every file's bytes, before anything touches the disk. vocab.json goes
  // last: it is what makes a directory loadable, so it appears only once the
  // rest is in place.
  std::string vocab = vocab_json(export_order(id_to_token));
  std::string config = tokenizer_config_json();
  std::string specials = special_tokens_map_json();
  const OutFile files[] = {
      {"tokenizer_config.json", config},
      {"special_tokens_map.json", specials},
      {kTokenizerModuleName, tokenizer_module_text()},
      {kReadmeName, readme_text()},
      {"vocab.json", vocab},
  };

  // 3. The directory and a private staging directory inside it, so that the
  // final renames stay within one file system.
  Rollback rollback;
  TARVEX_TRY(make_dirs(out_dir, rollback.created_dirs));
  const bool new_dir = !rollback.created_dirs.empty() && rollback.created_dirs.back() == out_dir;
  std::string tmpl = join(out_dir, ".tarvex-export-XXXXXX");
  if (::mkdtemp(tmpl.data()) == nullptr) return Error(os_error(errno)).wrap("create staging directory in " + out_dir);
  rollback.staging = tmpl;

  // 4. Write every file completely into staging.
  for (const auto& f : files) {
    std::string path = join(rollback.staging, f.name);
    Status st = write_new_file(path, f.bytes, join(out_dir, f.name));
    if (!st) {
      ::unlink(path.c_str());
      return st;
    }
    rollback.staged.push_back(std::move(path));
  }

  // 5. Move them into place; each rename replaces one file atomically.
  for (size_t i = 0; i < std::size(files); ++i) {
    std::string target = join(out_dir, files[i].name);
    if (::rename(rollback.staged[i].c_str(), target.c_str()) != 0)
      return Error(os_error(errno)).wrap("write " + target);
    if (new_dir) rollback.moved.push_back(target);
  }
  rollback.committed = true;
  ::rmdir(rollback.staging.c_str());
  return Status::ok();
}

}  // namespace tarvex
