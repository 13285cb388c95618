#include "Expression.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <vector>

struct TExpression::TNode {
  char Kind;  // 'n' number, 'v' variable, 'f' function, or the operator
  double Value = 0;
  std::string Name;
  std::vector<std::shared_ptr<const TNode>> Args;
};

namespace {

using TNodePtr = std::shared_ptr<const TExpression::TNode>;

TNodePtr Make(char kind, std::vector<TNodePtr> args = {}, std::string name = "", double value = 0) {
  auto node = std::make_shared<TExpression::TNode>();
  node->Kind = kind;
  node->Args = std::move(args);
  node->Name = std::move(name);
  node->Value = value;
  return node;
}

// Recursive descent: sum := product {(+|-) product}; product := power
// {(*|/) power}; power := unary [^ power]; unary := -unary | +unary | atom.
class TParser {
 public:
  explicit TParser(const std::string& text) : Text(text) {}
  TNodePtr Parse(std::string& error) {
    TNodePtr node = Sum();
    Skip();
    if (node && At < Text.size()) Fail("unexpected '" + Text.substr(At, 1) + "'");
    error = Error;
    return Error.empty() ? node : nullptr;
  }

 private:
  void Skip() {
    while (At < Text.size() && std::isspace(static_cast<unsigned char>(Text[At]))) ++At;
  }
  bool Take(char c) {
    Skip();
    if (At < Text.size() && Text[At] == c) {
      ++At;
      return true;
    }
    return false;
  }
  TNodePtr Fail(const std::string& why) {
    if (Error.empty()) Error = why;
    return nullptr;
  }
  TNodePtr Sum() {
    TNodePtr left = Product();
    while (left) {
      if (Take('+'))
        left = Make('+', {left, Product()});
      else if (Take('-'))
        left = Make('-', {left, Product()});
      else
        break;
      if (!left->Args[1]) return nullptr;
    }
    return left;
  }
  TNodePtr Product() {
    TNodePtr left = Power();
    while (left) {
      if (Take('*'))
        left = Make('*', {left, Power()});
      else if (Take('/'))
        left = Make('/', {left, Power()});
      else
        break;
      if (!left->Args[1]) return nullptr;
    }
    return left;
  }
  TNodePtr Power() {
    TNodePtr base = Unary();
    if (base && Take('^')) {
      TNodePtr exponent = Power();
      return exponent ? Make('^', {base, exponent}) : nullptr;
    }
    return base;
  }
  TNodePtr Unary() {
    if (Take('-')) {
      TNodePtr operand = Unary();
      return operand ? Make('~', {operand}) : nullptr;
    }
    if (Take('+')) return Unary();
    return Atom();
  }
  TNodePtr Atom() {
    Skip();
    if (At >= Text.size()) return Fail("unexpected end");
    if (Take('(')) {
      TNodePtr inner = Sum();
      if (inner && !Take(')')) return Fail("missing ')'");
      return inner;
    }
    const char c = Text[At];
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') {
      char* end = nullptr;
      const double value = std::strtod(Text.c_str() + At, &end);
      if (end == Text.c_str() + At) return Fail("bad number");
      At = static_cast<size_t>(end - Text.c_str());
      return Make('n', {}, "", value);
    }
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      const size_t start = At;
      while (At < Text.size() &&
             (std::isalnum(static_cast<unsigned char>(Text[At])) || Text[At] == '_'))
        ++At;
      const std::string name = Text.substr(start, At - start);
      if (!Take('(')) return Make('v', {}, name);
      std::vector<TNodePtr> args;
      if (!Take(')')) {
        do {
          TNodePtr arg = Sum();
          if (!arg) return nullptr;
          args.push_back(arg);
        } while (Take(','));
        if (!Take(')')) return Fail("missing ')'");
      }
      static const std::map<std::string, size_t> arity = {
          {"sin", 1},  {"cos", 1},   {"tan", 1},   {"asin", 1},  {"acos", 1},
          {"atan", 1}, {"sqrt", 1},  {"abs", 1},   {"exp", 1},   {"log", 1},
          {"floor", 1}, {"ceil", 1}, {"round", 1}, {"min", 2},   {"max", 2},
          {"mod", 2}};
      auto known = arity.find(name);
      if (known == arity.end()) return Fail("unknown function " + name);
      if (known->second != args.size()) return Fail("wrong argument count for " + name);
      return Make('f', std::move(args), name);
    }
    return Fail("unexpected '" + std::string(1, c) + "'");
  }

  const std::string& Text;
  size_t At = 0;
  std::string Error;
};

double Eval(const TExpression::TNode& node, const std::map<std::string, double>& variables) {
  auto arg = [&](size_t i) { return Eval(*node.Args[i], variables); };
  switch (node.Kind) {
    case 'n': return node.Value;
    case 'v': {
      auto found = variables.find(node.Name);
      if (found != variables.end()) return found->second;
      if (node.Name == "PI") return M_PI;
      if (node.Name == "E") return M_E;
      return 0;
    }
    case '+': return arg(0) + arg(1);
    case '-': return arg(0) - arg(1);
    case '*': return arg(0) * arg(1);
    case '/': return arg(0) / arg(1);
    case '^': return std::pow(arg(0), arg(1));
    case '~': return -arg(0);
    default: break;
  }
  const std::string& f = node.Name;
  const double a = arg(0);
  if (f == "sin") return std::sin(a);
  if (f == "cos") return std::cos(a);
  if (f == "tan") return std::tan(a);
  if (f == "asin") return std::asin(a);
  if (f == "acos") return std::acos(a);
  if (f == "atan") return std::atan(a);
  if (f == "sqrt") return std::sqrt(a);
  if (f == "abs") return std::fabs(a);
  if (f == "exp") return std::exp(a);
  if (f == "log") return std::log(a);
  if (f == "floor") return std::floor(a);
  if (f == "ceil") return std::ceil(a);
  if (f == "round") return std::round(a);
  const double b = arg(1);
  if (f == "min") return std::fmin(a, b);
  if (f == "max") return std::fmax(a, b);
  return std::fmod(a, b);  // mod
}

}  // namespace

bool TExpression::Parse(const std::string& text) {
  TParser parser(text);
  Root = parser.Parse(Error);
  return Root != nullptr;
}

double TExpression::Evaluate(const std::map<std::string, double>& variables) const {
  if (!Root) return 0;
  const double value = Eval(*Root, variables);
  return std::isfinite(value) ? value : 0;
}
