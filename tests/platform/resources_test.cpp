// Resource lookups in the program's own .res and in hand-made ones.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform_fixture.h"
#include "resource.h"

namespace {

using ptest::programInstance;

// Writes .res entries as the resource compiler lays them out.
class ResBuilder {
  public:
    ResBuilder() { entry(0, 0, {}, 0); }  // the empty entry every .res starts with
    ResBuilder &entry(uint16_t type, uint16_t name, const std::vector<uint8_t> &data, uint16_t language) {
        return add(ordinal(type), ordinal(name), data, language);
    }
    ResBuilder &named(const std::u16string &type, const std::u16string &name, const std::vector<uint8_t> &data,
                      uint16_t language) {
        return add(text(type), text(name), data, language);
    }
    std::vector<uint8_t> bytes;
    wince::ModuleResources module() const { return {bytes.data(), bytes.size(), "test"}; }

  private:
    static std::vector<uint8_t> ordinal(uint16_t id) {
        return {0xFF, 0xFF, static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
    }
    static std::vector<uint8_t> text(const std::u16string &s) {
        std::vector<uint8_t> out;
        for (char16_t c : s) out.insert(out.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
        out.insert(out.end(), {0, 0});
        return out;
    }
    ResBuilder &add(const std::vector<uint8_t> &type, const std::vector<uint8_t> &name,
                    const std::vector<uint8_t> &data, uint16_t language) {
        std::vector<uint8_t> header(8);
        header.insert(header.end(), type.begin(), type.end());
        header.insert(header.end(), name.begin(), name.end());
        while (header.size() % 4) header.push_back(0);
        std::vector<uint8_t> tail(16, 0);
        tail[4] = 0x30;  // memory flags
        tail[6] = static_cast<uint8_t>(language);
        tail[7] = static_cast<uint8_t>(language >> 8);
        header.insert(header.end(), tail.begin(), tail.end());
        put(header, 0, static_cast<uint32_t>(data.size()));
        put(header, 4, static_cast<uint32_t>(header.size()));
        bytes.insert(bytes.end(), header.begin(), header.end());
        bytes.insert(bytes.end(), data.begin(), data.end());
        while (bytes.size() % 4) bytes.push_back(0);
        return *this;
    }
    static void put(std::vector<uint8_t> &v, size_t at, uint32_t x) {
        for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
    }
};

HINSTANCE instanceOf(const wince::ModuleResources &m) {
    return reinterpret_cast<HINSTANCE>(const_cast<wince::ModuleResources *>(&m));
}

std::vector<uint8_t> dataOf(HINSTANCE module, HRSRC info) {
    const auto *p = static_cast<const uint8_t *>(LoadResource(module, info));
    return std::vector<uint8_t>(p, p + SizeofResource(module, info));
}

TEST(Resources, FindsTheProgramsDialogsAndIcons) {
    struct Case {
        int name;
        LPCWSTR type;
        DWORD size;
    } cases[] = {
        {IDD_MAIN, RT_DIALOG, 0},  // sizes of the dialogs are checked field by field elsewhere
        {IDD_UPDATE, RT_DIALOG, 0},
        {IDI_UPDATE_TOOL, RT_GROUP_ICON, 6 + 2 * 14},
        {1, RT_ICON, 40 + 16 * 4 + 32 * 32 / 2 + 32 * 32 / 8},  // 32 x 32, 16 colours: header, palette, pixels, mask
        {2, RT_ICON, 40 + 16 * 4 + 16 * 16 / 2 + 16 * 4},       // 16 x 16: mask rows padded to 32 bits
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        HRSRC info = FindResourceW(programInstance(), MAKEINTRESOURCE(c.name), c.type);
        ASSERT_NE(info, nullptr);
        EXPECT_NE(LoadResource(programInstance(), info), nullptr);
        if (c.size != 0) {
            EXPECT_EQ(SizeofResource(programInstance(), info), c.size);
        }
    }
}

TEST(Resources, IconGroupHoldsA32And16PixelImageOf16ColoursEach) {
    HRSRC info = FindResourceW(programInstance(), MAKEINTRESOURCE(IDI_UPDATE_TOOL), RT_GROUP_ICON);
    auto group = dataOf(programInstance(), info);
    ASSERT_EQ(group.size(), 34u);
    EXPECT_EQ(group[2], 1);  // icons
    EXPECT_EQ(group[4], 2);  // two images
    const uint8_t *first = group.data() + 6, *second = group.data() + 20;
    EXPECT_EQ(first[0], 32);
    EXPECT_EQ(first[1], 32);
    EXPECT_EQ(first[2], 16);
    EXPECT_EQ(second[0], 16);
    EXPECT_EQ(second[1], 16);
    EXPECT_EQ(second[2], 16);
}

TEST(Resources, MissingNamesAndTypesSayWhichIsMissing) {
    SetLastError(0);
    EXPECT_EQ(FindResourceW(programInstance(), MAKEINTRESOURCE(103), RT_DIALOG), nullptr);
    EXPECT_EQ(GetLastError(), 1814u);  // name not found
    EXPECT_EQ(FindResourceW(programInstance(), MAKEINTRESOURCE(IDD_MAIN), RT_STRING), nullptr);
    EXPECT_EQ(GetLastError(), 1813u);  // type not found
    EXPECT_EQ(FindResourceW(programInstance(), u"IDD_MAIN", RT_DIALOG), nullptr);
    EXPECT_EQ(FindResourceW(programInstance(), MAKEINTRESOURCE(0), RT_DIALOG), nullptr);
}

TEST(Resources, NumberWrittenAsTextAndNullModuleFindTheSameResource) {
    HRSRC byNumber = FindResourceW(programInstance(), MAKEINTRESOURCE(IDD_UPDATE), RT_DIALOG);
    EXPECT_EQ(FindResourceW(programInstance(), u"#102", RT_DIALOG), byNumber);
    EXPECT_EQ(FindResourceW(programInstance(), MAKEINTRESOURCE(IDD_UPDATE), u"#5"), byNumber);
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCE(IDD_UPDATE), RT_DIALOG), byNumber);
    for (LPCWSTR bad : {u"#", u"#10x", u"#70000", u"#0"})
        EXPECT_EQ(FindResourceW(programInstance(), bad, RT_DIALOG), nullptr) << wince::toUtf8(bad);
}

TEST(Resources, PrefersUsEnglishElseTakesAnyLanguage) {
    ResBuilder res;
    res.entry(5, 7, {1}, 1031).entry(5, 7, {2}, 1033).entry(5, 7, {3}, 1036);
    res.entry(5, 8, {4}, 1031).entry(5, 8, {5}, 1036);
    auto m = res.module();
    HINSTANCE h = instanceOf(m);
    EXPECT_EQ(dataOf(h, FindResourceW(h, MAKEINTRESOURCE(7), RT_DIALOG)), std::vector<uint8_t>{2});
    EXPECT_EQ(dataOf(h, FindResourceW(h, MAKEINTRESOURCE(8), RT_DIALOG)), std::vector<uint8_t>{4});
}

TEST(Resources, NamesAndTypesByTextIgnoreCase) {
    ResBuilder res;
    res.named(u"FIRMWARE", u"BOOT", {9, 8, 7}, 1033);
    auto m = res.module();
    HINSTANCE h = instanceOf(m);
    EXPECT_EQ(dataOf(h, FindResourceW(h, u"boot", u"Firmware")), (std::vector<uint8_t>{9, 8, 7}));
    EXPECT_EQ(FindResourceW(h, u"BOOTS", u"FIRMWARE"), nullptr);
    EXPECT_EQ(FindResourceW(h, MAKEINTRESOURCE(1), u"FIRMWARE"), nullptr);
}

TEST(Resources, HandlesThatAreNotEntriesLoadNothing) {
    HRSRC info = FindResourceW(programInstance(), MAKEINTRESOURCE(IDD_MAIN), RT_DIALOG);
    auto *inside = reinterpret_cast<HRSRC>(reinterpret_cast<uint8_t *>(info) + 4);
    EXPECT_EQ(LoadResource(programInstance(), inside), nullptr);
    EXPECT_EQ(SizeofResource(programInstance(), inside), 0u);
    EXPECT_EQ(LoadResource(programInstance(), nullptr), nullptr);
    ResBuilder other;
    other.entry(5, IDD_MAIN, {1, 2}, 1033);
    auto m = other.module();
    EXPECT_EQ(LoadResource(instanceOf(m), info), nullptr);  // an entry of another module
}

// Every cut of the real .res and every damaged header field must give
// "not found" or a resource that lies wholly inside the data.
void expectInside(const std::vector<uint8_t> &bytes) {
    wince::ModuleResources m{bytes.data(), bytes.size(), "cut"};
    HINSTANCE h = instanceOf(m);
    for (int name : {IDD_MAIN, IDD_UPDATE, IDI_UPDATE_TOOL}) {
        for (LPCWSTR type : {RT_DIALOG, RT_GROUP_ICON}) {
            HRSRC info = FindResourceW(h, MAKEINTRESOURCE(name), type);
            if (info == nullptr) continue;
            const auto *p = static_cast<const uint8_t *>(LoadResource(h, info));
            ASSERT_NE(p, nullptr);
            ASSERT_GE(p, bytes.data());
            ASSERT_LE(p + SizeofResource(h, info), bytes.data() + bytes.size());
        }
    }
}

TEST(Resources, DamagedResFindsNothingOutsideItsData) {
    const std::vector<uint8_t> whole(wince_program_module.data, wince_program_module.data + wince_program_module.size);
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        // A copy of exactly `cut` bytes, so that the sanitizer sees any read past it.
        std::vector<uint8_t> part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
        part.shrink_to_fit();
        expectInside(part);
    }
    // Damaged size fields in the dialog entry's header.
    HRSRC info = FindResourceW(programInstance(), MAKEINTRESOURCE(IDD_MAIN), RT_DIALOG);
    const size_t at = static_cast<size_t>(reinterpret_cast<const uint8_t *>(info) - wince_program_module.data);
    for (uint32_t value : {0u, 4u, 7u, 9u, 0x7FFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFF0u}) {
        for (size_t field : {at, at + 4}) {
            auto bad = whole;
            std::memcpy(bad.data() + field, &value, 4);
            expectInside(bad);
        }
    }
    // A name that runs to the end without its NUL.
    auto bad = whole;
    for (size_t i = at + 8; i < bad.size(); ++i) bad[i] = 'A';
    expectInside(bad);
}

TEST(Resources, EmptyOrAbsentModuleFindsNothing) {
    wince::ModuleResources empty{nullptr, 0, "empty"};
    EXPECT_EQ(FindResourceW(instanceOf(empty), MAKEINTRESOURCE(IDD_MAIN), RT_DIALOG), nullptr);
    EXPECT_EQ(FindResourceW(programInstance(), nullptr, RT_DIALOG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
