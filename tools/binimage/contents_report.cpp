#include "contents_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace binimage {

namespace {

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

// The image file's records as flash: the last record that holds a byte
// gives it. The table's addresses are flash addresses; the records' own
// (untranslated) addresses differ from them by the image's one offset.
class RecordBytes : public board::ImageBytes {
  public:
    RecordBytes(const ImageSource &image, const Report &report) : image_(image), report_(report) {}
    bool read(uint32_t at, void *out, uint32_t n) const override {
        const uint32_t raw = at - (report_.start - report_.rawStart);
        // A range that runs past the top of the records' addresses is held by none.
        if (uint64_t{raw} + n > 0x100000000ULL) return false;
        return readAtImageAddress(image_, report_, raw, out, n);
    }

  private:
    const ImageSource &image_;
    const Report &report_;
};

nlohmann::json entryJson(const board::ImageEntry &e) {
    nlohmann::json j = {{"name", e.name},
                        {"size", e.size},
                        {"time", board::iso8601FromFileTime(e.time)},
                        {"attributes", "0x" + hex(e.attributes)},
                        {"name_address", "0x" + hex(e.nameAddress)},
                        {"load_offset", "0x" + hex(e.loadOffset)}};
    if (!e.module) j["compressed_size"] = e.compressedSize;
    return j;
}

}  // namespace

board::ImageContents contentsOf(const ImageSource &image, const Report &report) {
    if (!report.headerComplete) {
        board::ImageContents c;
        c.problem = "the file has no image header";
        return c;
    }
    return board::readImageContents(RecordBytes(image, report), report.start);
}

void printContents(const board::ImageContents &c) {
    if (!c.signatureFound) {
        std::printf("contents:   none (%s)\n", c.problem.c_str());
        return;
    }
    std::printf("contents:   signature ECEC, table at %08x (flash %08x)\n", c.tableAddress,
                board::flashAddressOf(c.tableAddress));
    if (!c.headerRead) {
        std::printf("            damaged: %s\n", c.problem.c_str());
        return;
    }
    const auto &h = c.header;
    std::printf("physical:   %08x - %08x\n", h.physFirst, h.physLast);
    std::printf("RAM:        %08x - %08x (free from %08x)\n", h.ramStart, h.ramEnd, h.ramFree);
    std::printf("CPU type:   %04x, kernel flags %08x\n", h.cpuType, h.kernelFlags);
    std::printf("modules:    %zu of %u\n", c.modules.size(), h.numMods);
    for (const auto &m : c.modules)
        std::printf("  %-24s %10u bytes  %s\n", m.name.c_str(), m.size, board::iso8601FromFileTime(m.time).c_str());
    std::printf("files:      %zu of %u\n", c.files.size(), h.numFiles);
    for (const auto &f : c.files) {
        std::printf("  %-24s %10u bytes  %s", f.name.c_str(), f.size, board::iso8601FromFileTime(f.time).c_str());
        if (f.attributes & board::kAttributeCompressed) std::printf("  (compressed to %u)", f.compressedSize);
        std::printf("\n");
    }
    if (!c.ok()) std::printf("            damaged: %s\n", c.problem.c_str());
}

nlohmann::json reportJson(const std::string &file, const ImageSource &image, const Report &r,
                          const board::ImageContents &c) {
    nlohmann::json j;
    j["file"] = file;
    j["size"] = image.size();
    j["signature_ok"] = r.signatureOk;
    if (r.headerComplete)
        j["image"] = {{"raw_start", "0x" + hex(r.rawStart)}, {"start", "0x" + hex(r.start)}, {"length", r.length}};
    j["records"] = nlohmann::json::array();
    for (const auto &rec : r.records) {
        nlohmann::json x = {{"raw_address", "0x" + hex(rec.rawAddress)}};
        if (rec.flashAddress == 0) {
            x["end"] = true;
        } else {
            x["address"] = "0x" + hex(rec.flashAddress);
            x["length"] = rec.length;
            x["checksum"] = "0x" + hex(rec.checksum);
            x["data_complete"] = rec.dataComplete;
            x["checksum_valid"] = rec.checksumValid;
        }
        j["records"].push_back(x);
    }
    j["erase_blocks"] = nlohmann::json::array();
    for (uint32_t b : r.eraseBlocks) j["erase_blocks"].push_back("0x" + hex(b));
    j["findings"] = nlohmann::json::array();
    for (const auto &f : r.findings)
        j["findings"].push_back(
            {{"severity", f.severity == Finding::Refusal ? "refusal" : "note"}, {"message", f.message}});
    j["verdict"] = {{"writes", !r.refusal.has_value()},
                    {"verdict", r.verdict},
                    {"reason", r.reason},
                    {"fault_record", r.faultRecord}};
    if (r.refusal) j["verdict"]["refusal"] = *r.refusal;
    nlohmann::json cj = {{"signature", c.signatureFound}, {"bootable", c.ok()}};
    if (!c.ok()) cj["problem"] = c.problem;
    if (c.signatureFound) cj["table_address"] = "0x" + hex(c.tableAddress);
    if (c.headerRead) {
        const auto &h = c.header;
        cj["physical"] = {{"first", "0x" + hex(h.physFirst)}, {"last", "0x" + hex(h.physLast)}};
        cj["ram"] = {{"start", "0x" + hex(h.ramStart)}, {"free", "0x" + hex(h.ramFree)}, {"end", "0x" + hex(h.ramEnd)}};
        cj["cpu_type"] = h.cpuType;
        cj["kernel_flags"] = "0x" + hex(h.kernelFlags);
        cj["nummods"] = h.numMods;
        cj["numfiles"] = h.numFiles;
    }
    cj["modules"] = nlohmann::json::array();
    for (const auto &m : c.modules) cj["modules"].push_back(entryJson(m));
    cj["files"] = nlohmann::json::array();
    for (const auto &f : c.files) cj["files"].push_back(entryJson(f));
    if (auto t = c.buildTime(); t && c.ok()) cj["build_time"] = board::iso8601FromFileTime(*t);
    j["contents"] = cj;
    return j;
}

}  // namespace binimage
