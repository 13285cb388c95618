// Numbers typed into edits and option lines: the whole text is the number,
// blanks around it and one '+' before it are allowed ("128 ", "+5"). Read
// without the locale, which may use a decimal comma.
#pragma once
#include <charconv>
#include <cmath>
#include <string>
#include <type_traits>

#include "Text.h"

// False, and value unchanged, for text that is not such a number (or for
// an infinite or undefined real).
template <typename T>
bool ReadNumber(const std::string& text, T& value) {
  const std::string t = Trim(text);
  const char* first = t.data();
  const char* last = first + t.size();
  if (first != last && *first == '+') {
    ++first;
    if (first != last && *first == '-') return false;  // one sign only
  }
  T v{};
  const auto result = std::from_chars(first, last, v);
  if (first == last || result.ec != std::errc() || result.ptr != last) return false;
  if constexpr (std::is_floating_point_v<T>) {
    if (!std::isfinite(v)) return false;
  }
  value = v;
  return true;
}
