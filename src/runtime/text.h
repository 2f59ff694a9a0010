// Python text as UTF-8 for messages. A lone surrogate (a file name decoded with surrogateescape,
// say) has no UTF-8 form; a message must not fail over it, so it is escaped instead.
#pragma once

#include <string>

#include "runtime/python.h"

namespace quenlet::rt {

// The UTF-8 form of a str, with lone surrogates backslash-escaped.
std::string utf8_text(nb::handle text);

// str(exception), the text that messages carry for an error.
std::string error_text(const nb::python_error& error);

}  // namespace quenlet::rt
