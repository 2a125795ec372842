// The program's dialog templates, read field by field, and templates that
// are damaged or in the extended form.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "platform_fixture.h"
#include "resource.h"
#include "wince/dialog_template.h"

namespace {

constexpr uint32_t kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
constexpr uint32_t kPushButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
constexpr uint32_t kProgress = WS_CHILD | WS_VISIBLE | WS_BORDER;
constexpr uint32_t kLeftStatic = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;

std::vector<uint8_t> programTemplate(int number) {
    HRSRC info = FindResourceW(ptest::programInstance(), MAKEINTRESOURCE(number), RT_DIALOG);
    const auto *p = static_cast<const uint8_t *>(LoadResource(ptest::programInstance(), info));
    return std::vector<uint8_t>(p, p + SizeofResource(ptest::programInstance(), info));
}

wince::DialogTemplate parsed(int number) {
    const auto bytes = programTemplate(number);
    auto r = wince::parseDialogTemplate(bytes.data(), bytes.size());
    EXPECT_TRUE(r.dialog.has_value()) << r.error;
    return r.dialog.value_or(wince::DialogTemplate{});
}

struct ItemRow {
    uint32_t id;
    const char16_t *className;
    uint16_t classOrdinal;
    const char16_t *text;
    uint32_t style;
    int x, y, cx, cy;
};

void expectItems(const wince::DialogTemplate &t, const std::vector<ItemRow> &rows) {
    ASSERT_EQ(t.items.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("item " + std::to_string(i));
        const auto &item = t.items[i];
        EXPECT_EQ(item.id, rows[i].id);
        EXPECT_EQ(item.className, rows[i].className);
        EXPECT_EQ(item.classOrdinal, rows[i].classOrdinal);
        EXPECT_EQ(item.title.kind, wince::TemplateName::Text);
        EXPECT_EQ(item.title.text, rows[i].text);
        EXPECT_EQ(item.style, rows[i].style);
        EXPECT_EQ(item.exStyle, 0u);
        EXPECT_EQ(item.x, rows[i].x);
        EXPECT_EQ(item.y, rows[i].y);
        EXPECT_EQ(item.cx, rows[i].cx);
        EXPECT_EQ(item.cy, rows[i].cy);
        EXPECT_TRUE(item.extra.empty());
    }
}

void expectDialogFrame(const wince::DialogTemplate &t, const char16_t *caption, int cx, int cy) {
    EXPECT_FALSE(t.extended);
    EXPECT_EQ(t.caption, caption);
    EXPECT_EQ(t.style, kDialogStyle);
    EXPECT_EQ(t.exStyle, 0u);
    EXPECT_EQ(t.x, 0);
    EXPECT_EQ(t.y, 0);
    EXPECT_EQ(t.cx, cx);
    EXPECT_EQ(t.cy, cy);
    EXPECT_EQ(t.menu.kind, wince::TemplateName::None);
    EXPECT_EQ(t.windowClass.kind, wince::TemplateName::None);
    EXPECT_TRUE(t.hasFont);
    EXPECT_EQ(t.pointSize, 8);
    EXPECT_EQ(t.fontFace, u"System");
}

TEST(DialogTemplate, MainDialogMatchesItsTable) {
    const auto t = parsed(IDD_MAIN);
    expectDialogFrame(t, u"Update Tool v1.4", 102, 110);
    expectItems(t, {
                       {IDC_SAVE_REGISTRY, u"BUTTON", 0x80, u"Save Registry to Flash", kPushButton, 7, 7, 88, 19},
                       {IDC_CLEAR_REGISTRY, u"BUTTON", 0x80, u"Clear Registry on Flash", kPushButton, 7, 26, 88, 19},
                       {IDC_UPDATE_IMAGE, u"BUTTON", 0x80, u"Update IMAGE", kPushButton, 7, 45, 88, 19},
                       {IDC_BSP_VERSION, u"BUTTON", 0x80, u"BSP Version", kPushButton, 7, 64, 88, 19},
                       {IDC_REBOOT, u"BUTTON", 0x80, u"Reboot", kPushButton, 7, 83, 88, 19},
                   });
    // None is the default button.
    for (const auto &item : t.items) EXPECT_EQ(item.style & BS_DEFPUSHBUTTON, 0u);
}

TEST(DialogTemplate, UpdateDialogMatchesItsTable) {
    const auto t = parsed(IDD_UPDATE);
    expectDialogFrame(t, u"Updating IMAGE", 171, 89);
    expectItems(t, {
                       {IDCANCEL, u"BUTTON", 0x80, u"Abort", kPushButton, 52, 71, 58, 11},
                       {IDC_STEP_PROGRESS, u"msctls_progress32", 0, u"Progress1", kProgress, 7, 20, 157, 13},
                       {IDC_TOTAL_PROGRESS, u"msctls_progress32", 0, u"Progress2", kProgress, 7, 52, 157, 14},
                       {IDC_STEP_TEXT, u"STATIC", 0x82, u"", kLeftStatic, 7, 7, 157, 10},
                       {IDC_IMAGE_TEXT, u"STATIC", 0x82, u"", kLeftStatic, 7, 39, 157, 10},
                   });
}

TEST(DialogTemplate, EveryCutShortOfTheEndIsAnError) {
    for (int number : {IDD_MAIN, IDD_UPDATE}) {
        const auto whole = programTemplate(number);
        const size_t used = parsed(number).size;
        ASSERT_GT(used, 0u);
        ASSERT_LE(used, whole.size());
        for (size_t cut = 0; cut < whole.size(); ++cut) {
            std::vector<uint8_t> part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
            part.shrink_to_fit();
            auto r = wince::parseDialogTemplate(part.data(), part.size());
            EXPECT_EQ(r.dialog.has_value(), cut >= used) << "cut at " << cut;
            if (!r.dialog) {
                EXPECT_FALSE(r.error.empty());
            }
        }
    }
}

TEST(DialogTemplate, ReadsTheExtendedForm) {
    // WORD 1, WORD 0xFFFF, help id, exStyle, style, count, x, y, cx, cy,
    // menu, class, title, point size, weight, italic, charset, face; items.
    std::vector<uint8_t> b;
    auto w = [&](uint32_t v) { b.insert(b.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}); };
    auto d = [&](uint32_t v) { w(v & 0xFFFF), w(v >> 16); };
    auto s = [&](const std::u16string &t) {
        for (char16_t c : t) w(c);
        w(0);
    };
    w(1), w(0xFFFF), d(42), d(WS_EX_DLGMODALFRAME), d(kDialogStyle), w(1);
    w(3), w(4), w(120), w(60);
    w(0), w(0), s(u"Extended");
    w(9), w(700), b.push_back(1), b.push_back(2), s(u"System");
    while (b.size() % 4) b.push_back(0);
    d(7), d(0), d(kLeftStatic), w(5), w(6), w(50), w(8), d(70000);
    w(0xFFFF), w(0x82), s(u"Hi");
    w(2), b.push_back(0xAB), b.push_back(0xCD);

    auto r = wince::parseDialogTemplate(b.data(), b.size());
    ASSERT_TRUE(r.dialog) << r.error;
    const auto &t = *r.dialog;
    EXPECT_TRUE(t.extended);
    EXPECT_EQ(t.helpId, 42u);
    EXPECT_EQ(t.exStyle, static_cast<uint32_t>(WS_EX_DLGMODALFRAME));
    EXPECT_EQ(t.style, kDialogStyle);
    EXPECT_EQ(t.caption, u"Extended");
    EXPECT_EQ(t.cx, 120);
    EXPECT_EQ(t.pointSize, 9);
    EXPECT_EQ(t.weight, 700);
    EXPECT_TRUE(t.italic);
    EXPECT_EQ(t.charset, 2);
    ASSERT_EQ(t.items.size(), 1u);
    EXPECT_EQ(t.items[0].helpId, 7u);
    EXPECT_EQ(t.items[0].id, 70000u);
    EXPECT_EQ(t.items[0].className, u"STATIC");
    EXPECT_EQ(t.items[0].title.text, u"Hi");
    EXPECT_EQ(t.items[0].extra, (std::vector<uint8_t>{0xAB, 0xCD}));
    EXPECT_EQ(t.size, b.size());
}

TEST(DialogTemplate, ClassesByNameTitlesByNumberAndMalformedItems) {
    ptest::TemplateBuilder ok(kDialogStyle, u"Named");
    ok.item(5, 0, u"x", kProgress, u"msctls_progress32");
    auto r = wince::parseDialogTemplate(ok.bytes().data(), ok.bytes().size());
    ASSERT_TRUE(r.dialog) << r.error;
    EXPECT_EQ(r.dialog->items[0].className, u"msctls_progress32");
    EXPECT_EQ(r.dialog->items[0].classOrdinal, 0);

    // An icon static names its picture by number: 0xFFFF, 102.
    std::vector<uint8_t> icon = ok.bytes();
    const size_t title = icon.size() - 6;  // "x", NUL, creation count
    icon.resize(title);
    icon.insert(icon.end(), {0xFF, 0xFF, 102, 0, 0, 0});
    r = wince::parseDialogTemplate(icon.data(), icon.size());
    ASSERT_TRUE(r.dialog) << r.error;
    EXPECT_EQ(r.dialog->items[0].title.kind, wince::TemplateName::Ordinal);
    EXPECT_EQ(r.dialog->items[0].title.ordinal, 102);

    ptest::TemplateBuilder unknown(kDialogStyle, u"Bad");
    unknown.item(5, 0x86, u"?");
    r = wince::parseDialogTemplate(unknown.bytes().data(), unknown.bytes().size());
    EXPECT_FALSE(r.dialog);
    EXPECT_NE(r.error.find("class"), std::string::npos) << r.error;

    EXPECT_FALSE(wince::parseDialogTemplate(nullptr, 100).dialog);
}

TEST(DialogTemplate, ItemCountBeyondTheDataIsAnError) {
    auto bytes = programTemplate(IDD_MAIN);
    bytes[8] = 6;  // one item more than there is
    auto r = wince::parseDialogTemplate(bytes.data(), bytes.size());
    EXPECT_FALSE(r.dialog);
    bytes[8] = 0xFF, bytes[9] = 0xFF;
    EXPECT_FALSE(wince::parseDialogTemplate(bytes.data(), bytes.size()).dialog);
}

}  // namespace
