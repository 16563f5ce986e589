#include "pack/messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/test_support.h"

namespace {

const std::wstring kCaption = L"Quillarent 1.0";
const std::wstring kFileNotFound = L"Файл не найден.";  // the platform's text, without its line break
const DWORD kCodeWithoutText = 0x2FFFFFF1;

// Captures every box while installed and answers with a fixed button.
class CapturingSink : public MessageSink {
public:
    explicit CapturingSink(int answer) : answer_(answer) { previous_ = SetMessageSink(this); }
    ~CapturingSink() override { SetMessageSink(previous_); }
    int Answer(HWND owner, const std::wstring& text, const std::wstring& caption, UINT style) override {
        owners.push_back(owner);
        texts.push_back(text);
        captions.push_back(caption);
        styles.push_back(style);
        return answer_;
    }
    std::vector<HWND> owners;
    std::vector<std::wstring> texts, captions;
    std::vector<UINT> styles;

private:
    int answer_;
    MessageSink* previous_;
};

TEST(ShowMessageBox, TextsArgumentsAndSystemTexts) {
    CapturingSink sink(IDCANCEL);
    HWND owner = reinterpret_cast<HWND>(0x1234);
    EXPECT_EQ(ShowMessageBox(owner, 516, MB_ICONERROR, nullptr, 0), IDCANCEL);
    // An argument is a value, never a format: its %s stays as it is.
    ShowMessageBox(nullptr, 508, MB_OKCANCEL, L"C:\\100%s.txt", 0);
    ShowMessageBox(nullptr, 506, MB_ICONERROR, L"C:\\a.doc", ERROR_FILE_NOT_FOUND);
    ShowMessageBox(nullptr, 772, MB_ICONERROR, nullptr, ERROR_FILE_NOT_FOUND);  // system text moves up
    ShowMessageBox(nullptr, 0, MB_ICONERROR, L"ignored", ERROR_FILE_NOT_FOUND);
    ShowMessageBox(nullptr, 0, MB_YESNO, L"A question built by the caller", 0);
    ShowMessageBox(nullptr, 772, MB_ICONERROR, nullptr, kCodeWithoutText);
    ASSERT_EQ(sink.texts.size(), 7u);
    EXPECT_EQ(sink.owners[0], owner);
    EXPECT_EQ(sink.captions[0], kCaption);
    EXPECT_EQ(sink.styles[0], static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(sink.texts[0], L"Вы не выбрали файлы для упаковывания.");
    EXPECT_EQ(sink.texts[1], L"Невозможно получить данные из файла 'C:\\100%s.txt'.");
    EXPECT_EQ(sink.texts[2], L"Не удается зашифровать файл 'C:\\a.doc'.\r\n" + kFileNotFound);
    EXPECT_EQ(sink.texts[3], L"Не удается прочитать данные из файла.\r\n" + kFileNotFound);
    EXPECT_EQ(sink.texts[4], kFileNotFound);
    EXPECT_EQ(sink.texts[5], L"A question built by the caller");
    EXPECT_EQ(sink.texts[6], L"Не удается прочитать данные из файла.\r\nОшибка - 0x2FFFFFF1");
}

TEST(FormatSystemMessage, CodeOffsetAndMissingValues) {
    std::wstring text;
    int length = FormatSystemMessage(text, nullptr, 776, kCodeWithoutText, -7);
    EXPECT_EQ(text, L"Не удается расшифровать файл.\r\nОшибка - 0x2FFFFFF1\r\nОшибка - 0x2FFFFFF1, смещение - -7.");
    EXPECT_EQ(length, static_cast<int>(text.size()));
    // Without an argument the second %s of 512 meets the code, a number: it stays empty instead
    // of reading the number as a string pointer.
    FormatSystemMessage(text, nullptr, 512, ERROR_FILE_NOT_FOUND, 0);
    EXPECT_EQ(text, L"Не удается создать файл '" + kFileNotFound + L"'.\r\n\r\nВы хотите изменить имя файла или его расположение?");
    EXPECT_EQ(SystemErrorText(ERROR_FILE_NOT_FOUND), kFileNotFound);
}

TEST(MessageAnswers, SafeAndAgreeingButtons) {
    const UINT styles[] = {MB_OK, MB_OKCANCEL, MB_ABORTRETRYIGNORE, MB_YESNOCANCEL, MB_YESNO, MB_RETRYCANCEL,
                           MB_CANCELTRYCONTINUE};
    const int safe[] = {IDOK, IDCANCEL, IDABORT, IDCANCEL, IDNO, IDCANCEL, IDCANCEL};
    // Retrying with nobody to change anything would ask the same question for ever.
    const int agreeing[] = {IDOK, IDOK, IDIGNORE, IDYES, IDYES, IDCANCEL, IDCONTINUE};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(SafeAnswer(styles[i] | MB_ICONQUESTION), safe[i]) << i;
        EXPECT_EQ(AgreeingAnswer(styles[i] | MB_ICONERROR), agreeing[i]) << i;
    }
}

TEST(ConsoleMessageSink, PrintsUtf8AndAnswers) {
    testing_support::TempDir dir;
    std::wstring path = dir.File(L"out.txt");
    int answers[2] = {};
    {
        FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ConsoleMessageSink safe(file.get()), agreeing(file.get(), true);
        MessageSink* previous = SetMessageSink(&safe);
        answers[0] = ShowMessageBox(nullptr, 547, MB_YESNOCANCEL | MB_ICONQUESTION, L"a.zip", 0);
        SetMessageSink(&agreeing);
        answers[1] = ShowMessageBox(nullptr, 546, MB_ICONINFORMATION, nullptr, 0);
        SetMessageSink(previous);
    }
    EXPECT_EQ(answers[0], IDCANCEL);
    EXPECT_EQ(answers[1], IDOK);
    std::vector<uint8_t> bytes = testing_support::ReadFileBytes(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              "Quillarent 1.0: Файл 'a.zip' уже использует сжатие данных,\r\n"
              "упаковать данный файл без дополнительного сжатия? [Cancel]\r\n"
              "Quillarent 1.0: Все файлы успешно упакованы.\r\n");
}

// Without a sink a real message box appears: a helper thread finds it, reads it and presses No.
TEST(ShowMessageBox, WithoutSinkShowsARealBox) {
    ASSERT_EQ(CurrentMessageSink(), nullptr);
    std::wstring seen;
    std::atomic<bool> found{false};
    std::thread helper([&] {
        HWND box = nullptr;
        if (!testing_support::WaitUntil([&box] {
                box = FindWindowW(L"#32770", kCaption.c_str());
                return box && IsWindowVisible(box);
            }))
            return;
        wchar_t text[512] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 512);
        seen = text;
        found = true;
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDNO)));
    });
    int answer = ShowMessageBox(nullptr, 547, MB_YESNOCANCEL | MB_ICONQUESTION, L"b.rar", 0);
    helper.join();
    ASSERT_TRUE(found);
    EXPECT_EQ(answer, IDNO);
    EXPECT_EQ(seen, L"Файл 'b.rar' уже использует сжатие данных,\r\nупаковать данный файл без дополнительного сжатия?");
}

}  // namespace
