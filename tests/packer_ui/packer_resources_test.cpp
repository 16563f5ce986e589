// The packer window's resources as the window loads them: menu layout, pictures, icons, labels and
// the about box.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "format/service/resources.h"

namespace {

constexpr int kPopup = -1;

struct MenuRow {
    UINT menu;
    std::vector<int> path;  // positions: into popups, then the item itself
    int id;                 // kPopup for a popup
    const wchar_t* text;    // nullptr for a separator
    bool grayed;
};

const MenuRow kMenuRows[] = {
    {101, {0}, kPopup, L"&Файл", false},
    {101, {0, 0}, 57601, L"&Добавить...", false},
    {101, {0, 1}, kPopup, L"&Последние файлы", false},
    {101, {0, 1, 0}, 20000, L"Нет файлов", true},
    {101, {0, 2}, 40017, L"&Надежно удалить", true},
    {101, {0, 3}, 40008, L"Сво&йства...", true},
    {101, {0, 4}, 0, nullptr, false},
    {101, {0, 5}, 1040, L"&Выход", false},
    {101, {1, 0}, kPopup, L"&Вид", false},
    {101, {1, 0, 0}, 40035, L"&Крупные значки", false},
    {101, {1, 0, 3}, 40038, L"&Таблица", false},
    {101, {1, 1}, 0, nullptr, false},
    {101, {1, 2}, 1045, L"Сво&йства...", false},
    {101, {1, 3}, 57635, L"В&ырезать", false},
    {101, {1, 4}, 57634, L"&Копировать", false},
    {101, {1, 5}, 57637, L"Вст&авить", false},
    {101, {1, 6}, 1011, L"&Удалить", false},
    {101, {1, 8}, 40012, L"Выделить в&сё", false},
    {101, {2}, kPopup, L"С&ертификат", false},
    {101, {2, 0, 0}, 21000, L"Нет сертификатов", true},
    {101, {2, 2}, 40029, L"Добавить из &файла...", false},
    {101, {2, 3}, 40030, L"Добавить из &хранилища...", false},
    {101, {2, 4}, 40031, L"Добавить из &службы каталогов...", false},
    {101, {2, 6}, 40007, L"П&росмотр...", true},
    {101, {3, 0}, 40013, L"&Вызов справки...", false},
    {101, {3, 1}, 40014, L"&О программе...", false},
    {418, {0, 0}, 1036, L"&Упаковать", false},
    {418, {0, 1}, 1001, L"Упаковать &в...", false},
    {418, {1, 0}, kPopup, L"&Последние сертификаты", false},
    {418, {1, 0, 0}, 21000, L"Нет сертификатов", true},
    {418, {1, 1}, 0, nullptr, false},
    {418, {1, 2}, 40030, L"Добавить из &хранилища", false},
    {418, {1, 3}, 40029, L"Добавить из &файла", false},
    {418, {1, 4}, 40031, L"Добавить из &службы каталогов", false},
    {418, {2, 0}, 40067, L"&Мелкие значки", false},
    {418, {2, 1}, 40068, L"&Крупные значки", false},
    {418, {2, 2}, 40066, L"&Подписи к кнопкам", false},
};

// Item counts of the menus and their popups, so that nothing extra sits between the rows above.
struct CountRow {
    UINT menu;
    std::vector<int> path;
    int count;
};

const CountRow kCountRows[] = {
    {101, {}, 4}, {101, {0}, 6}, {101, {0, 1}, 1}, {101, {1}, 9}, {101, {1, 0}, 4}, {101, {2}, 7},
    {101, {2, 0}, 1}, {101, {3}, 2}, {418, {}, 3}, {418, {0}, 2}, {418, {1}, 5}, {418, {2}, 3},
};

class Menu {
public:
    explicit Menu(UINT id) : menu_(LoadMenuW(ResourceModule(), MAKEINTRESOURCEW(id))) {}
    ~Menu() {
        if (menu_) DestroyMenu(menu_);
    }
    HMENU get() const { return menu_; }

private:
    HMENU menu_;
};

// The popup reached through path; null when a step is not a popup.
HMENU Follow(HMENU menu, const std::vector<int>& path) {
    for (int position : path) {
        if (!menu) return nullptr;
        menu = GetSubMenu(menu, position);
    }
    return menu;
}

TEST(PackerResources, MenuItemsSitWhereTheWindowLooksForThem) {
    for (const MenuRow& row : kMenuRows) {
        SCOPED_TRACE(testing::Message() << "menu " << row.menu << " item " << testing::PrintToString(row.path));
        Menu menu(row.menu);
        ASSERT_NE(menu.get(), nullptr);
        std::vector<int> parentPath(row.path.begin(), row.path.end() - 1);
        HMENU parent = Follow(menu.get(), parentPath);
        ASSERT_NE(parent, nullptr);
        wchar_t text[128] = {};
        MENUITEMINFOW info = {};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STATE | MIIM_STRING | MIIM_SUBMENU;
        info.dwTypeData = text;
        info.cch = ARRAYSIZE(text);
        ASSERT_TRUE(GetMenuItemInfoW(parent, row.path.back(), TRUE, &info));
        if (!row.text) {
            EXPECT_TRUE(info.fType & MFT_SEPARATOR);
            continue;
        }
        EXPECT_FALSE(info.fType & MFT_SEPARATOR);
        EXPECT_EQ(std::wstring(text), row.text);
        if (row.id == kPopup) {
            EXPECT_NE(info.hSubMenu, nullptr);
        } else {
            EXPECT_EQ(info.hSubMenu, nullptr);
            EXPECT_EQ(info.wID, static_cast<UINT>(row.id));
        }
        EXPECT_EQ((info.fState & MFS_GRAYED) != 0, row.grayed);
    }
}

TEST(PackerResources, MenusHoldNoMoreItemsThanListed) {
    for (const CountRow& row : kCountRows) {
        SCOPED_TRACE(testing::Message() << "menu " << row.menu << " popup " << testing::PrintToString(row.path));
        Menu menu(row.menu);
        HMENU popup = Follow(menu.get(), row.path);
        ASSERT_NE(popup, nullptr);
        EXPECT_EQ(GetMenuItemCount(popup), row.count);
    }
}

struct BitmapRow {
    UINT id;
    int width, height, bits;
};

const BitmapRow kBitmapRows[] = {
    {406, 128, 32, 24}, {420, 64, 64, 24}, {424, 192, 24, 32},
    {425, 192, 24, 32}, {426, 128, 16, 32}, {427, 128, 16, 32},
};

// Top-left pixel and the smallest and largest alpha of a DIB section (alpha only for 32-bit).
struct BitmapFacts {
    BITMAP header = {};
    RGBQUAD topLeft = {};
    int minAlpha = 255, maxAlpha = 0;
};

BitmapFacts Inspect(HBITMAP bitmap) {
    BitmapFacts facts;
    DIBSECTION section = {};
    if (GetObjectW(bitmap, sizeof(section), &section) != sizeof(section)) return facts;
    facts.header = section.dsBm;
    const BITMAP& bm = section.dsBm;
    const BYTE* bits = static_cast<const BYTE*>(bm.bmBits);
    const int bytesPerPixel = bm.bmBitsPixel / 8;
    // DIB sections run bottom-up: the top row is the last one in memory.
    const BYTE* top = bits + static_cast<size_t>(bm.bmHeight - 1) * bm.bmWidthBytes;
    facts.topLeft = {top[0], top[1], top[2], bytesPerPixel == 4 ? top[3] : BYTE(0)};
    if (bytesPerPixel == 4) {
        for (int y = 0; y < bm.bmHeight; ++y) {
            for (int x = 0; x < bm.bmWidth; ++x) {
                int alpha = bits[static_cast<size_t>(y) * bm.bmWidthBytes + x * 4 + 3];
                facts.minAlpha = std::min(facts.minAlpha, alpha);
                facts.maxAlpha = std::max(facts.maxAlpha, alpha);
            }
        }
    }
    return facts;
}

TEST(PackerResources, BitmapsHaveTheirStripSizes) {
    for (const BitmapRow& row : kBitmapRows) {
        SCOPED_TRACE(testing::Message() << "bitmap " << row.id);
        HBITMAP bitmap = static_cast<HBITMAP>(
            LoadImageW(ResourceModule(), MAKEINTRESOURCEW(row.id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
        ASSERT_NE(bitmap, nullptr);
        BitmapFacts facts = Inspect(bitmap);
        DeleteObject(bitmap);
        EXPECT_EQ(facts.header.bmWidth, row.width);
        EXPECT_EQ(facts.header.bmHeight, row.height);
        EXPECT_EQ(facts.header.bmBitsPixel, row.bits);
        if (row.bits == 32) {  // a transparent background around opaque drawing
            EXPECT_EQ(facts.minAlpha, 0);
            EXPECT_EQ(facts.maxAlpha, 255);
        }
        if (row.id == 406) {  // the page icons' mask colour
            EXPECT_EQ(facts.topLeft.rgbRed, 0);
            EXPECT_EQ(facts.topLeft.rgbGreen, 0);
            EXPECT_EQ(facts.topLeft.rgbBlue, 255);
        }
    }
}

struct IconRow {
    UINT id;
    std::vector<int> sizes;
};

const IconRow kIconRows[] = {{410, {16, 32, 48}}, {412, {16, 32}}};

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST(PackerResources, IconsCarryEachSizeIn32Bits) {
    for (const IconRow& row : kIconRows) {
        SCOPED_TRACE(testing::Message() << "icon " << row.id);
        HRSRC found = FindResourceW(ResourceModule(), MAKEINTRESOURCEW(row.id), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
        ASSERT_NE(found, nullptr);
        const BYTE* group = static_cast<const BYTE*>(LockResource(LoadResource(ResourceModule(), found)));
        ASSERT_NE(group, nullptr);
        const WORD count = reinterpret_cast<const WORD*>(group)[2];
        ASSERT_EQ(count, row.sizes.size());
        const GroupIconEntry* entries = reinterpret_cast<const GroupIconEntry*>(group + 6);
        for (WORD i = 0; i < count; ++i) {
            EXPECT_EQ(entries[i].width, row.sizes[i]);
            EXPECT_EQ(entries[i].height, row.sizes[i]);
            EXPECT_EQ(entries[i].bitCount, 32);
        }
        for (int size : row.sizes) {
            HICON icon = static_cast<HICON>(
                LoadImageW(ResourceModule(), MAKEINTRESOURCEW(row.id), IMAGE_ICON, size, size, 0));
            ASSERT_NE(icon, nullptr) << size;
            ICONINFO info = {};
            ASSERT_TRUE(GetIconInfo(icon, &info));
            BITMAP colour = {};
            GetObjectW(info.hbmColor, sizeof(colour), &colour);
            EXPECT_EQ(colour.bmWidth, size);
            DeleteObject(info.hbmColor);
            DeleteObject(info.hbmMask);
            DestroyIcon(icon);
        }
    }
}

// The label list's first character separates its entries.
std::vector<std::wstring> Labels(const std::wstring& list) {
    std::vector<std::wstring> labels;
    if (list.empty()) return labels;
    size_t start = 1;
    for (;;) {
        size_t end = list.find(list[0], start);
        labels.push_back(list.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) return labels;
        start = end + 1;
    }
}

TEST(PackerResources, ToolbarLabelsNameTheEightButtons) {
    const struct {
        UINT id;
        const wchar_t* first;
        const wchar_t* sixth;
        const wchar_t* last;
    } rows[] = {
        {533, L"Упаковать", L"Выбрать сертификат из хранилища", L"Показать свойства выделенных элементов"},
        {555, L"Упаковать", L"Сертификат", L"Свойства"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.id);
        std::vector<std::wstring> labels = Labels(LoadText(row.id));
        ASSERT_EQ(labels.size(), 8u);
        EXPECT_EQ(labels[0], row.first);
        EXPECT_EQ(labels[6], row.sixth);
        EXPECT_EQ(labels[7], row.last);
        for (const std::wstring& label : labels) EXPECT_FALSE(label.empty());
    }
}

TEST(PackerResources, CommandsHaveTheirStatusTexts) {
    const struct {
        UINT id;
        const wchar_t* text;
    } rows[] = {
        {1001, L"Упаковать файлы из списка в выбранную папку. "},
        {1040, L"Закрыть Quillarent."},
        {40017, L"Надёжно удалить выделенные файлы."},
        {57637, L"Вставить элементы, ранее скопированные или вырезанные в буффер обмена, в указанное место."},
    };
    for (const auto& row : rows) EXPECT_EQ(LoadText(row.id), row.text) << row.id;
    // every command of the main menu has one
    Menu menu(101);
    std::vector<HMENU> pending = {menu.get()};
    while (!pending.empty()) {
        HMENU popup = pending.back();
        pending.pop_back();
        for (int i = 0; i < GetMenuItemCount(popup); ++i) {
            if (HMENU sub = GetSubMenu(popup, i)) {
                pending.push_back(sub);
                continue;
            }
            UINT id = GetMenuItemID(popup, i);
            if (id == 0 || id == 20000 || id == 21000) continue;  // separators and placeholders
            EXPECT_FALSE(LoadText(id).empty()) << id;
        }
    }
}

TEST(PackerResources, AboutBoxShowsItsPictureAndTextsFit) {
    HWND dialog = CreateDialogParamW(ResourceModule(), MAKEINTRESOURCEW(205), nullptr, nullptr, 0);
    ASSERT_NE(dialog, nullptr);
    HWND picture = nullptr;
    int texts = 0;
    HDC dc = GetDC(dialog);
    HGDIOBJ oldFont = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)));
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[32] = {};
        GetClassNameW(child, className, ARRAYSIZE(className));
        if (lstrcmpiW(className, L"Static") != 0) continue;
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP) {
            picture = child;
            continue;
        }
        wchar_t text[128] = {};
        GetWindowTextW(child, text, ARRAYSIZE(text));
        RECT client = {}, needed = {};
        GetClientRect(child, &client);
        DrawTextW(dc, text, -1, &needed, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
        EXPECT_LE(needed.right, client.right) << testing::PrintToString(std::wstring(text));
        ++texts;
    }
    SelectObject(dc, oldFont);
    ReleaseDC(dialog, dc);
    EXPECT_EQ(texts, 3);
    ASSERT_NE(picture, nullptr);
    EXPECT_NE(SendMessageW(picture, STM_GETIMAGE, IMAGE_BITMAP, 0), 0);
    EXPECT_NE(GetDlgItem(dialog, IDOK), nullptr);
    EXPECT_EQ(SendMessageW(dialog, DM_GETDEFID, 0, 0), MAKELRESULT(IDOK, DC_HASDEFID));
    DestroyWindow(dialog);
}

}  // namespace
