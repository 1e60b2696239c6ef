#include "train/corpus_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "text/normalize.hpp"
#include "util/utf8.hpp"

namespace tarvex {

namespace {

std::string os_error(int err) { return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")"; }

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

bool has_non_space(std::string_view text) {
  size_t i = 0;
  while (i < text.size())
    if (!is_space_char(utf8_next(text, i))) return true;
  return false;
}

Result<CorpusLines> read_corpus_file(const std::string& path) {
  Fd f;
  f.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (f.fd < 0) return Error(os_error(errno)).wrap("open corpus file " + path);

  CorpusLines out;
  std::string line;
  size_t line_no = 0;
  auto finish_line = [&](bool had_newline) -> Status {
    ++line_no;
    if (had_newline && !line.empty() && line.back() == '\r') line.pop_back();
    if (!utf8_valid(line))
      return Error("line " + std::to_string(line_no) + ": stream did not contain valid UTF-8")
          .wrap("read corpus file " + path);
    if (has_non_space(line)) {
      out.total_chars += utf8_count(line);
      out.lines.push_back(std::move(line));
    }
    line.clear();
    return Status::ok();
  };

  char buf[8192];
  for (;;) {
    ssize_t got = ::read(f.fd, buf, sizeof buf);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Error(os_error(errno)).wrap("read corpus file " + path);
    }
    if (got == 0) break;
    size_t start = 0, n = static_cast<size_t>(got);
    for (;;) {
      const void* nl = std::memchr(buf + start, '\n', n - start);
      if (!nl) {
        line.append(buf + start, n - start);
        break;
      }
      size_t at = static_cast<size_t>(static_cast<const char*>(nl) - buf);
      line.append(buf + start, at - start);
      TARVEX_TRY(finish_line(true));
      start = at + 1;
    }
  }
  if (!line.empty()) TARVEX_TRY(finish_line(false));
  if (out.lines.empty()) return Error("corpus is empty: " + path);
  return out;
}

}  // namespace tarvex
