// Dialog templates as the resource compiler writes them (the standard form
// and the extended one), read into plain values. Not a platform header: the
// host's dialog manager and tests use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wince {

// A menu, class or title field that may be absent, a number or a name.
struct TemplateName {
    enum Kind { None, Ordinal, Text } kind = None;
    uint16_t ordinal = 0;
    std::u16string text;
};

struct DialogItemTemplate {
    uint32_t style = 0;
    uint32_t exStyle = 0;
    uint32_t helpId = 0;  // extended templates only
    int x = 0, y = 0, cx = 0, cy = 0;
    uint32_t id = 0;  // a WORD in the standard form
    // The class by name; the predefined ordinals 0x80..0x85 are given as
    // "BUTTON", "EDIT", "STATIC", "LISTBOX", "SCROLLBAR" and "COMBOBOX".
    std::u16string className;
    uint16_t classOrdinal = 0;   // the ordinal when the template used one, else 0
    TemplateName title;          // a text, or an ordinal (an icon's resource number)
    std::vector<uint8_t> extra;  // creation data
};

struct DialogTemplate {
    bool extended = false;
    uint32_t helpId = 0;  // extended templates only
    uint32_t style = 0;
    uint32_t exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    TemplateName menu;
    TemplateName windowClass;
    std::u16string caption;
    // Present when the style has DS_SETFONT.
    bool hasFont = false;
    uint16_t pointSize = 0;
    uint16_t weight = 0;  // extended templates only
    bool italic = false;  // extended templates only
    uint8_t charset = 0;  // extended templates only
    std::u16string fontFace;
    std::vector<DialogItemTemplate> items;  // in template order
    size_t size = 0;                        // bytes the template takes, up to the end of its last item
};

struct DialogTemplateResult {
    std::optional<DialogTemplate> dialog;
    std::string error;  // why the data is not a template, when `dialog` is empty
};

// Reads the template in the `size` bytes at `data`; never reads outside them.
// Truncated or malformed data gives an error instead of a template.
DialogTemplateResult parseDialogTemplate(const void *data, size_t size);

}  // namespace wince
