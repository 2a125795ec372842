// The flash driver and the flash model against an independent model of the
// same kind of devices: the emulated ARM machine of qemu-system-arm, whose
// second flash bank is a pair of 16-bit command-set devices on a 32-bit bus,
// 64 MB in 256 KB blocks, as on the board. The driver runs there unchanged,
// in a bare-metal harness; and random bus operations go both to that bank
// and to the board's model, every read and the final array compared. Where
// the tools are missing the tests are skipped.
//
// VBOARD_QEMU_SEQUENCES=N runs N random sequences instead of the fixed set,
// VBOARD_QEMU_FIRST=K numbers them from K on (to run a reported one again).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>

#include "flash_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace flashtest;
using board::FlashPair;

constexpr uint32_t kBankBytes = FlashPair::kSize;
constexpr uint32_t kBlockWords = kBlock / 4;

std::string qemuProgram() {
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const fs::path candidate = fs::path(dir) / "qemu-system-arm";
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return {};
}

fs::path harness() { return vtest::binDir() / "flash-qemu-harness.elf"; }

// A folder for the bank file and the harness's files, removed at the end.
struct Scratch {
    fs::path dir;
    Scratch() {
        char name[] = "/tmp/vboard-qemu-XXXXXX";
        dir = ::mkdtemp(name);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

class FlashOnQemu : public ::testing::Test {
  protected:
    void SetUp() override {
        qemu_ = qemuProgram();
        if (qemu_.empty()) GTEST_SKIP() << "qemu-system-arm is not installed (scripts/setup.sh qemu)";
        if (!fs::exists(harness())) GTEST_SKIP() << "the ARM harness was not built (no arm-none-eabi-gcc)";
    }

    // Runs the harness with `args` on the bank in `bankFile`.
    vtest::RunResult run(const fs::path &bankFile, const std::string &args) const {
        return vtest::run(qemu_,
                          {"-M",
                           "virt",
                           "-cpu",
                           "cortex-a15",
                           "-m",
                           "256",
                           "-display",
                           "none",
                           "-serial",
                           "none",
                           "-monitor",
                           "none",
                           "-nic",
                           "none",
                           "-semihosting",
                           "-kernel",
                           harness().string(),
                           "-append",
                           args,
                           "-drive",
                           "if=pflash,unit=1,format=raw,file=" + bankFile.string()},
                          {}, 120);
    }

    std::string qemu_;
};

void writeBank(const fs::path &file, const std::vector<uint8_t> &bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good());
}

std::vector<uint8_t> readBytes(const fs::path &file) {
    const std::string s = vtest::readFile(file);
    return {s.begin(), s.end()};
}

// Random bytes, with the listed blocks erased.
std::vector<uint8_t> randomBank(uint32_t seed, const std::vector<uint32_t> &erased) {
    std::vector<uint8_t> bank(kBankBytes);
    std::mt19937 rng(seed);
    for (size_t i = 0; i < bank.size(); i += 4) {
        const uint32_t w = rng();
        std::memcpy(&bank[i], &w, 4);
    }
    for (uint32_t b : erased) std::memset(&bank[b * kBlock], 0xFF, kBlock);
    return bank;
}

TEST_F(FlashOnQemu, TheDriverErasesProgramsAndReadsBackOnTheEmulatedFlash) {
    Scratch scratch;
    const fs::path bankFile = scratch.dir / "bank.bin";
    // Blocks 9 and 14 start blank: the erase passes over them.
    const auto before = randomBank(23, {9, 14});
    writeBank(bankFile, before);

    const auto r = run(bankFile, "driver");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(" 0 failures"), std::string::npos) << r.out << r.err;

    // What the emulator wrote back: the blocks the harness erased (8 to 15)
    // aside, nothing changed; the two it left unprogrammed are blank.
    const auto after = readBytes(bankFile);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 8 * kBlock, after.begin()));
    EXPECT_TRUE(std::equal(before.begin() + 16 * kBlock, before.end(), after.begin() + 16 * kBlock));
    for (uint32_t b : {9u, 14u})
        EXPECT_TRUE(std::all_of(after.begin() + b * kBlock, after.begin() + (b + 1) * kBlock,
                                [](uint8_t x) { return x == 0xFF; }))
            << "block " << b;
}

// --- the differential --------------------------------------------------------

// What the emulator's device model leaves out or does otherwise than the
// devices (docs/flash-qemu.md says each one, and why the board's model acts
// as it does). A disagreement is explained only by one of these, met in its
// sequence at or before the point where the two first differ.
enum Simplification : uint32_t {
    kOverwrite = 1u << 0,       // programming stores the word: bits may go from 0 to 1
    kEraseAtSetup = 1u << 1,    // the block is erased at the set-up, confirm or not
    kBrokenSequence = 1u << 2,  // a broken sequence goes back to read array, no error bits
    kClearStatus = 1u << 3,     // clear status clears the ready bit too and goes to read array
    kStrayCommand = 1u << 4,    // a command that begins nothing is ignored
    kBigBuffer = 1u << 5,       // the buffer is 4 KB of the bus, its count is not checked
    kOneHalf = 1u << 6,         // one state machine for both devices, fed by the low half
};
constexpr const char *kSimplificationNames[] = {"overwrite",     "erase-at-setup", "broken-sequence", "clear-status",
                                                "stray-command", "big-buffer",     "one-half"};
constexpr size_t kSimplifications = std::size(kSimplificationNames);

std::string names(uint32_t set) {
    std::string out;
    for (size_t i = 0; i < kSimplifications; ++i)
        if (set & (1u << i)) out += std::string(out.empty() ? "" : ",") + kSimplificationNames[i];
    return out.empty() ? "none" : out;
}

struct Op {
    bool write;
    uint32_t offset;
    uint32_t value;
    uint32_t met;  // simplifications met up to and with this operation
};

// Two blocks of the bank per sequence; the last block takes the writes that
// bring both models back to read array, status clear, between sequences.
constexpr uint32_t kScratchBlock = FlashPair::kBlockCount - 1;
constexpr uint32_t kPerBatch = (FlashPair::kBlockCount - 2) / 2;

// One random sequence of the commands the driver uses (and word program),
// well formed or broken, on one region of two blocks.
class Generator {
  public:
    Generator(uint32_t seed, uint32_t region) : rng_(seed), base_(region * 2 * kBlock) {
        // The first block starts erased, the second erased only in its first 64 KB.
        erased_.assign(2 * kBlockWords, false);
        std::fill(erased_.begin(), erased_.begin() + kBlockWords + kBlockWords / 4, true);
    }

    std::vector<Op> sequence() {
        const uint32_t groups = 1 + pick(10);
        clean_ = pick(2) == 0;  // half of them keep to well-formed sequences
        for (uint32_t g = 0; g < groups; ++g) {
            group();
            for (uint32_t r = pick(3); r > 0; --r) read(anywhere());
        }
        // Back to read array with the status clear, from whatever state
        // either model is in: the longest buffer either takes ends within
        // 258 writes, and a word program of all ones sets the emulator's
        // ready bit again.
        const uint32_t scratch = kScratchBlock * kBlock;
        for (int i = 0; i < 258; ++i) write(scratch, both(0xFF));
        write(scratch, both(0x50));
        write(scratch, both(0x40));
        write(scratch, 0xFFFFFFFF);
        write(scratch, both(0xFF));
        return std::move(ops_);
    }

  private:
    uint32_t pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }
    uint32_t blockBase(uint32_t b) const { return base_ + b * kBlock; }
    // A word of the region, most of them near the start of either block.
    uint32_t anywhere() { return blockBase(pick(2)) + 4 * (pick(4) == 0 ? pick(kBlockWords) : pick(1024)); }
    uint32_t inBlock(uint32_t b) { return blockBase(b) + 4 * (pick(2) == 0 ? pick(kBlockWords) : pick(1024)); }

    // A data word. Once a broken sequence has put the two models out of step,
    // the emulator may take data for commands; none with 0xE8 in its low
    // byte, which would take the next data word as a count of up to 65535
    // and outlast the writes that end the sequence.
    uint32_t data() {
        for (;;) {
            const auto w = static_cast<uint32_t>(rng_());
            if ((w & 0xFF) != 0xE8) return w;
        }
    }

    void read(uint32_t offset) { ops_.push_back({false, offset, 0, met_}); }
    void write(uint32_t offset, uint32_t value) { ops_.push_back({true, offset, value, met_}); }
    void meet(uint32_t s) { met_ |= s; }

    // A command in both halves; now and then (outside the clean sequences)
    // another command in one of them.
    void command(uint32_t offset, uint32_t code) {
        if (!clean_ && pick(16) == 0) {
            // Not one that takes the next write as data: where that write is
            // a data word, the emulator would take it for a count of up to
            // 65535 words and outlast the writes that end the sequence.
            static const uint32_t others[] = {0xFF, 0x70, 0x50, 0x20, 0xD0};
            const uint32_t other = others[pick(std::size(others))];
            if (other != code) {
                meet(kOneHalf);
                write(offset, pick(2) == 0 ? (code | other << 16) : (other | code << 16));
                return;
            }
        }
        write(offset, both(code));
    }

    bool wasErased(uint32_t offset) const { return erased_[(offset - base_) / 4]; }
    void programmed(uint32_t offset) { erased_[(offset - base_) / 4] = false; }
    void erasedBlock(uint32_t b, bool erased) {
        std::fill(erased_.begin() + b * kBlockWords, erased_.begin() + (b + 1) * kBlockWords, erased);
    }

    void group() {
        uint32_t kind = pick(clean_ ? 6 : 10);
        const uint32_t b = pick(2);
        // The emulator's clear status takes its ready bit away until the next
        // erase or program; a clean sequence reads no status before then.
        if (clean_ && readyCleared_ && kind == 1) kind = 3;
        if (kind >= 3 && kind <= 5) readyCleared_ = false;
        switch (kind) {
        case 0:
            command(anywhere(), 0xFF);
            break;
        case 1:
            command(anywhere(), 0x70);
            read(anywhere());
            break;
        case 2:
            // Clear status, then (in a clean sequence) read array: the
            // emulator goes there at once, the devices stay in their mode.
            if (!clean_) meet(kClearStatus);
            command(anywhere(), 0x50);
            if (clean_) command(anywhere(), 0xFF);
            readyCleared_ = true;
            break;
        case 3:
            command(inBlock(b), 0x20);
            read(inBlock(b));
            command(inBlock(b), 0xD0);
            read(inBlock(b));
            erasedBlock(b, true);
            break;
        case 4:
            buffer(b, false);
            break;
        case 5:
            wordProgram();
            break;
        case 6: {
            // An erase set-up followed by anything but its confirm.
            meet(kEraseAtSetup | kBrokenSequence);
            command(inBlock(b), 0x20);
            static const uint32_t next[] = {0xFF, 0x70, 0x50, 0xE8, 0x20, 0x00};
            if (pick(3) == 0) command(inBlock(1 - b), 0xD0);
            else command(inBlock(b), next[pick(std::size(next))]);
            read(inBlock(b));
            erasedBlock(b, false);
            break;
        }
        case 7:
        case 8:
            buffer(b, true);
            break;
        case 9: {
            meet(kStrayCommand);
            static const uint32_t stray[] = {0xD0, 0x00, 0xB0};
            command(anywhere(), stray[pick(std::size(stray))]);
            read(anywhere());
            break;
        }
        }
    }

    // A write-to-buffer sequence as the driver gives it (any word order in
    // its 64-byte window), or broken in one of the ways below.
    void buffer(uint32_t b, bool broken) {
        const uint32_t window = blockBase(b) + 64 * pick(pick(2) == 0 ? kBlock / 64 : 16);
        uint32_t n = 1 + pick(16);
        uint32_t first = pick(17 - n);
        const uint32_t how = broken ? pick(7) : 99;
        std::vector<uint32_t> words;
        if (pick(2) == 0) {
            for (uint32_t i = 0; i < n; ++i) words.push_back(window + 4 * (first + i));
        } else {
            std::vector<uint32_t> slots(16);
            for (uint32_t i = 0; i < 16; ++i) slots[i] = window + 4 * i;
            std::shuffle(slots.begin(), slots.end(), rng_);
            words.assign(slots.begin(), slots.begin() + n);
        }
        uint32_t count = n - 1;
        const uint32_t page = window & ~4095u;  // the emulator's buffer
        uint32_t countAt = page + 4 * pick(1024);
        uint32_t confirmAt = inBlock(b);
        uint32_t confirm = 0xD0;
        switch (how) {
        case 0:  // more words than the buffer holds
            meet(kBigBuffer);
            count = 16 + pick(25);
            words.clear();
            for (uint32_t i = 0; i <= count; ++i) words.push_back(page + (4 * ((window - page) / 4 + i)) % 4096);
            break;
        case 1:  // a word in another window of the same 4 KB
            meet(kBigBuffer);
            words[pick(n)] = page + 4 * pick(1024);
            break;
        case 2:  // a word in the other block
            meet(kBrokenSequence);
            words[pick(n)] = inBlock(1 - b);
            break;
        case 3: {  // no confirm
            meet(kBrokenSequence);
            static const uint32_t other[] = {0xFF, 0x70, 0x50, 0xE8, 0x20};
            confirm = other[pick(std::size(other))];
            break;
        }
        case 4:  // fewer words than announced
            meet(kBrokenSequence);
            count = n + pick(4);
            break;
        case 5:  // the count in the other block
            meet(kBrokenSequence);
            countAt = inBlock(1 - b);
            break;
        case 6:  // the confirm in the other block
            meet(kBrokenSequence);
            confirmAt = inBlock(1 - b);
            break;
        }
        for (uint32_t w : words)
            if (!wasErased(w)) meet(kOverwrite);
        command(pick(2) == 0 ? words[0] : inBlock(b), 0xE8);
        read(words[0]);
        write(countAt, count | count << 16);
        for (uint32_t w : words) write(w, data());
        if (how == 3) command(confirmAt, confirm);
        else write(confirmAt, both(confirm));
        read(words.back());
        for (uint32_t w : words) programmed(w);
    }

    void wordProgram() {
        const uint32_t target = anywhere();
        if (!wasErased(target)) meet(kOverwrite);
        command(anywhere(), pick(2) == 0 ? 0x40 : 0x10);
        write(target, data());
        read(target);
        programmed(target);
    }

    std::mt19937 rng_;
    uint32_t base_;
    bool clean_ = false;
    bool readyCleared_ = false;
    uint32_t met_ = 0;
    std::vector<bool> erased_;
    std::vector<Op> ops_;
};

struct Tally {
    uint32_t sequences = 0, clean = 0, agreeing = 0, explained = 0, unexplained = 0;
    uint64_t operations = 0;
    std::map<std::string, uint32_t> byCause;  // the simplifications met before the first difference
    std::vector<std::string> reports;
};

std::string describe(uint32_t index, const std::vector<Op> &ops, size_t upTo) {
    std::ostringstream out;
    out << "sequence " << index << ":\n" << std::hex;
    for (size_t i = 0; i < ops.size() && i <= upTo; ++i)
        if (ops[i].offset < kScratchBlock * kBlock)
            out << "  " << (ops[i].write ? "write " : "read  ") << ops[i].offset << " " << ops[i].value << "\n";
    return out.str();
}

}  // namespace

class FlashModelAgainstQemu : public FlashOnQemu {
  protected:
    // One emulator run for up to kPerBatch sequences, each on its own region.
    void batch(uint32_t firstIndex, uint32_t count, Tally &tally) {
        std::vector<std::vector<Op>> sequences;
        for (uint32_t s = 0; s < count; ++s) sequences.push_back(Generator(0x5EED0000u + firstIndex + s, s).sequence());

        std::vector<uint32_t> erased;
        for (uint32_t s = 0; s < kPerBatch; ++s) erased.push_back(2 * s);
        erased.push_back(kScratchBlock);
        auto bank = randomBank(firstIndex, erased);
        for (uint32_t s = 0; s < kPerBatch; ++s) std::memset(&bank[(2 * s + 1) * kBlock], 0xFF, kBlock / 4);

        Scratch scratch;
        writeBank(scratch.dir / "bank.bin", bank);
        std::string opsBytes;
        for (const auto &ops : sequences)
            for (const Op &op : ops) {
                const uint32_t record[3] = {op.write ? 1u : 0u, op.offset, op.value};
                opsBytes.append(reinterpret_cast<const char *>(record), sizeof record);
            }
        vtest::writeFile(scratch.dir / "ops.bin", opsBytes);
        const auto r = run(scratch.dir / "bank.bin",
                           "replay " + (scratch.dir / "ops.bin").string() + " " + (scratch.dir / "reads.bin").string());
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        const auto qemuReads = readBytes(scratch.dir / "reads.bin");
        const auto qemuArray = readBytes(scratch.dir / "bank.bin");
        ASSERT_EQ(qemuArray.size(), kBankBytes);

        // The board's model, busy times zero, on the same bank.
        Pair model(quick({{"flash", {{"timing", {{"erase_ns", 0}, {"program_ns", 0}}}}}}));
        model.flash.writeArray(0, bank);
        size_t readIndex = 0;
        for (uint32_t s = 0; s < count; ++s) {
            const auto &ops = sequences[s];
            size_t firstDifference = SIZE_MAX;
            uint32_t qemuValue = 0, modelValue = 0;
            for (size_t i = 0; i < ops.size(); ++i) {
                if (ops[i].write) {
                    model.flash.write32(ops[i].offset, ops[i].value);
                    continue;
                }
                const uint32_t mine = model.flash.read32(ops[i].offset);
                uint32_t theirs = 0;
                ASSERT_LE(4 * (readIndex + 1), qemuReads.size());
                std::memcpy(&theirs, &qemuReads[4 * readIndex++], 4);
                if (mine != theirs && firstDifference == SIZE_MAX) {
                    firstDifference = i;
                    qemuValue = theirs;
                    modelValue = mine;
                }
            }
            const uint32_t region = s * 2 * kBlock;
            const auto mine = model.flash.readArray(region, 2 * kBlock);
            const bool arraysAgree = std::equal(mine.begin(), mine.end(), qemuArray.begin() + region);
            ++tally.sequences;
            tally.operations += ops.size();
            if (ops.back().met == 0) ++tally.clean;
            if (firstDifference == SIZE_MAX && arraysAgree) {
                ++tally.agreeing;
                continue;
            }
            const uint32_t met = firstDifference == SIZE_MAX ? ops.back().met : ops[firstDifference].met;
            std::ostringstream what;
            if (firstDifference != SIZE_MAX)
                what << "read " << std::hex << ops[firstDifference].offset << ": emulator " << qemuValue << ", model "
                     << modelValue;
            else what << "the final arrays differ";
            if (met != 0) {
                ++tally.explained;
                ++tally.byCause[names(met)];
                continue;
            }
            ++tally.unexplained;
            if (tally.reports.size() < 5)
                tally.reports.push_back(describe(firstIndex + s, ops, firstDifference) + "  " + what.str());
        }
        EXPECT_EQ(readIndex * 4, qemuReads.size());
    }
};

TEST_F(FlashModelAgainstQemu, EveryReadAndTheFinalArrayAgreeOrDifferByADocumentedSimplification) {
    uint32_t total = 2 * kPerBatch, from = 0;
    if (const char *n = std::getenv("VBOARD_QEMU_SEQUENCES"); n != nullptr && *n != 0) total = std::stoul(n);
    // Sequence numbers from here on (to run a reported one again).
    if (const char *n = std::getenv("VBOARD_QEMU_FIRST"); n != nullptr && *n != 0) from = std::stoul(n);
    const auto start = std::chrono::steady_clock::now();
    Tally tally;
    for (uint32_t done = 0; done < total; done += kPerBatch) {
        batch(from + done, std::min(kPerBatch, total - done), tally);
        if (HasFatalFailure()) return;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::ostringstream summary;
    summary << tally.sequences << " sequences (" << tally.clean << " well formed), " << tally.operations
            << " bus operations, " << tally.agreeing << " agree, " << tally.explained
            << " differ by a documented simplification, " << tally.unexplained << " unexplained; " << seconds << " s\n";
    for (const auto &[cause, n] : tally.byCause) summary << "  " << n << " after: " << cause << "\n";
    std::cout << summary.str();
    EXPECT_EQ(tally.unexplained, 0u) << summary.str();
    for (const auto &report : tally.reports) ADD_FAILURE() << report;
    EXPECT_GT(tally.clean, tally.sequences / 3) << "too few well-formed sequences to say much";
}
