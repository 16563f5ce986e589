#include "pack/messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/test_support.h"

namespace {

const std::wstring kCaption = L"Quillarent 1.0";
// What this platform says for ERROR_FILE_NOT_FOUND, without the line break it ends with.
const std::wstring kFileNotFoundText = L"Файл не найден.";

struct Box {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT style;
};

class CapturingSink : public MessageSink {
public:
    explicit CapturingSink(int answer) : answer_(answer) { previous_ = SetMessageSink(this); }
    ~CapturingSink() override { SetMessageSink(previous_); }
    int Answer(HWND owner, const std::wstring& text, const std::wstring& caption, UINT style) override {
        boxes.push_back({owner, text, caption, style});
        return answer_;
    }
    std::vector<Box> boxes;

private:
    int answer_;
    MessageSink* previous_;
};

TEST(ShowMessageBox, PlainTextWithCaptionAndStyle) {
    CapturingSink sink(IDOK);
    HWND owner = reinterpret_cast<HWND>(0x1234);
    EXPECT_EQ(ShowMessageBox(owner, 516, MB_OK | MB_ICONERROR, nullptr, 0), IDOK);
    ASSERT_EQ(sink.boxes.size(), 1u);
    EXPECT_EQ(sink.boxes[0].text, L"Вы не выбрали файлы для упаковывания.");
    EXPECT_EQ(sink.boxes[0].caption, kCaption);
    EXPECT_EQ(sink.boxes[0].style, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(sink.boxes[0].owner, owner);
}

TEST(ShowMessageBox, ArgumentFillsTheTextAndIsTakenLiterally) {
    CapturingSink sink(IDCANCEL);
    EXPECT_EQ(ShowMessageBox(nullptr, 508, MB_OKCANCEL | MB_ICONERROR, L"C:\\data\\100%s done.txt", 0), IDCANCEL);
    ASSERT_EQ(sink.boxes.size(), 1u);
    EXPECT_EQ(sink.boxes[0].text, L"Невозможно получить данные из файла 'C:\\data\\100%s done.txt'.");
}

TEST(ShowMessageBox, ErrorCodeFollowsTheArgument) {
    CapturingSink sink(IDOK);
    ShowMessageBox(nullptr, 506, MB_ICONERROR, L"C:\\a.doc", ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(sink.boxes.size(), 1u);
    EXPECT_EQ(sink.boxes[0].text, L"Не удается зашифровать файл 'C:\\a.doc'.\r\n" + kFileNotFoundText);
}

TEST(ShowMessageBox, ErrorCodeTakesTheFirstPlaceWithoutArgument) {
    CapturingSink sink(IDOK);
    ShowMessageBox(nullptr, 772, MB_ICONERROR, nullptr, ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(sink.boxes.size(), 1u);
    EXPECT_EQ(sink.boxes[0].text, L"Не удается прочитать данные из файла.\r\n" + kFileNotFoundText);
}

TEST(ShowMessageBox, StringZeroShowsTheSystemTextAlone) {
    CapturingSink sink(IDOK);
    ShowMessageBox(nullptr, 0, MB_ICONERROR, nullptr, ERROR_FILE_NOT_FOUND);
    ShowMessageBox(nullptr, 0, MB_ICONERROR, L"ignored", ERROR_FILE_NOT_FOUND);
    ShowMessageBox(nullptr, 0, MB_YESNO, L"A question built by the caller", 0);
    ASSERT_EQ(sink.boxes.size(), 3u);
    EXPECT_EQ(sink.boxes[0].text, kFileNotFoundText);
    EXPECT_EQ(sink.boxes[1].text, kFileNotFoundText);
    EXPECT_EQ(sink.boxes[2].text, L"A question built by the caller");
}

TEST(SystemErrorText, TrailingBlanksAndLineBreaksAreRemoved) {
    wchar_t* raw = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        ERROR_FILE_NOT_FOUND, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&raw), 0, nullptr);
    ASSERT_GT(length, 0u);
    std::wstring rawText(raw, length);
    LocalFree(raw);
    // The platform's own text ends with a line break; ours must not.
    ASSERT_EQ(rawText.back(), L'\n');
    EXPECT_EQ(SystemErrorText(ERROR_FILE_NOT_FOUND), kFileNotFoundText);
    EXPECT_EQ(rawText.compare(0, kFileNotFoundText.size(), kFileNotFoundText), 0);
}

TEST(SystemErrorText, CodeWithoutTextUsesTheErrorString) {
    EXPECT_EQ(SystemErrorText(0x2FFFFFF1), L"Ошибка - 0x2FFFFFF1");
    CapturingSink sink(IDOK);
    ShowMessageBox(nullptr, 772, MB_ICONERROR, nullptr, 0x2FFFFFF1);
    ASSERT_EQ(sink.boxes.size(), 1u);
    EXPECT_EQ(sink.boxes[0].text, L"Не удается прочитать данные из файла.\r\nОшибка - 0x2FFFFFF1");
}

TEST(FormatSystemMessage, CodeAndOffsetFollowTheSystemText) {
    std::wstring text;
    int length = FormatSystemMessage(text, nullptr, 776, 0x2FFFFFF1, -7);
    EXPECT_EQ(text, L"Не удается расшифровать файл.\r\nОшибка - 0x2FFFFFF1\r\nОшибка - 0x2FFFFFF1, смещение - -7.");
    EXPECT_EQ(length, static_cast<int>(text.size()));

    length = FormatSystemMessage(text, L"ignored", 0, ERROR_FILE_NOT_FOUND, 0);
    EXPECT_EQ(text, kFileNotFoundText);
    EXPECT_EQ(length, static_cast<int>(kFileNotFoundText.size()));
}

TEST(FormatSystemMessage, MissingValuesNeverReadNumbersAsStrings) {
    // 512 wants the argument and the system text; without an argument its second %s meets the
    // code, a number, and must stay empty rather than read it as a pointer.
    std::wstring text;
    FormatSystemMessage(text, nullptr, 512, ERROR_FILE_NOT_FOUND, 0);
    EXPECT_EQ(text, L"Не удается создать файл '" + kFileNotFoundText +
                        L"'.\r\n\r\nВы хотите изменить имя файла или его расположение?");
    // 526 has four %s; a plain message box with one argument fills the first only.
    CapturingSink sink(IDOK);
    ShowMessageBox(nullptr, 526, MB_OK, L"X", 0);
    ASSERT_EQ(sink.boxes.size(), 1u);
    EXPECT_EQ(sink.boxes[0].text,
              L"Сертификат\r\n\tКому выдан: X\r\n\tКем выдан: \r\n\tДействителен до: \r\n\tСерийный номер: \r\n");
}

TEST(MessageAnswers, SafeAnswerNeverAgrees) {
    EXPECT_EQ(SafeAnswer(MB_OK | MB_ICONERROR), IDOK);
    EXPECT_EQ(SafeAnswer(MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(SafeAnswer(MB_YESNOCANCEL | MB_ICONQUESTION), IDCANCEL);
    EXPECT_EQ(SafeAnswer(MB_YESNO | MB_ICONERROR), IDNO);
    EXPECT_EQ(SafeAnswer(MB_RETRYCANCEL), IDCANCEL);
    EXPECT_EQ(SafeAnswer(MB_ABORTRETRYIGNORE), IDABORT);
    EXPECT_EQ(SafeAnswer(MB_CANCELTRYCONTINUE), IDCANCEL);
}

TEST(MessageAnswers, AgreeingAnswerNeverRetriesForEver) {
    EXPECT_EQ(AgreeingAnswer(MB_OK), IDOK);
    EXPECT_EQ(AgreeingAnswer(MB_OKCANCEL), IDOK);
    EXPECT_EQ(AgreeingAnswer(MB_YESNOCANCEL | MB_ICONQUESTION), IDYES);
    EXPECT_EQ(AgreeingAnswer(MB_YESNO), IDYES);
    EXPECT_EQ(AgreeingAnswer(MB_RETRYCANCEL), IDCANCEL);
    EXPECT_EQ(AgreeingAnswer(MB_ABORTRETRYIGNORE), IDIGNORE);
    EXPECT_EQ(AgreeingAnswer(MB_CANCELTRYCONTINUE), IDCONTINUE);
}

std::string ReadSinkOutput(bool agree, UINT style, const wchar_t* argument, int& answer) {
    testing_support::TempDir dir;
    std::wstring path = dir.File(L"out.txt");
    {
        FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ConsoleMessageSink console(file.get(), agree);
        MessageSink* previous = SetMessageSink(&console);
        answer = ShowMessageBox(nullptr, 547, style, argument, 0);
        SetMessageSink(previous);
    }
    std::vector<uint8_t> bytes = testing_support::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

TEST(ConsoleMessageSink, PrintsUtf8AndAnswersSafely) {
    int answer = 0;
    std::string out = ReadSinkOutput(false, MB_YESNOCANCEL | MB_ICONQUESTION, L"a.zip", answer);
    EXPECT_EQ(answer, IDCANCEL);
    EXPECT_EQ(out, "Quillarent 1.0: Файл 'a.zip' уже использует сжатие данных,\r\n"
                   "упаковать данный файл без дополнительного сжатия? [Cancel]\r\n");
    out = ReadSinkOutput(true, MB_YESNOCANCEL | MB_ICONQUESTION, L"a.zip", answer);
    EXPECT_EQ(answer, IDYES);
    EXPECT_NE(out.find("[Yes]\r\n"), std::string::npos);
}

// Without a sink a real message box appears: a helper thread finds it, reads its text and
// presses No.
TEST(ShowMessageBox, WithoutSinkShowsARealBox) {
    ASSERT_EQ(CurrentMessageSink(), nullptr);
    std::wstring seenText;
    std::atomic<bool> found{false};
    std::thread helper([&] {
        for (int i = 0; i < 500 && !found; ++i) {
            HWND box = FindWindowW(L"#32770", kCaption.c_str());
            if (box && IsWindowVisible(box)) {
                wchar_t text[512] = {};
                GetDlgItemTextW(box, 0xFFFF, text, 512);
                seenText = text;
                found = true;
                PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDNO)));
                break;
            }
            Sleep(20);
        }
    });
    int answer = ShowMessageBox(nullptr, 547, MB_YESNOCANCEL | MB_ICONQUESTION, L"b.rar", 0);
    helper.join();
    ASSERT_TRUE(found);
    EXPECT_EQ(answer, IDNO);
    EXPECT_EQ(seenText, L"Файл 'b.rar' уже использует сжатие данных,\r\nупаковать данный файл без дополнительного сжатия?");
}

}  // namespace
