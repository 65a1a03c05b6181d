// Recursive-descent evaluator of arithmetic expressions.
#include "kernel/exprparser.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kernel/controlfile.hpp"

namespace {

constexpr double kEuler = 2.718281828459045;
constexpr double kPi = 3.141592653589793;

// Operator numbers by their text; -1 for any other text.
enum Operator {
    kAnd = 0, kOr, kShiftLeft, kShiftRight,
    kEqual, kUnequal, kSmaller, kLarger, kSmallerEqual, kLargerEqual,
    kPlus, kMinus, kMultiply, kDivide, kModulus, kXor,
    kPower, kFactorial
};

int OperatorId(const std::string& text) {
    // Operators have one or two characters; compared in place, as every token of every
    // formula passes here once per operator level.
    static constexpr std::string_view kTexts[] = {"&", "|", "<<", ">>", "=", "<>", "<", ">", "<=",
                                                  ">=", "+", "-", "*", "/", "%", "||", "^", "!"};
    if (text.empty() || text.size() > 2) return -1;
    for (int i = 0; i < static_cast<int>(std::size(kTexts)); ++i) {
        const std::string_view t = kTexts[i];
        if (t.size() == text.size() && t[0] == text[0] && (t.size() == 1 || t[1] == text[1])) return i;
    }
    return -1;
}

bool IsOperatorChar(char c) {
    for (const char* p = "&|<>=+/*%^!"; *p; ++p)
        if (c == *p) return true;
    return false;
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string UpperCase(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}


}  // namespace

// ---------------------------------------------------------------- variables

bool ExprVariables::Add(const std::string& name, double value) {
    if (name.empty()) return false;
    const int index = GetIndex(name);
    if (index >= 0) {
        entries_[static_cast<std::size_t>(index)].value = value;
    } else {
        entries_.push_back(Entry{name.substr(0, kNameLength), value});
    }
    return true;
}

bool ExprVariables::Get(const std::string& name, double& value) const {
    const int index = GetIndex(name);
    if (index < 0) return false;
    value = entries_[static_cast<std::size_t>(index)].value;
    return true;
}

int ExprVariables::GetIndex(const std::string& name) const {
    // Names compare on their first 30 characters without regard to case; the comparison runs
    // in place, as formulas look variables up once per cell.
    const std::size_t n = std::min(name.size(), kNameLength);
    auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const std::string& e = entries_[i].name;
        if (e.size() != n) continue;
        std::size_t k = 0;
        while (k < n && upper(e[k]) == upper(name[k])) ++k;
        if (k == n) return static_cast<int>(i);
    }
    return -1;
}

// ---------------------------------------------------------------- errors

ExprParser::Error::Error(int where, int what, const std::string& detail)
    : column(where), code(what), message((ErrorText(what) + detail).substr(0, kMessageLength)) {}

std::string ExprParser::ErrorText(int code) {
    switch (code) {
        case 1: return "Syntax error in part: ";
        case 2: return "Syntax error";
        case 3: return "Parentesis ) missing";
        case 4: return "Empty expression";
        case 5: return "Unexpected part: ";
        case 6: return "Unexpected end of expression";
        case 7: return "Value expected";
        case 101: return "Unknown operator ";
        case 102: return "Unknown function ";
        case 103: return "Unknown variable ";
        case 200: return "Too long expression, maximum number of characters exceeded";
        case 300: return "Defining variable failed";
        case 400: return "Integer value expected in function ";
        default: return "Unknown error";
    }
}

// ---------------------------------------------------------------- evaluation

void ExprParser::Init(ExprVariables* variables) {
    variables_ = variables;
    ownVariables_.Clear();
    answer_ = 0.0;
    answerText_.clear();
}

std::string ExprParser::Evaluate(const std::string& expression) {
    try {
        // The expression ends at its first zero character, as a C string would.
        std::string text(expression.c_str());
        if (text.size() > kExpressionLength) throw Error(-1, 200);
        expression_ = std::move(text);
        position_ = 0;
        const double value = Statement();
        if (!AtEnd()) throw Error(Column(), tokenType_ == kDelimiter ? 101 : 5, token_);
        answer_ = value;
        Variables().Add("Ans", value);
        answerText_ = StrFormat("Ans = %g", value);
    } catch (const Error& e) {
        answerText_ = StrFormat("Error: %s (col %i)", e.message.c_str(), e.column);
    }
    if (answerText_.size() > kMessageLength) answerText_.resize(kMessageLength);
    return answerText_;
}

void ExprParser::NextToken() {
    const std::size_t n = expression_.size();
    tokenType_ = kDelimiter;
    token_.clear();
    while (position_ < n && IsBlank(expression_[position_])) ++position_;
    tokenStart_ = position_;
    if (position_ >= n) return;

    const char c = expression_[position_];
    if (c == '-' || c == '(' || c == ')') {
        token_ = c;
        ++position_;
        return;
    }
    auto take = [&](auto&& accept) {
        while (position_ < n && accept(expression_[position_])) token_ += expression_[position_++];
    };
    if (IsOperatorChar(c)) {
        take(IsOperatorChar);
        return;
    }
    if (IsDigit(c) || c == '.') {
        take([](char x) { return IsDigit(x) || x == '.'; });
        if (position_ < n && (expression_[position_] == 'E' || expression_[position_] == 'e')) {
            token_ += expression_[position_++];
            if (position_ < n && (expression_[position_] == '+' || expression_[position_] == '-'))
                token_ += expression_[position_++];
            take(IsDigit);
        }
        tokenType_ = kNumber;
        return;
    }
    if (IsLetter(c) || c == '_') {
        take([](char x) { return IsLetter(x) || IsDigit(x) || x == '_'; });
        std::size_t next = position_;
        while (next < n && IsBlank(expression_[next])) ++next;
        tokenType_ = next < n && expression_[next] == '(' ? kFunction : kVariable;
        return;
    }
    token_ = expression_.substr(position_);
    position_ = n;
    throw Error(Column(), 1, token_);
}

double ExprParser::Statement() {
    NextToken();
    if (AtEnd()) throw Error(Column(), 4);
    if (tokenType_ == kVariable) {
        const std::string name = token_;
        const std::size_t nameStart = tokenStart_;
        NextToken();
        if (tokenType_ == kDelimiter && token_ == "=") {
            NextToken();
            const double value = ParseBitwise();
            if (!Variables().Add(name, value)) throw Error(-1, 300);
            return value;
        }
        position_ = nameStart;
        NextToken();
    }
    return ParseBitwise();
}

// Every level of two-operand operators runs left to right over its operators first..last.
double ExprParser::ParseLevel(int first, int last, double (ExprParser::*next)()) {
    double value = (this->*next)();
    for (;;) {
        const int op = tokenType_ == kDelimiter ? OperatorId(token_) : -1;
        if (op < first || op > last) return value;
        const int column = Column();
        NextToken();
        value = ApplyOperator(op, value, (this->*next)(), column);
    }
}

double ExprParser::ParseBitwise() { return ParseLevel(kAnd, kShiftRight, &ExprParser::ParseComparison); }
double ExprParser::ParseComparison() { return ParseLevel(kEqual, kLargerEqual, &ExprParser::ParseSum); }
double ExprParser::ParseSum() { return ParseLevel(kPlus, kMinus, &ExprParser::ParseProduct); }
double ExprParser::ParseProduct() { return ParseLevel(kMultiply, kXor, &ExprParser::ParsePower); }
double ExprParser::ParsePower() { return ParseLevel(kPower, kPower, &ExprParser::ParseFactorial); }

namespace {

// Truncates an operand to a 32-bit integer; a value outside that range (or not a number) has
// no integer and fails the evaluation instead of converting undefinedly.
std::int32_t ToInteger(double value, int column) {
    if (!(value > -2147483649.0 && value < 2147483648.0)) throw ExprParser::Error(column, 2);
    return static_cast<std::int32_t>(value);
}

// n! for n >= 2, 1 for 0 and 1, n itself for a negative n. The product stops growing once it
// is infinite, so that huge arguments end at once.
double Factorial(double value, int column) {
    const double n = std::trunc(value);
    if (n != value) throw ExprParser::Error(column, 400, "factorial");
    if (n < 0) return n;
    double product = 1.0;
    for (double i = n; i >= 2.0 && !std::isinf(product); i -= 1.0) product *= i;
    return product;
}

}  // namespace

double ExprParser::ParseFactorial() {
    double value = ParseFactor();
    while (tokenType_ == kDelimiter && OperatorId(token_) == kFactorial) {
        const int column = Column();
        NextToken();
        value = Factorial(value, column);
    }
    return value;
}

double ExprParser::ParseFactor() {
    const int column = Column();
    switch (tokenType_) {
        case kNumber: {
            const double value = std::strtod(token_.c_str(), nullptr);
            NextToken();
            return value;
        }
        case kVariable: {
            const double value = LookUpVariable(token_);
            NextToken();
            return value;
        }
        case kFunction: {
            const std::string name = token_;
            NextToken();  // the "("
            NextToken();
            const double argument = ParseBitwise();
            if (tokenType_ != kDelimiter || token_ != ")") throw Error(Column(), 3);
            NextToken();
            return ApplyFunction(name, argument, column);
        }
        case kDelimiter:
            break;
    }
    if (token_ == "-") {
        NextToken();
        return -ParseFactor();
    }
    if (token_ == "(") {
        NextToken();
        const double value = ParseBitwise();
        if (tokenType_ != kDelimiter || token_ != ")") throw Error(Column(), 3);
        NextToken();
        return value;
    }
    if (AtEnd()) throw Error(column, 6);
    throw Error(column, 7);
}

double ExprParser::LookUpVariable(const std::string& name) const {
    const std::string key = UpperCase(name);
    if (key == "EULER") return kEuler;
    if (key == "PI") return kPi;
    double value = 0.0;
    if (!Variables().Get(name, value)) throw Error(Column(), 103, name);
    return value;
}

double ExprParser::ApplyOperator(int op, double left, double right, int column) const {
    switch (op) {
        case kAnd: return ToInteger(left, column) & ToInteger(right, column);
        case kOr: return ToInteger(left, column) | ToInteger(right, column);
        case kXor: return ToInteger(left, column) ^ ToInteger(right, column);
        case kShiftLeft:
        case kShiftRight: {
            const std::int32_t a = ToInteger(left, column);
            const std::int32_t b = ToInteger(right, column);
            if (b < 0 || b > 31) throw Error(column, 2);
            if (op == kShiftRight) return a >> b;
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) << b);
        }
        case kEqual: return left == right ? 1.0 : 0.0;
        case kUnequal: return left != right ? 1.0 : 0.0;
        case kSmaller: return left < right ? 1.0 : 0.0;
        case kLarger: return left > right ? 1.0 : 0.0;
        case kSmallerEqual: return left <= right ? 1.0 : 0.0;
        case kLargerEqual: return left >= right ? 1.0 : 0.0;
        case kPlus: return left + right;
        case kMinus: return left - right;
        case kMultiply: return left * right;
        case kDivide: return left / right;
        case kModulus: {
            const std::int32_t a = ToInteger(left, column);
            const std::int32_t b = ToInteger(right, column);
            if (b == 0) throw Error(column, 2);
            return b == -1 ? 0.0 : static_cast<double>(a % b);  // INT_MIN % -1 would trap
        }
        case kPower: return std::pow(left, right);
        default: throw Error(column, 101, token_);
    }
}

double ExprParser::ApplyFunction(const std::string& name, double x, int column) const {
    const std::string key = UpperCase(name);
    if (key == "ABS") return std::fabs(x);
    if (key == "EXP") return std::exp(x);
    if (key == "SIGN") return x > 0 ? 1.0 : (x < 0 ? -1.0 : 0.0);
    if (key == "SQRT") return std::sqrt(x);
    if (key == "LOG") return std::log(x);
    if (key == "LOG10") return std::log10(x);
    if (key == "SIN") return std::sin(x);
    if (key == "COS") return std::cos(x);
    if (key == "TAN") return std::tan(x);
    if (key == "ASIN") return std::asin(x);
    if (key == "ACOS") return std::acos(x);
    if (key == "ATAN") return std::atan(x);
    if (key == "FACTORIAL") return Factorial(x, column);
    throw Error(column, 102, name);
}
