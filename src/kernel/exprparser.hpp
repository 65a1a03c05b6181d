#pragma once
// Evaluator of one arithmetic expression given as text, with variables, constants, functions
// and assignments ("x = 2 * y"). The silting-up model fills a variable list with its
// parameters, evaluates the formulas of its control-file section one by one and reads the
// assigned variables back. The answer is a text: "Ans = %g" or "Error: %s (col %i)".
#include <cstddef>
#include <string>
#include <vector>

// Ordered list of named values. Names are compared without regard to case; an entry keeps the
// spelling of its first definition.
class ExprVariables {
public:
    static constexpr std::size_t kNameLength = 30;

    // Both set the value of the variable of that name, appending it when absent (its name cut
    // to 30 characters); false for an empty name.
    bool Add(const std::string& name, double value);
    bool Set(const std::string& name, double value) { return Add(name, value); }
    // Whether the variable exists; its value goes to value, which is untouched otherwise.
    bool Get(const std::string& name, double& value) const;
    void Clear() { entries_.clear(); }
    // Position of the variable in the list, -1 when absent.
    int GetIndex(const std::string& name) const;
    bool IsValid(int index) const { return index >= 0 && static_cast<std::size_t>(index) < entries_.size(); }
    std::size_t Size() const { return entries_.size(); }
    const std::string& Name(int index) const { return entries_[static_cast<std::size_t>(index)].name; }
    double Value(int index) const { return entries_[static_cast<std::size_t>(index)].value; }

private:
    struct Entry {
        std::string name;
        double value;
    };
    std::vector<Entry> entries_;
};

class ExprParser {
public:
    static constexpr std::size_t kExpressionLength = 255;
    static constexpr std::size_t kMessageLength = 255;

    // A failed evaluation; thrown and caught inside the parser only.
    class Error {
    public:
        // column: 1-based start of the failing token, -1 where no position applies. The
        // message is the text of the code, followed by detail (a token or name) when given.
        Error(int column, int code, const std::string& detail = std::string());
        int column;
        int code;
        std::string message;
    };

    // Without a list the parser works on an empty list of its own.
    explicit ExprParser(ExprVariables* variables = nullptr) { Init(variables); }
    void Init(ExprVariables* variables);

    // Evaluates one expression or assignment; never throws.
    std::string Evaluate(const std::string& expression);

    static std::string ErrorText(int code);
    double Answer() const { return answer_; }
    const std::string& AnswerText() const { return answerText_; }
    ExprVariables& Variables() { return variables_ ? *variables_ : ownVariables_; }
    const ExprVariables& Variables() const { return variables_ ? *variables_ : ownVariables_; }

private:
    enum TokenType { kDelimiter = 0, kNumber = 1, kVariable = 2, kFunction = 3 };

    void NextToken();
    int Column() const { return static_cast<int>(tokenStart_) + 1; }
    bool AtEnd() const { return tokenType_ == kDelimiter && token_.empty(); }
    double Statement();

    // Levels from the loosest to the tightest binding.
    double ParseLevel(int first, int last, double (ExprParser::*next)());
    double ParseBitwise();
    double ParseComparison();
    double ParseSum();
    double ParseProduct();
    double ParsePower();
    double ParseFactorial();
    double ParseFactor();

    double ApplyOperator(int op, double left, double right, int column) const;
    double ApplyFunction(const std::string& name, double argument, int column) const;
    double LookUpVariable(const std::string& name) const;

    std::string expression_;
    std::size_t position_ = 0;
    std::size_t tokenStart_ = 0;
    std::string token_;
    TokenType tokenType_ = kDelimiter;
    double answer_ = 0.0;
    std::string answerText_;
    ExprVariables* variables_ = nullptr;
    ExprVariables ownVariables_;
};
