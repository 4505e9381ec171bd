#include "py/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "core/invariant.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace qv::py {

// The fixed format of to_chars would print every digit of the exact binary value, so the
// digits and the exponent are taken from the shortest scientific form and laid out here.
std::string positional(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  QV_ASSERT(ec == std::errc(), "float does not fit its buffer");
  std::string_view sci(buf, static_cast<size_t>(end - buf));
  std::string out;
  if (sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const size_t e_pos = sci.find('e');
  std::string digits;
  for (char ch : sci.substr(0, e_pos))
    if (ch != '.') digits.push_back(ch);
  int exp = 0;
  std::string_view e = sci.substr(e_pos + 1);
  if (e.front() == '+') e.remove_prefix(1);
  std::from_chars(e.data(), e.data() + e.size(), exp);
  if (exp >= 0) {
    const size_t whole = static_cast<size_t>(exp) + 1;
    if (digits.size() <= whole) {
      out += digits;
      out.append(whole - digits.size(), '0');
    } else {
      out += digits.substr(0, whole);
      out += '.';
      out += digits.substr(whole);
    }
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-exp - 1), '0');
    out += digits;
  }
  return out;
}

namespace {

// Decodes one code point of valid UTF-8 (the text came from a Python str) at `i`.
char32_t next_code_point(std::string_view s, size_t& i) {
  const auto b = static_cast<unsigned char>(s[i++]);
  if (b < 0x80) return b;
  const int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
  char32_t cp = b & (0x3F >> extra);
  for (int k = 0; k < extra && i < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
  return cp;
}

// Non-ASCII characters that do not print, and combining marks, which would otherwise
// attach to the quote or the character before them.
bool escaped_non_ascii(char32_t cp) {
  Ref ch(check(PyUnicode_FromOrdinal(static_cast<int>(cp))));
  Ref printable(check(PyObject_CallMethod(ch.get(), "isprintable", nullptr)));
  if (printable.get() != Py_True) return true;
  Ref unicodedata(check(PyImport_ImportModule("unicodedata")));
  Ref category(check(PyObject_CallMethod(unicodedata.get(), "category", "O", ch.get())));
  const char* c = PyUnicode_AsUTF8AndSize(category.get(), nullptr);
  if (!c) throw ErrorSet{};
  return c[0] == 'M' && (c[1] == 'n' || c[1] == 'e');
}

}  // namespace

std::string debug_quoted(std::string_view utf8) {
  std::string out = "\"";
  for (size_t i = 0; i < utf8.size();) {
    const size_t start = i;
    const char32_t cp = next_code_point(utf8, i);
    switch (cp) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\0': out += "\\0"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      default: break;
    }
    const bool ascii_printable = cp >= 0x20 && cp < 0x7F;
    if (ascii_printable || (cp >= 0x80 && !escaped_non_ascii(cp))) {
      out.append(utf8.substr(start, i - start));
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
      out += buf;
    }
  }
  out += '"';
  return out;
}

}  // namespace qv::py
