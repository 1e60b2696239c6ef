// Process-wide logger: one line per event on standard error and appended to
// the log file. Standard output is never touched (worker processes speak
// their protocol there).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvex {

enum class LogLevel : uint8_t { Error = 0, Warn = 1, Info = 2, Debug = 3 };

// Threshold and file path are read from LOG_LEVEL / LOG_DEBUG / LOG_FILE on
// the first call in the process and never again.
void log(LogLevel level, std::string_view target, std::string_view message);

inline void log_info(std::string_view target, std::string_view message) { log(LogLevel::Info, target, message); }
inline void log_debug(std::string_view target, std::string_view message) { log(LogLevel::Debug, target, message); }
inline void log_warn(std::string_view target, std::string_view message) { log(LogLevel::Warn, target, message); }

// The threshold in force (initialises the settings if needed).
uint8_t log_threshold();

// At threshold 3 only: a "res" debug line with resident memory, load average
// and the seconds since `start`.
void log_resources(std::string_view label, std::chrono::steady_clock::time_point start);

// Pure helpers, exposed for tests.
uint8_t parse_log_level(const std::string* log_level, bool log_debug_set);
std::string format_timestamp(int64_t unix_nanos);
std::string format_log_line(int64_t unix_nanos, long pid, std::string_view target, std::string_view message);

// The message of a resource line, reading the two /proc files given.
std::string resource_message(std::string_view label, const char* statm_path, const char* loadavg_path,
                             float elapsed);

// Seconds as fixed-point text with `decimals` digits, e.g. "1.25".
std::string fmt_secs(double seconds, int decimals);
// Seconds since `start` on the monotonic clock.
double secs_since(std::chrono::steady_clock::time_point start);

}  // namespace tarvex
