// Argument conversion in signature order. The first argument that fails
// raises TypeError naming it (OverflowError for a negative count).
#pragma once

#include "module/py_ref.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace tarvex::py {

enum class ArgKind { Str, Bool, Count, Object };

struct ArgSpec {
  const char* name;
  ArgKind kind;
  bool required = false;
  uint64_t def_count = 0;
  bool def_bool = false;
  const char* def_str = nullptr;
};

struct ArgValue {
  std::string str;
  bool flag = false;
  uint64_t count = 0;
  PyObject* object = nullptr;  // borrowed from the call's arguments
};

// Fills `out` (one value per parameter); returns false with an exception set.
bool parse_args(const char* func, PyObject* args, PyObject* kwargs, const std::vector<ArgSpec>& specs,
                std::vector<ArgValue>& out);

// Finds the value of the argument called `name`.
const ArgValue& arg(const std::vector<ArgSpec>& specs, const std::vector<ArgValue>& values, const char* name);

}  // namespace tarvex::py
