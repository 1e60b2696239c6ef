#include "train/parquet_listing.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace tarvex {

namespace {

std::string os_error(int err) { return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")"; }

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

}  // namespace

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool has_parquet_extension(const std::string& name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  static constexpr char kExt[] = "parquet";
  if (name.size() - dot - 1 != sizeof(kExt) - 1) return false;
  for (size_t i = 0; i < sizeof(kExt) - 1; ++i) {
    char c = name[dot + 1 + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kExt[i]) return false;
  }
  return true;
}

Result<std::vector<std::string>> list_parquet_files(const std::string& dir) {
  std::unique_ptr<DIR, DirCloser> d(::opendir(dir.c_str()));
  if (!d) return Error("read_dir failed: " + os_error(errno));
  std::string prefix = dir;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';

  std::vector<std::string> files;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(d.get());
    if (!e) {
      if (errno != 0) return Error("read_dir entry failed: " + os_error(errno));
      break;
    }
    std::string name = e->d_name;
    if (name == "." || name == ".." || !has_parquet_extension(name)) continue;
    std::string full = prefix + name;
    struct stat st;
    if (::stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    files.push_back(std::move(full));
  }
  return files;
}

}  // namespace tarvex
