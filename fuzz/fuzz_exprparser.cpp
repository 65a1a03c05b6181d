// Fuzz target of the formula parser: every line of the input is one expression, evaluated in
// turn with one parser and one variable list, as the silting-up model evaluates its formulas.
#include <cstdint>
#include <string>

#include "kernel/exprparser.hpp"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ExprVariables vars;
    for (char c = 'A'; c <= 'Z'; ++c) vars.Add(std::string(1, c), c - 'A' + 0.5);
    ExprParser parser(&vars);
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        const std::string answer = parser.Evaluate(input.substr(start, end - start));
        Check(answer.size() <= ExprParser::kMessageLength);
        Check(answer.rfind("Ans = ", 0) == 0 || answer.rfind("Error: ", 0) == 0);
        start = end + 1;
    }
    return 0;
}
