#pragma once
// Values as error messages print them.
#include <string>
#include <string_view>

namespace qv::py {

// Shortest round-trip digits laid out positionally, never with an exponent: 1e-8 is
// "0.00000001", 100.0 is "100", 1e22 is "1" and 22 zeros; inf, -inf and NaN as written.
std::string positional(double x);

// Text in double quotes with quotes, backslashes, control characters and other characters
// that do not print escaped (\", \\, \0, \t, \r, \n, otherwise \u{hex}), so a message shows
// exactly what the caller passed. Needs the interpreter lock: printability of non-ASCII
// characters is asked of Python's Unicode database.
std::string debug_quoted(std::string_view utf8);

}  // namespace qv::py
