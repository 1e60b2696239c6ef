// Error values for the core. An error carries a chain of messages, outermost
// first; each layer that adds context appends the cause it received. The
// Python boundary joins the chain with ": ".
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tarvex {

class Error {
 public:
  Error() = default;
  explicit Error(std::string message) { chain_.push_back(std::move(message)); }

  // Returns a new error whose outermost message is `context`, with this
  // error's chain as its causes.
  Error wrap(std::string context) const& {
    Error out(std::move(context));
    out.chain_.insert(out.chain_.end(), chain_.begin(), chain_.end());
    return out;
  }
  Error wrap(std::string context) && {
    chain_.insert(chain_.begin(), std::move(context));
    return std::move(*this);
  }

  const std::vector<std::string>& chain() const { return chain_; }

  std::string joined() const {
    std::string out;
    for (size_t i = 0; i < chain_.size(); ++i) {
      if (i) out += ": ";
      out += chain_[i];
    }
    return out;
  }

 private:
  std::vector<std::string> chain_;
};

// Success or an error.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error e) : err_(std::move(e)), failed_(true) {}  // NOLINT: implicit on purpose
  static Status ok() { return Status(); }

  bool is_ok() const { return !failed_; }
  explicit operator bool() const { return !failed_; }
  const Error& error() const& { return err_; }
  Error&& error() && { return std::move(err_); }

 private:
  Error err_;
  bool failed_ = false;
};

// A value or an error.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}  // NOLINT: implicit on purpose
  Result(Error e) : v_(std::move(e)) {}      // NOLINT
  Result(Status s) : v_(std::move(s).error()) {}  // only from a failed Status

  bool is_ok() const { return v_.index() == 0; }
  explicit operator bool() const { return is_ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  T& operator*() & { return value(); }
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

// Failure of an internal invariant that ordinary input cannot cause (a
// thread pool that cannot be built, say). It ends the operation; the Python
// boundary turns it into an exception that `except Exception` does not catch.
class FatalError : public std::runtime_error {
 public:
  explicit FatalError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace tarvex

// Propagates a failed Status/Result from the current function.
#define TARVEX_TRY(expr)                                 \
  do {                                                   \
    auto tarvex_try_status_ = (expr);                    \
    if (!tarvex_try_status_) return std::move(tarvex_try_status_).error(); \
  } while (0)
