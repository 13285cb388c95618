// Arithmetic expressions of the hook arguments, evaluated per picture:
// numbers, the variables a hook defines (N, W, H, w, h ...), the constants PI
// and E, + - * / ^ (power), unary minus, parentheses and the functions sin,
// cos, tan, asin, acos, atan, sqrt, abs, exp, log, floor, ceil, round,
// min(a,b), max(a,b), mod(a,b).
#pragma once
#include <map>
#include <memory>
#include <string>

class TExpression {
 public:
  // Parses text; false (with a reason in Error) when it is no expression.
  bool Parse(const std::string& text);
  // The value with the given variables; an unknown variable reads 0, a
  // result that is no number reads 0.
  double Evaluate(const std::map<std::string, double>& variables) const;
  const std::string& ErrorText() const { return Error; }

  struct TNode;

 private:
  std::shared_ptr<const TNode> Root;
  std::string Error;
};
