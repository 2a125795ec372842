// Reading dialog templates. Standard form:
//   DWORD style, DWORD exStyle, WORD count, short x, y, cx, cy,
//   menu, class (0x0000 = none, 0xFFFF + ordinal, or a NUL-ended string),
//   title string, [WORD point size, face string when DS_SETFONT],
//   then per item, each on a DWORD boundary:
//   DWORD style, DWORD exStyle, short x, y, cx, cy, WORD id,
//   class (0xFFFF + ordinal or string), title (0xFFFF + ordinal or string),
//   WORD count of creation bytes, the bytes.
// The extended form starts with WORD 1, WORD 0xFFFF and adds help ids, a
// 32-bit item id and the font's weight, italic flag and character set.
#include "wince/dialog_template.h"

#include <stdexcept>

namespace wince {
namespace {

constexpr uint32_t kSetFont = 0x40;  // DS_SETFONT
constexpr size_t kStandardHeader = 18;
constexpr size_t kExtendedHeader = 26;

class Malformed : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Reader {
  public:
    Reader(const unsigned char *data, size_t size) : data_(data), size_(size) {}

    size_t pos() const { return pos_; }
    void need(size_t n, const char *what) const {
        if (size_ - pos_ < n) throw Malformed(std::string("the template ends inside ") + what);
    }
    uint8_t byte(const char *what) {
        need(1, what);
        return data_[pos_++];
    }
    uint16_t word(const char *what) {
        need(2, what);
        const uint16_t v = static_cast<uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
        pos_ += 2;
        return v;
    }
    uint32_t dword(const char *what) {
        const uint32_t lo = word(what);
        return lo | (static_cast<uint32_t>(word(what)) << 16);
    }
    int coord(const char *what) { return static_cast<int16_t>(word(what)); }
    std::u16string string(const char *what) {
        std::u16string s;
        for (;;) {
            const uint16_t c = word(what);
            if (c == 0) return s;
            s += static_cast<char16_t>(c);
        }
    }
    // A menu or class field of the dialog: absent, an ordinal or a name.
    TemplateName name(const char *what) {
        TemplateName n;
        const uint16_t first = word(what);
        if (first == 0) return n;
        if (first == 0xFFFF) {
            n.kind = TemplateName::Ordinal;
            n.ordinal = word(what);
            return n;
        }
        pos_ -= 2;
        n.kind = TemplateName::Text;
        n.text = string(what);
        return n;
    }
    void alignDword(const char *what) {
        const size_t aligned = (pos_ + 3) & ~static_cast<size_t>(3);
        if (aligned > size_) throw Malformed(std::string("the template ends before ") + what);
        pos_ = aligned;
    }
    std::vector<uint8_t> bytes(size_t n, const char *what) {
        need(n, what);
        std::vector<uint8_t> v(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return v;
    }

  private:
    const unsigned char *data_;
    size_t size_;
    size_t pos_ = 0;
};

std::u16string predefinedClass(uint16_t ordinal) {
    switch (ordinal) {
    case 0x80:
        return u"BUTTON";
    case 0x81:
        return u"EDIT";
    case 0x82:
        return u"STATIC";
    case 0x83:
        return u"LISTBOX";
    case 0x84:
        return u"SCROLLBAR";
    case 0x85:
        return u"COMBOBOX";
    default:
        throw Malformed("an item names the unknown class ordinal " + std::to_string(ordinal));
    }
}

void readItemClassTitleExtra(Reader &r, DialogItemTemplate &item) {
    const TemplateName cls = r.name("an item's class");
    if (cls.kind == TemplateName::None) throw Malformed("an item has no class");
    if (cls.kind == TemplateName::Ordinal) {
        item.classOrdinal = cls.ordinal;
        item.className = predefinedClass(cls.ordinal);
    } else {
        item.className = cls.text;
    }
    item.title = r.name("an item's title");
    if (item.title.kind == TemplateName::None) item.title.kind = TemplateName::Text;  // an empty title
    const uint16_t extra = r.word("an item's creation data");
    item.extra = r.bytes(extra, "an item's creation data");
}

DialogTemplate parse(Reader &r, const unsigned char *data) {
    DialogTemplate t;
    t.extended = data[0] == 1 && data[1] == 0 && data[2] == 0xFF && data[3] == 0xFF;
    size_t count = 0;
    if (t.extended) {
        r.need(kExtendedHeader, "its header");
        r.dword("its header");  // version and signature
        t.helpId = r.dword("its header");
        t.exStyle = r.dword("its header");
        t.style = r.dword("its header");
        count = r.word("its header");
    } else {
        r.need(kStandardHeader, "its header");
        t.style = r.dword("its header");
        t.exStyle = r.dword("its header");
        count = r.word("its header");
    }
    t.x = r.coord("its header");
    t.y = r.coord("its header");
    t.cx = r.coord("its header");
    t.cy = r.coord("its header");
    t.menu = r.name("the menu name");
    t.windowClass = r.name("the class name");
    t.caption = r.string("the caption");
    if (t.style & kSetFont) {
        t.hasFont = true;
        t.pointSize = r.word("the font");
        if (t.extended) {
            t.weight = r.word("the font");
            t.italic = r.byte("the font") != 0;
            t.charset = r.byte("the font");
        }
        t.fontFace = r.string("the font's face name");
    }
    for (size_t i = 0; i < count; ++i) {
        r.alignDword("an item");
        DialogItemTemplate item;
        if (t.extended) {
            item.helpId = r.dword("an item");
            item.exStyle = r.dword("an item");
            item.style = r.dword("an item");
        } else {
            item.style = r.dword("an item");
            item.exStyle = r.dword("an item");
        }
        item.x = r.coord("an item");
        item.y = r.coord("an item");
        item.cx = r.coord("an item");
        item.cy = r.coord("an item");
        item.id = t.extended ? r.dword("an item") : r.word("an item");
        readItemClassTitleExtra(r, item);
        t.items.push_back(std::move(item));
    }
    t.size = r.pos();
    return t;
}

}  // namespace

DialogTemplateResult parseDialogTemplate(const void *data, size_t size) {
    DialogTemplateResult result;
    if (data == nullptr || size < 4) {
        result.error = "the template is too short";
        return result;
    }
    const auto *bytes = static_cast<const unsigned char *>(data);
    Reader reader(bytes, size);
    try {
        result.dialog = parse(reader, bytes);
    } catch (const Malformed &e) {
        result.error = e.what();
    }
    return result;
}

}  // namespace wince
