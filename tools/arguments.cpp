#include "tools/arguments.h"

#include <cwchar>

const std::wstring& ArgumentReader::Next() {
    current_ = arguments_[index_++];
    currentIsOption_ = false;
    if (!operandsOnly_ && current_ == L"--") {
        operandsOnly_ = true;
        // "--" itself is neither: the caller skips it by asking for the next argument.
        return current_;
    }
    currentIsOption_ = !operandsOnly_ && current_.size() > 2 && current_.compare(0, 2, L"--") == 0;
    return current_;
}

bool ArgumentReader::IsOption() const { return currentIsOption_; }

std::wstring ArgumentReader::OptionName() const {
    size_t equals = current_.find(L'=');
    return current_.substr(2, equals == std::wstring::npos ? std::wstring::npos : equals - 2);
}

bool ArgumentReader::HasInlineValue() const { return current_.find(L'=') != std::wstring::npos; }

bool ArgumentReader::TakeValue(std::wstring& value) {
    size_t equals = current_.find(L'=');
    if (equals != std::wstring::npos) {
        value = current_.substr(equals + 1);
        return true;
    }
    if (AtEnd()) return false;
    value = arguments_[index_++];
    return true;
}

bool ParseUnsigned(const std::wstring& text, unsigned long& value) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long long result = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        result = result * 10 + static_cast<unsigned>(c - L'0');
    }
    if (result > 0xFFFFFFFFull) return false;
    value = static_cast<unsigned long>(result);
    return true;
}
