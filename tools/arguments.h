// The command line of one subcommand: options in "--name value" or "--name=value" form and
// operands, read front to back.
#pragma once
#include <string>
#include <vector>

class ArgumentReader {
public:
    explicit ArgumentReader(std::vector<std::wstring> arguments) : arguments_(std::move(arguments)) {}

    bool AtEnd() const { return index_ >= arguments_.size(); }
    // The next argument, which becomes the current one.
    const std::wstring& Next();
    // Whether the current argument is an option (starts with "--" and is not "--" alone). Every
    // argument after a plain "--" is an operand.
    bool IsOption() const;
    // The current option's name without its "--" and without an "=value" part.
    std::wstring OptionName() const;
    // The option's value: the text after '=' or the following argument. False when there is none.
    bool TakeValue(std::wstring& value);
    // Whether the option was written with "=value" (a flag must not carry one).
    bool HasInlineValue() const;

private:
    std::vector<std::wstring> arguments_;
    size_t index_ = 0;
    std::wstring current_;
    bool operandsOnly_ = false;
    bool currentIsOption_ = false;
};

// A whole decimal number (no sign, no blanks) that fits in 32 bits.
bool ParseUnsigned(const std::wstring& text, unsigned long& value);
