// The Python class DpTokenizer.
#pragma once

#include "module/py_ref.hpp"

namespace tarvex::py {

// Returns a new reference to the ready type object, or nullptr with an
// exception set.
PyObject* make_dp_tokenizer_type();

}  // namespace tarvex::py
