// A message sink for tests: records every message box instead of showing it and answers OK.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "pack/messages.h"

namespace testing_support {

class CapturingSink : public MessageSink {
public:
    CapturingSink() : previous_(SetMessageSink(this)) {}
    ~CapturingSink() override { SetMessageSink(previous_); }
    CapturingSink(const CapturingSink&) = delete;
    CapturingSink& operator=(const CapturingSink&) = delete;
    int Answer(HWND, const std::wstring& text, const std::wstring& caption, UINT style) override {
        texts.push_back(text);
        captions.push_back(caption);
        styles.push_back(style);
        return IDOK;
    }
    std::vector<std::wstring> texts, captions;
    std::vector<UINT> styles;

private:
    MessageSink* previous_;
};

}  // namespace testing_support
