#include "log/logger.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>

#include "util/env.hpp"

namespace tarvex {

namespace {

struct Settings {
  uint8_t threshold = 2;
  std::string file = "tarvex.log";
};

const Settings& settings() {
  static const Settings s = [] {
    Settings out;
    auto level = env_string("LOG_LEVEL");
    out.threshold = parse_log_level(level ? &*level : nullptr, env_flag("LOG_DEBUG"));
    if (auto f = env_string("LOG_FILE")) out.file = *f;
    return out;
  }();
  return s;
}

std::mutex& stderr_mutex() {
  static std::mutex mu;
  return mu;
}

void write_all(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t w = ::write(fd, s.data() + off, s.size() - off);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;
    }
    off += static_cast<size_t>(w);
  }
}

std::string debug_quote(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

// Shortest text that reads back as the same float, with ".0" for whole
// numbers, as a debug print of a 32-bit float looks.
std::string float_debug(float v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, r.ptr);
  if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
  return s;
}

}  // namespace

uint8_t parse_log_level(const std::string* log_level, bool log_debug_set) {
  if (!log_level) return log_debug_set ? 3 : 2;
  std::string v = *log_level;
  size_t b = v.find_first_not_of(" \t\r\n\v\f");
  size_t e = v.find_last_not_of(" \t\r\n\v\f");
  v = b == std::string::npos ? std::string() : v.substr(b, e - b + 1);
  for (char& c : v)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (v == "0" || v == "e" || v == "err" || v == "error") return 0;
  if (v == "1" || v == "w" || v == "warn" || v == "warning") return 1;
  if (v == "3" || v == "d" || v == "dbg" || v == "debug") return 3;
  return 2;
}

std::string format_timestamp(int64_t unix_nanos) {
  int64_t secs = unix_nanos / 1000000000;
  int64_t nanos = unix_nanos % 1000000000;
  if (nanos < 0) {
    nanos += 1000000000;
    secs -= 1;
  }
  std::time_t t = static_cast<std::time_t>(secs);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(nanos / 1000000));
  return buf;
}

std::string format_log_line(int64_t unix_nanos, long pid, std::string_view target, std::string_view message) {
  std::string line;
  line.reserve(48 + target.size() + message.size());
  line += "[";
  line += format_timestamp(unix_nanos);
  line += "][pid=";
  line += std::to_string(pid);
  line += "][";
  line += target;
  line += "] ";
  line += message;
  return line;
}

uint8_t log_threshold() { return settings().threshold; }

void log(LogLevel level, std::string_view target, std::string_view message) {
  const Settings& s = settings();
  if (static_cast<uint8_t>(level) > s.threshold) return;
  int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
  std::string line = format_log_line(now, static_cast<long>(::getpid()), target, message);
  line.push_back('\n');
  {
    std::lock_guard<std::mutex> lk(stderr_mutex());
    write_all(STDERR_FILENO, line);
  }
  int fd = ::open(s.file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    write_all(fd, line);
    ::close(fd);
  }
}

std::string resource_message(std::string_view label, const char* statm_path, const char* loadavg_path,
                             float elapsed) {
  std::string rss = "None";
  {
    std::ifstream f(statm_path);
    std::string size_field, resident;
    if (f && (f >> size_field >> resident)) {
      auto pages = parse_unsigned(resident);
      if (pages) rss = "Some(" + std::to_string(*pages / 256) + ")";  // 4096-byte pages
    }
  }
  std::string load = "None";
  {
    std::ifstream f(loadavg_path);
    if (f) {
      std::stringstream ss;
      ss << f.rdbuf();
      std::string v = ss.str();
      size_t b = v.find_first_not_of(" \t\r\n\v\f");
      size_t e = v.find_last_not_of(" \t\r\n\v\f");
      v = b == std::string::npos ? std::string() : v.substr(b, e - b + 1);
      load = "Some(" + debug_quote(v) + ")";
    }
  }
  std::string msg(label);
  msg += " rss_mb=" + rss + " loadavg=" + load + " elapsed=Some(" + float_debug(elapsed) + ")";
  return msg;
}

void log_resources(std::string_view label, std::chrono::steady_clock::time_point start) {
  if (log_threshold() != 3) return;
  float elapsed = static_cast<float>(secs_since(start));
  log(LogLevel::Debug, "res", resource_message(label, "/proc/self/statm", "/proc/loadavg", elapsed));
}

std::string fmt_secs(double seconds, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, seconds);
  return buf;
}

double secs_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace tarvex
