#include "image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <random>
#include <stdexcept>

#include "board/bootloader.h"
#include "board/image_contents.h"
#include "judge.h"

namespace binimage {

namespace {

uint32_t le32(const uint8_t *b) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
}

// Record data is read and summed this much at a time.
constexpr size_t kChunk = 64 * 1024;

void put32(std::string &out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint32_t number(const nlohmann::json &j, const char *key, uint32_t fallback) {
    if (!j.contains(key)) return fallback;
    const auto &v = j.at(key);
    uint64_t n = 0;
    if (v.is_number_unsigned()) n = v.get<uint64_t>();
    else if (v.is_number_integer() && v.get<int64_t>() >= 0) n = static_cast<uint64_t>(v.get<int64_t>());
    else if (v.is_string()) n = parseNumber(v.get<std::string>(), std::string("'") + key + "'");
    else throw std::runtime_error(std::string("'") + key + "' must be a whole number or a number in a string");
    if (n > 0xFFFFFFFFu) throw std::runtime_error(std::string("'") + key + "' does not fit 32 bits");
    return static_cast<uint32_t>(n);
}

// Refuses keys a description does not know: a mistyped one would be ignored.
void onlyKeys(const nlohmann::json &j, const std::string &what, std::initializer_list<const char *> known) {
    if (!j.is_object()) throw std::runtime_error(what + " must be a JSON object");
    for (const auto &item : j.items()) {
        const std::string key = item.key();
        if (std::none_of(known.begin(), known.end(), [&](const char *k) { return key == k; }))
            throw std::runtime_error(what + " has an unknown key '" + key + "'");
    }
}

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

std::string recordData(const nlohmann::json &r, uint32_t size, std::mt19937 &rng) {
    std::string data;
    if (r.contains("hex")) {
        const std::string h = r.at("hex").get<std::string>();
        if (h.size() % 2 != 0 || h.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            throw std::runtime_error("'hex' must be pairs of hex digits: '" + h + "'");
        for (size_t i = 0; i + 1 < h.size(); i += 2) data += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
        return data;
    }
    if (r.contains("text")) return r.at("text").get<std::string>();
    const std::string fill = r.value("fill", std::string("random"));
    data.resize(size);
    if (fill == "random") {
        for (auto &c : data) c = static_cast<char>(rng() & 0xFF);
    } else if (fill == "counter") {
        for (uint32_t i = 0; i < size; ++i) data[i] = static_cast<char>(i & 0xFF);
    } else {
        const uint64_t byte = parseNumber(fill, "'fill'");
        if (byte > 0xFF) throw std::runtime_error("'fill' must be random, counter or a byte value: '" + fill + "'");
        std::memset(data.data(), static_cast<int>(byte), size);
    }
    return data;
}

}  // namespace

uint64_t parseNumber(const std::string &text, const std::string &what) {
    size_t used = 0;
    unsigned long long v = 0;
    if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0]))) {
        try {
            v = std::stoull(text, &used, 0);
        } catch (const std::exception &) {
            used = 0;
        }
    }
    if (used == 0 || used != text.size()) throw std::runtime_error(what + " is not a whole number: '" + text + "'");
    return v;
}

uint32_t imageOffsetFor(uint32_t imageStart) { return imageStart < 0xBCA00000u ? 0x1C980000u : 0xE0000000u; }

uint32_t checksumOf(const uint8_t *data, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i < size; ++i) sum += data[i];
    return sum;
}

namespace {

// The check's reason, in words.
std::string refusalReason(const Judgement &j) {
    const std::string where = "record " + std::to_string(j.record) + " at " + hex(j.address);
    switch (j.reason) {
    case kShortSignature:
        return "file shorter than the signature";
    case kWrongSignature:
        return "wrong signature";
    case kShortHeader:
        return "file ends inside the image header";
    case kRangeOutside:
        return "image range " + hex(j.start) + "+" + hex(j.length) + " is not inside the 32 MB flash window";
    case kShortRecordHeader:
        return "file ends inside the header of record " + std::to_string(j.record);
    case kShortRecordData:
        return where + ": data ends early";
    case kUnalignedRecord:
        return where + ": address not a multiple of 4";
    case kRecordOutside:
        return where + ": outside the 32 MB flash window (a record ends at least 4 bytes before the window's end)";
    case kTooManyRecords:
        return where + ": more than " + std::to_string(maxRecords()) + " records with data";
    case kBitsNotClearable: {
        char bytes[96];
        std::snprintf(bytes, sizeof bytes, "the byte at %08x holds %02x and cannot become %02x", j.address, j.held,
                      j.wanted);
        const std::string by = j.heldFrom != 0 ? " (written by record " + std::to_string(j.heldFrom) + ")"
                                               : " (old data in a block the update does not erase)";
        return "record " + std::to_string(j.record) + ": " + bytes + by + "; programming only clears bits";
    }
    }
    return "refused (reason " + std::to_string(j.reason) + ")";
}

const char *messageOf(uint32_t verdict) {
    switch (verdict) {
    case kNotBinary:
        return "Not a WinCE Binary Image file!";
    case kEndsEarly:
        return "Unexpected end of file!";
    default:
        return "Error writing to Flash!";
    }
}

}  // namespace

Report inspect(const ImageSource &image, FlashQuery flash, void *context) {
    Report rep;
    const Judgement j = judge(image, flash, context);
    rep.verdict = j.verdict;
    rep.reason = j.reason;
    if (j.verdict != kWritable) {
        rep.findings.push_back({Finding::Refusal, refusalReason(j)});
        rep.refusal = messageOf(j.verdict);
        rep.faultRecord = j.record;
    } else if (flash == nullptr && j.flashWordsRead != 0) {
        rep.findings.push_back({Finding::Note,
                                "no board given: the flash outside the erased blocks is taken as "
                                "blank; give --board to judge against a board's flash"});
    }

    // The listing: header, records, blocks to erase, each read as it comes.
    static const char kSignature[] = "B000FF\n";
    const uint64_t size = image.size();
    uint8_t head[15];
    const size_t got = image.read(0, head, sizeof head);
    rep.signatureOk = got >= 7 && std::memcmp(head, kSignature, 7) == 0;
    if (!rep.signatureOk || got < 15) return rep;
    rep.headerComplete = true;
    rep.rawStart = le32(head + 7);
    rep.length = le32(head + 11);
    rep.offset = imageOffsetFor(rep.rawStart);
    rep.start = rep.rawStart + rep.offset;
    for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t a = kFlashBase + i * kBlockSize;
        if (a - rep.start < rep.length) rep.eraseBlocks.push_back(a);
    }
    const uint32_t startBlock = kFlashBase + ((rep.start - kFlashBase) & ~(kBlockSize - 1));
    if (rep.length != 0 && rep.start != startBlock)
        rep.findings.push_back(
            {Finding::Note, "image starts part-way into block " + hex(startBlock) + ", which is not erased"});
    uint64_t pos = 15;
    std::vector<uint8_t> chunk(kChunk);
    while (pos + 12 <= size) {
        if (rep.records.size() == kMaxListedRecords) {
            rep.findings.push_back({Finding::Note, "the listing stops after " + std::to_string(kMaxListedRecords) +
                                                       " records; the verdict covers the whole file"});
            break;
        }
        uint8_t h[12];
        if (image.read(pos, h, sizeof h) != sizeof h) break;
        Record r;
        r.rawAddress = le32(h);
        r.length = le32(h + 4);
        r.checksum = le32(h + 8);
        r.flashAddress = r.rawAddress != 0 ? r.rawAddress + rep.offset : 0;
        r.dataOffset = pos + 12;
        pos += 12;
        if (r.flashAddress == 0) {
            r.dataComplete = true;
            rep.records.push_back(r);
            rep.terminated = true;
            break;
        }
        r.dataComplete = r.length <= size - pos;
        if (r.dataComplete) {
            uint32_t sum = 0;
            for (uint64_t done = 0; done < r.length;) {
                const size_t n = image.read(pos + done, chunk.data(), std::min<uint64_t>(kChunk, r.length - done));
                if (n == 0) break;
                sum += checksumOf(chunk.data(), n);
                done += n;
            }
            r.checksumValid = sum == r.checksum;
        }
        rep.records.push_back(r);
        if (!r.dataComplete) break;
        if (r.length != 0 && !r.checksumValid)
            rep.findings.push_back({Finding::Note, "record " + std::to_string(rep.records.size()) + " at " +
                                                       hex(r.flashAddress) + ": checksum does not match"});
        pos += r.length;
    }
    return rep;
}

Report inspect(const std::string &bytes, FlashQuery flash, void *context) {
    return inspect(MemoryImage(bytes), flash, context);
}

bool readAtImageAddress(const ImageSource &image, const Report &report, uint32_t rawAddress, void *buffer, size_t n) {
    auto *out = static_cast<uint8_t *>(buffer);
    std::memset(out, 0, n);
    std::vector<bool> covered(n, false);
    const uint64_t lo = rawAddress, hi = lo + n;
    // In file order: a later record overwrites an earlier one, as the update leaves them.
    for (const auto &r : report.records) {
        if (r.rawAddress == 0 || r.length == 0 || !r.dataComplete) continue;
        const uint64_t from = std::max<uint64_t>(lo, r.rawAddress);
        const uint64_t to = std::min<uint64_t>(hi, uint64_t{r.rawAddress} + r.length);
        if (from >= to) continue;
        if (image.read(r.dataOffset + (from - r.rawAddress), out + (from - lo), to - from) != to - from) continue;
        std::fill(covered.begin() + static_cast<long>(from - lo), covered.begin() + static_cast<long>(to - lo), true);
    }
    return std::find(covered.begin(), covered.end(), false) == covered.end();
}

size_t MemoryImage::read(uint64_t offset, void *buffer, size_t n) const {
    if (offset >= bytes_.size()) return 0;
    const size_t k = static_cast<size_t>(std::min<uint64_t>(n, bytes_.size() - offset));
    std::memcpy(buffer, bytes_.data() + offset, k);
    return k;
}

FileImage::FileImage(const std::string &path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const int e = errno;
        ::close(fd_);
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(e));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd_);
        const char *what = S_ISDIR(st.st_mode)    ? "a folder"
                           : S_ISCHR(st.st_mode)  ? "a character device"
                           : S_ISBLK(st.st_mode)  ? "a block device"
                           : S_ISFIFO(st.st_mode) ? "a pipe"
                           : S_ISSOCK(st.st_mode) ? "a socket"
                                                  : "not a file";
        throw std::runtime_error(path + " is " + what + ", not an image file");
    }
    size_ = static_cast<uint64_t>(st.st_size);
}

FileImage::~FileImage() {
    if (fd_ >= 0) ::close(fd_);
}

size_t FileImage::read(uint64_t offset, void *buffer, size_t n) const {
    size_t done = 0;
    while (done < n && offset + done < size_) {
        const ssize_t k = ::pread(fd_, static_cast<char *>(buffer) + done, n - done, static_cast<off_t>(offset + done));
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) throw std::runtime_error("cannot read " + path_ + ": " + std::strerror(errno));
        if (k == 0) break;  // the file shrank under us: it ends here
        done += static_cast<size_t>(k);
    }
    return done;
}

std::vector<std::pair<uint32_t, std::string>> writtenContents(const std::string &bytes, const Report &report) {
    std::vector<std::pair<uint32_t, std::string>> out;
    for (const auto &r : report.records) {
        if (r.flashAddress == 0 || r.length == 0 || !r.dataComplete) continue;
        const std::string data = bytes.substr(r.dataOffset, r.length);
        // Programmed after the earlier records: it wins where they overlap.
        for (auto &[at, held] : out) {
            const uint64_t lo = std::max<uint64_t>(at, r.flashAddress);
            const uint64_t hi = std::min<uint64_t>(uint64_t{at} + held.size(), uint64_t{r.flashAddress} + r.length);
            if (lo < hi) held.replace(lo - at, hi - lo, data, lo - r.flashAddress, hi - lo);
        }
        out.emplace_back(r.flashAddress, data);
    }
    return out;
}

void applyUpdate(std::string &flash, uint32_t at, const std::string &bytes, const Report &report) {
    const uint64_t end = uint64_t{at} + flash.size();
    auto put = [&](uint32_t address, uint64_t size, const char *data) {
        const uint64_t lo = std::max<uint64_t>(address, at), hi = std::min<uint64_t>(address + size, end);
        if (lo >= hi) return;
        if (data == nullptr) flash.replace(lo - at, hi - lo, hi - lo, '\xFF');
        else flash.replace(lo - at, hi - lo, data + (lo - address), hi - lo);
    };
    for (uint32_t block : report.eraseBlocks) put(block, kBlockSize, nullptr);
    for (const auto &[address, data] : writtenContents(bytes, report)) put(address, data.size(), data.data());
}

uint64_t builtTime(const std::string &text) {
    // "YYYY-MM-DD HH:MM:SS" (UTC) or ISO-8601 with its T and Z.
    std::string iso = text;
    if (iso.size() == 19 && iso[10] == ' ') iso = iso.substr(0, 10) + "T" + iso.substr(11) + "Z";
    try {
        return board::fileTimeFromIso8601(iso);
    } catch (const std::exception &) {
        throw std::runtime_error("the build time '" + text + "' is not of the form \"YYYY-MM-DD HH:MM:SS\" (UTC)");
    }
}

namespace {

// A table of contents from the description's "contents" (docs/mkbin.md).
std::vector<uint8_t> contentsTable(const nlohmann::json &c, uint32_t start, uint32_t tableAddress, uint32_t physLast) {
    onlyKeys(c, "'contents'", {"address", "built", "modules", "files"});
    const uint64_t built = builtTime(c.value("built", std::string(kDefaultBuilt)));
    board::ContentsLayout l;
    l.imageStart = start;
    l.tableAddress = tableAddress;
    l.physLast = physLast;
    const uint32_t rom = board::kAttributeReadOnly | board::kAttributeSystem | board::kAttributeInRom;
    for (const char *list : {"modules", "files"}) {
        if (!c.contains(list)) continue;
        if (!c.at(list).is_array()) throw std::runtime_error(std::string("'") + list + "' must be a list");
        const bool module = list[0] == 'm';
        for (const auto &e : c.at(list)) {
            onlyKeys(e, std::string("an entry of '") + list + "'",
                     {"name", "size", "text", "built", "attributes", "compressed_size"});
            if (!e.contains("name") || !e.at("name").is_string())
                throw std::runtime_error(std::string("an entry of '") + list + "' needs a 'name'");
            board::ContentsEntry x;
            x.name = e.at("name").get<std::string>();
            x.time = e.contains("built") ? builtTime(e.at("built").get<std::string>()) : built;
            if (e.contains("text")) x.data = e.at("text").get<std::string>();
            x.size = number(e, "size", static_cast<uint32_t>(x.data.size()));
            x.attributes = number(e, "attributes", module ? rom | board::kAttributeRomModule : rom);
            x.compressedSize = number(e, "compressed_size", static_cast<uint32_t>(x.data.size()));
            (module ? l.modules : l.files).push_back(std::move(x));
        }
    }
    return board::contentsTableBytes(l);
}

}  // namespace

std::string build(const nlohmann::json &d) {
    onlyKeys(d, "the description",
             {"seed", "signature", "start", "length", "records", "terminate", "end", "truncate", "contents"});
    // A description that says nothing is a mistake, not an empty image.
    if (!d.contains("records")) throw std::runtime_error("the description has no 'records' (a list, may be empty)");
    if (!d.at("records").is_array()) throw std::runtime_error("'records' must be a list");
    for (const auto &r : d.at("records"))
        onlyKeys(r, "a record", {"address", "size", "hex", "text", "fill", "length", "checksum"});
    if (d.contains("end")) onlyKeys(d.at("end"), "'end'", {"address", "length", "checksum"});
    std::mt19937 rng(number(d, "seed", 1));
    if (d.contains("signature") && !d.at("signature").is_string())
        throw std::runtime_error("'signature' must be a string");
    if (d.contains("terminate") && !d.at("terminate").is_boolean())
        throw std::runtime_error("'terminate' must be true or false");
    std::string out = d.value("signature", std::string("B000FF\n"));
    const uint32_t start = number(d, "start", 0x80080000);
    struct Rec {
        uint32_t address;
        std::string data;
        const nlohmann::json *desc;
    };
    std::vector<Rec> recs;
    uint32_t covered = 0;
    for (const auto &r : d.at("records")) {
        recs.push_back({number(r, "address", start), recordData(r, number(r, "size", 0), rng), &r});
        covered =
            std::max<uint32_t>(covered, recs.back().address - start + static_cast<uint32_t>(recs.back().data.size()));
    }
    if (d.contains("contents")) {
        // The table after the records (or where it is asked for), its
        // address at start + 0x40 in the record that holds those bytes.
        const auto &c = d.at("contents");
        if (!c.is_object()) throw std::runtime_error("'contents' must be a JSON object");
        const uint32_t at = number(c, "address", start + ((covered + 0xFFF) & ~0xFFFu));
        const uint32_t length = number(d, "length", 0);
        std::vector<uint8_t> table = contentsTable(c, start, at, 0);
        const uint32_t end = std::max<uint32_t>(at - start + static_cast<uint32_t>(table.size()), covered);
        table = contentsTable(c, start, at, start + std::max(end, length));
        recs.push_back({at, std::string(table.begin(), table.end()), nullptr});
        covered = std::max(covered, end);
        const auto pointer = board::contentsPointerBytes(at);
        const uint32_t sigAt = start + board::kContentsSignatureOffset;
        bool placed = false;
        for (auto &r : recs) {
            if (sigAt < r.address || uint64_t{sigAt} + 8 > uint64_t{r.address} + r.data.size()) continue;
            r.data.replace(sigAt - r.address, 8, reinterpret_cast<const char *>(pointer.data()), 8);
            placed = true;
            break;
        }
        if (!placed) recs.insert(recs.begin(), {sigAt, std::string(pointer.begin(), pointer.end()), nullptr});
    }
    std::string body;
    for (const auto &rec : recs) {
        uint32_t checksum = checksumOf(reinterpret_cast<const uint8_t *>(rec.data.data()), rec.data.size());
        uint32_t length = static_cast<uint32_t>(rec.data.size());
        if (rec.desc != nullptr) {
            const auto &r = *rec.desc;
            if (r.contains("checksum")) {
                if (r.at("checksum").is_string() && r.at("checksum") == "bad") checksum += 1;
                else checksum = number(r, "checksum", checksum);
            }
            length = number(r, "length", length);
        }
        put32(body, rec.address);
        put32(body, length);
        put32(body, checksum);
        body += rec.data;
    }
    if (d.value("terminate", true)) {
        const auto end = d.value("end", nlohmann::json::object());
        put32(body, number(end, "address", 0));
        put32(body, number(end, "length", 0));
        put32(body, number(end, "checksum", 0));
    }
    put32(out, start);
    put32(out, number(d, "length", covered));
    out += body;
    if (d.contains("truncate")) out.resize(std::min<size_t>(out.size(), number(d, "truncate", 0)));
    return out;
}

nlohmann::json sampleDescription(uint32_t size, uint32_t seed, const std::string &built) {
    // Like a real OS image: a small first record (the jump page, which holds
    // the table's address), a big kernel and file section, the table of
    // contents, then the end record.
    nlohmann::json d;
    d["seed"] = seed;
    d["start"] = "0x80080000";
    const uint32_t body = std::max<uint32_t>(size, 0x10000) & ~0xFFFu;
    auto rec = nlohmann::json::array();
    rec.push_back({{"address", "0x80080000"}, {"size", 0x1000}});
    rec.push_back({{"address", "0x80081000"}, {"size", body - 0x3000}});
    d["records"] = rec;
    d["length"] = body;
    const std::string fdf = "[Files]\r\nnk.exe\r\ncoredll.dll\r\nfilesys.exe\r\ngwes.exe\r\ndevice.exe\r\n";
    auto modules = nlohmann::json::array();
    const std::pair<const char *, uint32_t> parts[] = {
        {"nk.exe", 12}, {"coredll.dll", 24}, {"filesys.exe", 8}, {"gwes.exe", 30}, {"device.exe", 6}};
    for (const auto &[name, percent] : parts)
        modules.push_back({{"name", name}, {"size", (body / 100 * percent) & ~0x3FFu}});
    d["contents"] = {{"address", std::to_string(0x80080000u + body - 0x1000)},
                     {"built", built},
                     {"modules", modules},
                     {"files",
                      {{{"name", "default.fdf"}, {"text", fdf}},
                       {{"name", "initobj.dat"}, {"text", "root:-Directory(\"Windows\")\r\n"}}}}};
    return d;
}

}  // namespace binimage
