// Every message and question of the shared library goes through ShowMessageBox. The GUI shows real
// message boxes; a program without windows (the command-line front end, the tests) installs a
// MessageSink that receives the finished text and answers instead of the user.
#pragma once
#include <windows.h>

#include <string>

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Receives what a message box would show and returns the button pressed (IDOK, IDYES, ...).
    virtual int Answer(HWND owner, const std::wstring& text, const std::wstring& caption, UINT style) = 0;
};

// Installs the process-wide sink; nullptr restores real message boxes. Returns the previous sink.
MessageSink* SetMessageSink(MessageSink* sink);
MessageSink* CurrentMessageSink();

// The button that loses nothing for a box of this style: Cancel where there is one, else No,
// Abort for Abort/Retry/Ignore, else OK. Ending a run is preferred to guessing.
int SafeAnswer(UINT style);
// The button that agrees: Yes where there is one, else OK (or Retry/Continue), else the safe one.
int AgreeingAnswer(UINT style);

// A sink for programs without windows: writes the caption and text to a stream (UTF-8) and answers
// every box with SafeAnswer, or with AgreeingAnswer when agree is set.
class ConsoleMessageSink : public MessageSink {
public:
    explicit ConsoleMessageSink(HANDLE output, bool agree = false) : output_(output), agree_(agree) {}
    int Answer(HWND owner, const std::wstring& text, const std::wstring& caption, UINT style) override;

private:
    HANDLE output_;
    bool agree_;
};

// The system's text for an error code (neutral language) with trailing blanks, CR and LF removed;
// string 514 "Ошибка - 0x%X" with the code when the system has none.
std::wstring SystemErrorText(DWORD code);

// Builds an error text: string stringId formatted with (argument, system text, code, offset), or
// (system text, code, offset) when argument is null; string id 0 gives the system text alone.
// Returns the length of the text.
int FormatSystemMessage(std::wstring& text, const wchar_t* argument, UINT stringId, DWORD code, int offset);

// The text of a message box: without an error code the string itself, or the string formatted with
// the argument; with one, as FormatSystemMessage with offset 0. String id 0 without an error code
// shows the argument itself (a text built by the caller).
std::wstring MessageBoxText(UINT stringId, const wchar_t* argument, DWORD errorCode);

// Shows the message with caption string 503 and returns the button pressed.
int ShowMessageBox(HWND owner, UINT stringId, UINT style, const wchar_t* argument, DWORD errorCode);

// String 557: settings that could not be written to the registry key named by the argument.
constexpr UINT kSettingsNotSavedText = 557;
// Message 557 for the library's settings key, with the system's text of the error (error icon).
void ReportSettingsNotSaved(HWND owner, DWORD error);

// Shows a finished text with a caption of the caller's choice (through the sink when installed).
int ShowMessageText(HWND owner, const std::wstring& text, const std::wstring& caption, UINT style);

// Writes text to a console (as UTF-16) or to a file or pipe (as UTF-8); nothing for a missing handle.
void WriteOutput(HANDLE output, const std::wstring& text);
