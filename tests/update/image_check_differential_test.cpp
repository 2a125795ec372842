// The update tool against the tests' own model of an update
// (image_model.h): many generated images on one board whose old flash
// contents change from image to image. For each image the model, which
// shares no code with the tool's check, predicts the outcome from the file
// and the flash; the real tool then runs on the board, and
//   - a predicted refusal must be that very message, with the flash left
//     exactly as it was;
//   - a predicted write must end without a message, with the flash holding
//     what the model's byte-by-byte update left.
// inspectbin's judgement must name the same refusal, reason and record.
// VBOARD_DIFF_IMAGES sets how many images (default 2000, 200 in the
// sanitizer build), VBOARD_DIFF_SEED
// the first image's seed; the counts per outcome are printed at the end.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <span>

#include "board/flash.h"
#include "image.h"
#include "image_model.h"
#include "test_support.h"
#include "wince/host.h"
#include "wince/operator.h"

extern "C" const wince::ModuleResources wince_program_module;
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow);

namespace {

using nlohmann::json;
namespace model = vtest::model;

constexpr uint32_t kKernel = 0x9C000000;  // kernel address of physical 0
constexpr uint32_t kWindow = 0x9CA00000;
constexpr uint32_t kWindowEnd = kWindow + 0x2000000;
constexpr uint32_t kBlock = 0x40000;
constexpr uint32_t kLowArea = 6 * kBlock;  // the block below the window and the window's first five

// The flash the images reach: around the window's start and its end.
struct Area {
    uint32_t at, size;
};
constexpr Area kAreas[] = {{kWindow - kBlock, kLowArea}, {kWindowEnd - kBlock, 2 * kBlock}};

unsigned envNumber(const char *name, unsigned fallback) {
    const char *v = std::getenv(name);
    return v != nullptr && *v != 0 ? static_cast<unsigned>(std::strtoul(v, nullptr, 0)) : fallback;
}

// Takes the offered file and answers every message box, keeping its text.
class Person : public wince::Operator {
  public:
    wince::Action onDialog(const wince::DialogView &) override { return {}; }
    void onMessageBox(const wince::MessageBoxView &box) override {
        std::lock_guard<std::mutex> lock(mutex_);
        texts_.push_back(wince::toUtf8(box.text));
    }
    std::optional<std::u16string> onFileOpen(const wince::FileOpenView &) override { return u"\\diff.bin"; }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(texts_, {});
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

class Generator {
  public:
    Generator(uint32_t seed, uint32_t index) {
        std::seed_seq seq{seed, index};
        rng_.seed(seq);
    }
    uint32_t pick(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng_() % n); }
    uint64_t next() { return rng_(); }

    // Old contents for one block: as the last update left it, blank, mostly
    // ones (what programming can still clear) or anything.
    // Returns whether it changed the block.
    bool oldBlock(std::span<char> block) {
        switch (pick(4)) {
        case 0:
            return false;
        case 1:
            std::fill(block.begin(), block.end(), '\xFF');
            return true;
        case 2:
            for (size_t i = 0; i < block.size(); i += 8) store(block, i, next() | next() | next());
            return true;
        default:
            for (size_t i = 0; i < block.size(); i += 8) store(block, i, next());
            return true;
        }
    }

    std::string image(const std::string &previous) {
        if (!previous.empty() && pick(10) == 0) return previous;  // the same image again
        static const uint32_t kStarts[] = {0x80080000, 0x80080000, 0x80080000, 0x80081000, 0xBCA00000};
        uint32_t rawStart = kStarts[pick(5)];
        if (pick(6) == 0) rawStart = 0x80080000 + 4 * pick(kBlock / 4);  // part-way into the first block
        const uint32_t offset = binimage::imageOffsetFor(rawStart);
        const uint32_t start = rawStart + offset;
        uint32_t length = pick(4 * kBlock + 1);
        if (pick(12) == 0) length = 0;
        if (pick(12) == 0) length = kWindowEnd - start + 1 + pick(kBlock);  // beyond the window
        // So far beyond that the range's end passes 4 GB.
        if (pick(40) == 0)
            length = start != kWindow ? static_cast<uint32_t>(0x100000000 - (start - kWindow) + pick(2 * kBlock))
                                      : 0xFFFFFFFFu - pick(2 * kBlock);
        // To its very end: rare, as the blank check of 128 blocks is slow.
        if (pick(400) == 0) length = kWindowEnd - start;
        // The block after the last one the update erases, when it lies in
        // the low area with room for a record after its start.
        uint32_t keptAfter = 0;
        if (length != 0 && uint64_t{start} + length <= kWindow + 4 * kBlock) {
            const uint32_t last = kWindow + (start + length - 1 - kWindow) / kBlock * kBlock;
            if (last >= start) keptAfter = last + kBlock;
        }
        // Records over one another at one address: three or more writers
        // over the same bytes.
        const bool stacked = pick(8) == 0;
        const uint32_t stackAt = kWindow + 4 * pick((5 * kBlock - 256) / 4);

        std::string body;
        std::vector<std::pair<uint32_t, std::string>> records;  // flash address, data
        std::vector<std::pair<size_t, uint32_t>> data;          // where each record's data starts in the file, size
        const uint32_t count = pick(4) == 0 ? pick(12) : pick(5);
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t size;
            switch (pick(5)) {
            case 0:
                size = pick(16);
                break;
            case 1:
                size = pick(300);
                break;
            case 2:
                size = pick(70001);
                break;
            default:
                size = pick(4097);
            }
            uint32_t words = (size + 3) & ~3u;
            uint32_t at;
            const uint32_t where = pick(20);
            if (stacked) {
                size = words = 4 * (1 + pick(64));
                at = stackAt;
            } else if (where == 0) {
                at = kWindow - 4 * (1 + pick(16));  // just below the window
            } else if (where == 1) {
                at = kWindowEnd - words - 4 * pick(3);  // inside by a word, no room for the status read, ...
                if (pick(3) == 0) at += 4;              // ... or beyond
            } else if (where == 2 && keptAfter != 0) {
                // From the last erased block on into the kept one after it.
                at = keptAfter - 4 * (1 + pick(512));
                size = words = keptAfter - at + 4 * (1 + pick(1024));
            } else if (where <= 5 && !records.empty()) {
                const auto &[a, d] = records[pick(static_cast<uint32_t>(records.size()))];
                at = a + 4 * pick(static_cast<uint32_t>(d.size()) / 4 + 1);  // over an earlier record
                if (at + words > kWindow + 5 * kBlock) at = a;
            } else {
                at = kWindow + 4 * pick((5 * kBlock - words) / 4 + 1);
            }
            if (pick(40) == 0) at += 1 + pick(3);  // not a multiple of 4
            std::string bytes = recordData(size, at, records, stacked);
            uint32_t raw = at - offset;
            if (raw == 0) raw = at;  // keep the record (0 would end the image)
            put32(body, raw);
            // A length that puts the data's end past 4 GB in the file.
            put32(body, pick(50) == 0 ? 0xFFFFFFFFu - pick(16) : size);
            const auto *b = reinterpret_cast<const uint8_t *>(bytes.data());
            put32(body, pick(4) == 0 ? static_cast<uint32_t>(next()) : binimage::checksumOf(b, bytes.size()));
            data.emplace_back(15 + body.size(), size);
            body += bytes;
            records.emplace_back(at, std::move(bytes));
        }
        if (pick(15) != 0) body += std::string(12, '\0');  // the terminating record

        std::string out = pick(60) == 0 ? "B000FE\n" : "B000FF\n";
        put32(out, rawStart);
        put32(out, length);
        out += body;
        if (pick(8) == 0) {
            out.resize(pick(static_cast<uint32_t>(out.size()) + 1));  // cut anywhere
        } else if (data.size() >= 2 && pick(8) == 0) {
            // Inside the data of a later record, the file still longer than it.
            const auto &[from, size] = data[1 + pick(static_cast<uint32_t>(data.size()) - 1)];
            if (size != 0) out.resize(from + pick(size));
        }
        return out;
    }

  private:
    static void store(std::span<char> s, size_t at, uint64_t v) {
        for (size_t i = 0; i < 8 && at + i < s.size(); ++i) s[at + i] = static_cast<char>(v >> (8 * i));
    }
    static void put32(std::string &out, uint32_t v) {
        for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    }

    // Data of a record at `at`: over an earlier record, often the bytes of
    // the latest one under it or bytes with fewer bits set (what the flash
    // can take), or the earliest one's bytes (which it cannot take where a
    // later record cleared bits). Stacked records take only the last two.
    std::string recordData(uint32_t size, uint32_t at, const std::vector<std::pair<uint32_t, std::string>> &earlier,
                           bool stacked) {
        std::string data(size, '\0');
        const uint32_t mode = stacked ? (pick(2) == 0 ? 5 : 7) : pick(8);
        const char fill = static_cast<char>(next());
        for (uint32_t i = 0; i < size; i += 8) store(data, i, next());
        if (mode == 1) std::fill(data.begin(), data.end(), '\0');
        if (mode == 2) std::fill(data.begin(), data.end(), '\xFF');
        if (mode == 3) std::fill(data.begin(), data.end(), fill);
        if (mode >= 4) {
            std::vector<bool> taken(size);
            for (const auto &[a, d] : earlier) {  // in file order
                for (uint32_t i = 0; i < size; ++i) {
                    const uint64_t x = uint64_t{at} + i;
                    if (x < a || x >= uint64_t{a} + d.size() || (mode == 7 && taken[i])) continue;
                    const char held = d[x - a];
                    data[i] = mode == 4 || mode == 7 ? held : static_cast<char>(held & data[i]);
                    taken[i] = true;
                }
            }
        }
        return data;
    }

    std::mt19937_64 rng_;
};

std::string reasonName(uint32_t reason) {
    static const char *const kNames[] = {"",
                                         "short signature",
                                         "wrong signature",
                                         "short header",
                                         "image range outside the window",
                                         "short record header",
                                         "short record data",
                                         "unaligned record",
                                         "record outside the window",
                                         "too many records",
                                         "bits the flash cannot set"};
    return reason < std::size(kNames) ? kNames[reason] : "reason " + std::to_string(reason);
}

// The areas one after the other, into `out`. The buffers of the loop are
// reused from image to image: fresh megabytes per image cost more than the
// tool's own run.
void readAreas(const board::FlashPair &flash, std::string &out) {
    out.resize(kLowArea + 2 * kBlock);
    size_t at = 0;
    for (const auto &a : kAreas) {
        flash.readArray(a.at - kKernel, std::span<uint8_t>(reinterpret_cast<uint8_t *>(out.data() + at), a.size));
        at += a.size;
    }
}

uint32_t wordOf(void *context, uint32_t flashAddress) {
    const auto b = static_cast<board::FlashPair *>(context)->readArray(flashAddress - kKernel, 4);
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

size_t firstDifference(const std::string &a, const std::string &b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return i;
    return n;
}

uint32_t areaAddress(size_t offset) {
    for (const auto &a : kAreas) {
        if (offset < a.size) return a.at + static_cast<uint32_t>(offset);
        offset -= a.size;
    }
    return 0;
}

// What the areas hold after the update the model predicts, into `out`.
void expectedAreas(const std::string &old, const model::Prediction &p, std::string &part, std::string &out) {
    out.clear();
    size_t at = 0;
    for (const auto &a : kAreas) {
        part.assign(old, at, a.size);
        p.apply(a.at, part);
        out += part;
        at += a.size;
    }
}

// The finer kinds of outcome the generator aims at, for the counts.
constexpr const char *kKinds[] = {
    "  of which with records over each other",
    "  of which with three or more records over one byte",
    "  of which with records over old data",
    "  of which refused over two or more earlier records",
    "  of which refused in a kept block, the record begun in an erased one",
    "  of which with the range ending past 4 GB",
    "  of which with the data ending past 4 GB",
    "  of which cut inside the data, the file longer than the record",
};

std::vector<const char *> kindsOf(const model::Prediction &p, size_t fileSize) {
    const bool bits = p.reason == model::kBitsNotClearable, data = p.reason == model::kShortRecordData;
    const bool is[] = {
        p.message.empty() && p.mostWriters >= 2,
        p.message.empty() && p.mostWriters >= 3,
        p.message.empty() && p.overOldData,
        bits && p.writersUnder >= 2,
        bits && p.keptUnderErasedStart,
        p.reason == model::kRangeOutside && uint64_t{p.start} + p.length > 0xFFFFFFFFu,
        data && p.dataEnd > 0xFFFFFFFFu,
        data && p.recordLength <= fileSize,
    };
    std::vector<const char *> out;
    for (size_t k = 0; k < std::size(kKinds); ++k)
        if (is[k]) out.push_back(kKinds[k]);
    return out;
}

TEST(ImageCheckDifferential, TheToolDoesWhatTheModelPredicts) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer build runs the flash model unoptimised: fewer images.
    const unsigned images = envNumber("VBOARD_DIFF_IMAGES", 200);
#else
    const unsigned images = envNumber("VBOARD_DIFF_IMAGES", 2000);
#endif
    const unsigned seed = envNumber("VBOARD_DIFF_SEED", 1);
    // Short busy times on the virtual clock: the devices still go busy and
    // report through their status, but an image costs milliseconds.
    vtest::TempBoard board(
        json{{"hal", {{"reboot", "return"}}}, {"flash", {{"timing", {{"erase_ns", 2000}, {"program_ns", 1000}}}}}});
    board::FlashPair flash(board.dir());
    auto untouchedBefore = flash.readArray(0, board::FlashPair::kSize);
    auto person = std::make_shared<Person>();
    wince::boot(board.dir(), person, "image-update-tool");
    const model::OldFlash oldFlash = [&flash](uint32_t at, char *out, size_t size) {
        flash.readArray(at - kKernel, std::span<uint8_t>(reinterpret_cast<uint8_t *>(out), size));
    };

    std::map<std::string, unsigned> outcomes;
    unsigned disagreements = 0;
    std::string previous, old, after, expected, part;
    for (unsigned i = 0; i < images && disagreements < 5; ++i) {
        Generator gen(seed, i);
        readAreas(flash, old);
        for (size_t b = 0; b < old.size(); b += kBlock) {
            const std::span<char> block(old.data() + b, kBlock);
            if (!gen.oldBlock(block)) continue;
            flash.writeArray(areaAddress(b) - kKernel,
                             std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(block.data()), kBlock));
        }
        const std::string image = gen.image(previous);
        previous = image;
        vtest::writeFile(board.files() / "diff.bin", image);

        const model::Prediction predicted = model::predict(image, oldFlash);
        const binimage::Report inspected = binimage::inspect(image, wordOf, &flash);
        std::u16string commandLine = u"/u \\diff.bin";
        WinMain(reinterpret_cast<HINSTANCE>(const_cast<wince::ModuleResources *>(&wince_program_module)), nullptr,
                commandLine.data(), SW_SHOW);
        const std::vector<std::string> shown = person->take();
        readAreas(flash, after);

        const bool refused = !predicted.message.empty();
        const std::string outcome =
            refused ? "refused \"" + predicted.message + "\" (" + reasonName(predicted.reason) + ")" : "written";
        ++outcomes[outcome];
        for (const auto &kind : kindsOf(predicted, image.size())) ++outcomes[kind];
        std::string wrong;
        if (refused) {
            if (shown.size() != 1 || shown[0] != predicted.message)
                wrong = "the tool showed " + (shown.empty() ? std::string("nothing") : "\"" + shown[0] + "\"");
            else if (after != old)
                wrong = "the flash changed at " + std::to_string(areaAddress(firstDifference(after, old)));
        } else {
            expectedAreas(old, predicted, part, expected);
            if (!shown.empty()) wrong = "the tool refused with \"" + shown[0] + "\"";
            else if (after != expected)
                wrong = "the flash differs from the model at " +
                        std::to_string(areaAddress(firstDifference(after, expected)));
        }
        // inspectbin names the same refusal and the same place.
        if (wrong.empty() && (inspected.refusal.value_or("") != predicted.message ||
                              inspected.reason != predicted.reason || inspected.faultRecord != predicted.record))
            wrong = "inspectbin says " +
                    (inspected.refusal ? "\"" + *inspected.refusal + "\"" : std::string("written")) + " (" +
                    reasonName(inspected.reason) + ") at record " + std::to_string(inspected.faultRecord) +
                    ", the model at record " + std::to_string(predicted.record);
        if (!wrong.empty()) {
            ++disagreements;
            const auto keep = std::filesystem::path(::testing::TempDir()) / ("diff-" + std::to_string(i) + ".bin");
            vtest::writeFile(keep, image);
            ADD_FAILURE() << "image " << i << " (seed " << seed << ", kept in " << keep.string() << "): predicted "
                          << outcome << ", but " << wrong;
        }
        if (i % 512 == 511) std::ofstream(board.dir() / "events.jsonl", std::ios::trunc);
        // A long run tells how far it got.
        if (images > 2000 && i % 5000 == 4999) {
            std::printf("after %u images, %u disagreements:", i + 1, disagreements);
            for (const auto &[what, n] : outcomes) std::printf(" [%s] %u", what.c_str(), n);
            std::printf("\n");
            std::fflush(stdout);
        }
    }
    wince::shutdown();

    // Nothing outside the areas the images reach was ever touched.
    const auto untouchedAfter = flash.readArray(0, board::FlashPair::kSize);
    for (const auto &a : kAreas)
        std::copy_n(untouchedAfter.begin() + (a.at - kKernel), a.size, untouchedBefore.begin() + (a.at - kKernel));
    EXPECT_TRUE(untouchedBefore == untouchedAfter) << "the flash changed outside the areas the images reach";

    unsigned total = 0;
    for (const auto &[what, n] : outcomes) total += what[0] != ' ' ? n : 0;
    std::printf("%u images, seed %u, %u disagreements\n", total, seed, disagreements);
    for (const auto &[what, n] : outcomes) std::printf("  %6u  %s\n", n, what.c_str());
    // Both verdicts and every kind the generator aims at came up.
    EXPECT_GT(outcomes["written"], images / 10);
    EXPECT_GE(outcomes[kKinds[0]], images / 200);
    EXPECT_GE(outcomes[kKinds[2]], images / 200);
    if (images < 500) return;
    for (const char *reason : {"bits the flash cannot set", "short record data", "record outside the window",
                               "unaligned record", "image range outside the window"}) {
        bool seen = false;
        for (const auto &[what, n] : outcomes) seen = seen || what.find(reason) != std::string::npos;
        EXPECT_TRUE(seen) << reason;
    }
    for (const char *kind : kKinds) EXPECT_GT(outcomes[kind], 0u) << kind;
}

}  // namespace
