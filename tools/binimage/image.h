// Windows CE binary image files (.bin) on the host: reading one for the
// inspector and writing one from a description for tests and demos.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace binimage {

// The flash window the update tool maps: 32 MB from kernel address 0x9CA00000
// in blocks of 256 KB.
constexpr uint32_t kFlashBase = 0x9CA00000;
constexpr uint32_t kWindowSize = 0x2000000;
constexpr uint32_t kBlockSize = 0x40000;

uint32_t imageOffsetFor(uint32_t imageStart);
// A whole number as C reads it (decimal, 0x hex, 0 octal), all of `text`;
// otherwise throws std::runtime_error naming `what`.
uint64_t parseNumber(const std::string &text, const std::string &what);
uint32_t checksumOf(const uint8_t *data, size_t size);

struct Record {
    uint32_t rawAddress = 0;
    uint32_t flashAddress = 0;  // translated; 0 ends the image
    uint32_t length = 0;
    uint32_t checksum = 0;
    uint64_t dataOffset = 0;  // in the file
    bool dataComplete = false;
    bool checksumValid = false;
};

struct Finding {
    enum Severity { Note, Refusal } severity;
    std::string message;
};

struct Report {
    bool signatureOk = false;
    bool headerComplete = false;
    uint32_t rawStart = 0, start = 0, length = 0, offset = 0;
    std::vector<Record> records;
    bool terminated = false;
    std::vector<uint32_t> eraseBlocks;  // flash addresses
    std::vector<Finding> findings;
    // The message the update tool shows when it refuses the image, if it does.
    std::optional<std::string> refusal;
    // The tool's check as it ended: verdict and reason (image_check.h), the
    // record at fault (1 = the first) or 0.
    uint32_t verdict = 0, reason = 0, faultRecord = 0;
};

// Where an image's bytes come from. The inspector reads a file as the tool
// does, a header or a chunk at a time, so memory stays bounded whatever the
// file holds.
class ImageSource {
  public:
    virtual ~ImageSource() = default;
    virtual uint64_t size() const = 0;
    // Up to `n` bytes from `offset` on into `buffer`; fewer only at the end.
    virtual size_t read(uint64_t offset, void *buffer, size_t n) const = 0;
};

// Image bytes already in memory (tests, mkbin's output).
class MemoryImage final : public ImageSource {
  public:
    explicit MemoryImage(const std::string &bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    size_t read(uint64_t offset, void *buffer, size_t n) const override;

  private:
    const std::string &bytes_;
};

// A regular file, opened for reading. Throws std::runtime_error with a
// one-line reason for anything else (a folder, a device, a pipe, a file
// that cannot be opened).
class FileImage final : public ImageSource {
  public:
    explicit FileImage(const std::string &path);
    ~FileImage() override;
    FileImage(const FileImage &) = delete;
    FileImage &operator=(const FileImage &) = delete;
    uint64_t size() const override { return size_; }
    size_t read(uint64_t offset, void *buffer, size_t n) const override;

  private:
    std::string path_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

// The word at a kernel flash address (a multiple of 4) as the board's flash
// holds it now.
using FlashQuery = uint32_t (*)(void *context, uint32_t flashAddress);

// Lists the image and judges it with the update tool's own check, against
// the flash `flash` reads (without one, the flash outside the erased blocks
// is taken as blank and a note says so).
Report inspect(const ImageSource &image, FlashQuery flash = nullptr, void *context = nullptr);
Report inspect(const std::string &bytes, FlashQuery flash = nullptr, void *context = nullptr);

// The listing keeps at most this many records; a longer one ends with a note.
constexpr size_t kMaxListedRecords = 65536;

// Reads `n` bytes at image (load, untranslated) address `rawAddress` as the
// records of `report` put them there, a later record winning where records
// overlap. False when some byte is in no record (the buffer then holds 0
// there).
bool readAtImageAddress(const ImageSource &image, const Report &report, uint32_t rawAddress, void *buffer, size_t n);

// What the flash holds after the tool wrote an image it accepted: for each
// record with data, its flash address and the bytes there, a later record's
// bytes in place of an earlier one's where they overlap.
std::vector<std::pair<uint32_t, std::string>> writtenContents(const std::string &bytes, const Report &report);

// Applies an accepted image to `flash`, a copy of the flash from kernel
// address `at` on: the erased blocks become 0xFF, then the records are
// written as the tool writes them. What lies outside `flash` is passed over.
void applyUpdate(std::string &flash, uint32_t at, const std::string &bytes, const Report &report);

// Builds image bytes from a JSON description (see docs/mkbin.md). Throws
// std::runtime_error for a description it does not understand.
std::string build(const nlohmann::json &description);
// The build time mkbin's images carry unless told otherwise.
inline constexpr const char *kDefaultBuilt = "2008-01-15 10:00:00";
// "YYYY-MM-DD HH:MM:SS" (UTC) or ISO-8601 ("...T...Z") as FILETIME; throws
// std::runtime_error for anything else.
uint64_t builtTime(const std::string &text);
// A plausible OS image of about `size` bytes in several records, with a
// table of contents (nk.exe and other modules; default.fdf and another file)
// whose entries carry the time `built`.
nlohmann::json sampleDescription(uint32_t size, uint32_t seed, const std::string &built = kDefaultBuilt);

}  // namespace binimage
