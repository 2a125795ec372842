#include "board/flash.h"

#include <cerrno>
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "board/board.h"
#include "board/clock.h"
#include "flash_device.h"
#include "os.h"

namespace board {

namespace fs = std::filesystem;
using flash::Device;
using flash::DeviceContext;
using flash::DeviceState;

static_assert(std::endian::native == std::endian::little, "the array file holds the bus words as the host does");

namespace {
constexpr uint64_t kMagic = 0x48534c4642425600ull;  // "\0VBBFLSH"
constexpr uint32_t kVersion = 4;

// Datasheet typicals of 3 V parts of this class.
constexpr uint64_t kDefaultEraseNs = 1000000000;  // block erase
constexpr uint64_t kDefaultProgramNs = 218000;    // one 32-byte buffer per device
constexpr uint64_t kDefaultAccessNs = 120;        // one bus access

// One record of <board>/flash.trace.
struct TraceRecord {
    uint64_t timeNs;
    uint32_t address;
    uint32_t value;
    uint32_t write;
    uint32_t reserved;
};
static_assert(sizeof(TraceRecord) == 24);

// Trace records wait in the state page and go to the file a batch at a
// time: one write per access would cost far more than the access itself.
constexpr uint32_t kTraceBatch = 2048;

}  // namespace

struct FlashPair::State {
    uint64_t magic;
    uint32_t version;
    uint32_t tracing;
    os::SharedLock lock;  // one bus access at a time, among all processes
    uint32_t driverFaults;
    uint32_t lastRead;  // 1 + the address of the last access when it was a read, else 0
    uint64_t busAccesses;
    uint64_t lastEndNs;  // board time at the end of the last access
    DeviceState device[2];
    uint64_t traceFileRecords;  // records flash.trace holds
    uint32_t traceBatched;      // records in traceBatch, to follow them
    uint32_t reserved;
    TraceRecord traceBatch[kTraceBatch];
};

struct FlashPair::Settings {
    uint64_t eraseNs = kDefaultEraseNs;
    uint64_t programNs = kDefaultProgramNs;
    uint64_t accessNs = kDefaultAccessNs;
    bool exactPolling = false;  // no ready line: a status read is one access, busy or not
    std::array<std::array<uint8_t, kBlockCount>, 2> faults{};
    std::array<std::vector<flash::StuckBit>, 2> stuck;
    std::array<DeviceContext, 2> context{};
};

// Holds the bus. A process that died holding it left the state as its last
// complete access made it (every access changes the state only at its end),
// so the lock is simply taken over.
class FlashPair::Guard {
  public:
    explicit Guard(State *state) : lock_(state->lock) { os::lockShared(lock_); }
    ~Guard() { os::unlockShared(lock_); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

  private:
    os::SharedLock &lock_;
};

void FlashPair::create(const fs::path &boardDir) {
    const fs::path array = boardDir / "flash.bin";
    {
        std::ofstream out(array, std::ios::binary | std::ios::trunc);
        const std::vector<char> erased(1u << 20, static_cast<char>(0xFF));
        for (uint32_t done = 0; out && done < kSize; done += erased.size())
            out.write(erased.data(), static_cast<std::streamsize>(erased.size()));
        out.close();
        if (!out) throw BoardError("cannot write " + array.string() + ": " + std::strerror(errno));
    }

    // The state page is made whole under another name, then put in place.
    const fs::path state = boardDir / "flash.state";
    const fs::path temp = boardDir / "flash.state.new";
    {
        std::error_code ec;
        fs::remove(temp, ec);
        os::Mapping work(boardDir / "flash.work", sizeof(Work), os::Mapping::Open::Create);
        os::Mapping page(temp, sizeof(State), os::Mapping::Open::Create);
        auto *s = static_cast<State *>(page.data());
        os::initSharedLock(s->lock);
        Device::powerUp(s->device[0]);
        Device::powerUp(s->device[1]);
        s->version = kVersion;
        s->magic = kMagic;
    }
    std::error_code ec;
    fs::rename(temp, state, ec);
    if (ec) throw BoardError("cannot make " + state.string() + ": " + ec.message());
}

namespace {

// A fault list entry: a block number (both devices) or {"block": n, "device": 0|1}.
void addBlockFaults(const nlohmann::json &list, const std::string &name, uint8_t fault,
                    std::array<std::array<uint8_t, FlashPair::kBlockCount>, 2> &faults) {
    const std::string where = "the board setting /flash/faults/" + name;
    if (!list.is_array()) throw BoardError(where + " must be a list of blocks");
    for (const auto &entry : list) {
        uint64_t block = 0;
        int first = 0, last = 1;
        if (entry.is_number_unsigned()) {
            block = entry.get<uint64_t>();
        } else if (entry.is_object() && entry.contains("block") && entry["block"].is_number_unsigned()) {
            block = entry["block"].get<uint64_t>();
            if (entry.contains("device")) {
                const auto &d = entry["device"];
                if (!d.is_number_unsigned() || d.get<uint64_t>() > 1)
                    throw BoardError(where + ": \"device\" must be 0 or 1");
                first = last = static_cast<int>(d.get<uint64_t>());
            }
        } else {
            throw BoardError(where + ": " + entry.dump() + " is neither a block number nor {\"block\": n}");
        }
        if (block >= FlashPair::kBlockCount)
            throw BoardError(where + ": block " + std::to_string(block) + " is beyond the flash (" +
                             std::to_string(FlashPair::kBlockCount) + " blocks)");
        for (int d = first; d <= last; ++d) faults[d][block] |= fault;
    }
}

uint64_t timing(const nlohmann::json &settings, const char *key, uint64_t fallback) {
    const auto ptr = nlohmann::json::json_pointer(std::string("/flash/timing/") + key);
    if (!settings.contains(ptr)) return fallback;
    const auto &v = settings.at(ptr);
    if (!v.is_number_unsigned())
        throw BoardError(std::string("the board setting /flash/timing/") + key + " must be a whole number of ns");
    return v.get<uint64_t>();
}

}  // namespace

FlashPair::FlashPair(const fs::path &boardDir) : dir_(boardDir), settings_(std::make_unique<Settings>()) {
    board_ = Board::open(dir_);
    const nlohmann::json &all = board_->settings();
    Settings &s = *settings_;
    s.eraseNs = timing(all, "erase_ns", kDefaultEraseNs);
    s.programNs = timing(all, "program_ns", kDefaultProgramNs);
    s.accessNs = timing(all, "access_ns", kDefaultAccessNs);
    const auto exact = nlohmann::json::json_pointer("/flash/exact_polling");
    if (all.contains(exact)) {
        if (!all.at(exact).is_boolean())
            throw BoardError("the board setting /flash/exact_polling must be true or false");
        s.exactPolling = all.at(exact).get<bool>();
    }
    // With every status read one access and no access taking time, a driver
    // polling a busy device would never see the board clock move.
    if (s.exactPolling && s.accessNs == 0)
        throw BoardError(
            "the board setting /flash/timing/access_ns must be above 0 while /flash/exact_polling is "
            "true: no bus access would advance the board clock and a busy device would stay busy");

    const auto faults = nlohmann::json::json_pointer("/flash/faults");
    if (all.contains(faults)) {
        const auto &f = all.at(faults);
        if (!f.is_object()) throw BoardError("the board setting /flash/faults must be an object");
        const std::pair<const char *, uint8_t> kinds[] = {
            {"locked", flash::FAULT_LOCKED},
            {"low_voltage", flash::FAULT_LOW_VOLTAGE},
            {"erase_fails", flash::FAULT_ERASE_FAILS},
            {"stuck_busy", flash::FAULT_STUCK_BUSY},
            {"program_fails", flash::FAULT_PROGRAM_FAILS},
        };
        for (const auto &[name, bit] : kinds)
            if (f.contains(name)) addBlockFaults(f[name], name, bit, s.faults);
        if (f.contains("stuck_at_0")) {
            const auto &list = f["stuck_at_0"];
            const std::string where = "the board setting /flash/faults/stuck_at_0";
            if (!list.is_array()) throw BoardError(where + " must be a list");
            for (const auto &entry : list) {
                if (!entry.is_object() || !entry.contains("address") || !entry["address"].is_number_unsigned() ||
                    !entry.contains("bit") || !entry["bit"].is_number_unsigned())
                    throw BoardError(where + ": " + entry.dump() + " is not {\"address\": a, \"bit\": b}");
                const uint64_t address = entry["address"].get<uint64_t>();
                const uint64_t bit = entry["bit"].get<uint64_t>();
                if (address >= kSize || bit > 31)
                    throw BoardError(where + ": " + entry.dump() + " is outside the flash or the bus word");
                s.stuck[bit / 16].push_back(
                    {static_cast<uint32_t>(address / 4), static_cast<uint16_t>(1u << (bit % 16))});
            }
        }
    }

    arrayMapping_ = std::make_unique<os::Mapping>(arrayFile(), kSize, os::Mapping::Open::Existing);
    stateMapping_ = std::make_unique<os::Mapping>(dir_ / "flash.state", sizeof(State), os::Mapping::Open::Existing);
    array_ = static_cast<uint8_t *>(arrayMapping_->data());
    state_ = static_cast<State *>(stateMapping_->data());
    try {
        workMapping_ = std::make_unique<os::Mapping>(dir_ / "flash.work", sizeof(Work), os::Mapping::Open::Create);
        work_ = static_cast<Work *>(workMapping_->data());
    } catch (const BoardError &) {
        work_ = nullptr;  // a board on a read-only mount made before it was kept
    }
    if (state_->magic != kMagic || state_->version != kVersion)
        throw BoardError("the flash state " + (dir_ / "flash.state").string() + " is not one this build can use");
    for (unsigned d = 0; d < 2; ++d)
        s.context[d] = DeviceContext{array_, d, s.faults[d].data(), &s.stuck[d], s.eraseNs, s.programNs};
}

// The records of this process's last accesses are put in the file, so that
// the trace is whole once the programs on the board have ended.
FlashPair::~FlashPair() {
    if (state_ == nullptr) return;
    try {
        Guard bus(state_);
        flushTraceLocked();
    } catch (const std::exception &) {
        // They wait in the state page for the next reader of the trace.
    }
}

namespace {
[[noreturn]] void badBusAddress(uint32_t address) {
    throw BoardError("bus access at physical address " + std::to_string(address) +
                     " is not an aligned word of the flash");
}
inline void checkBusAddress(uint32_t address) {
    if (address % 4 != 0 || address >= FlashPair::kSize) [[unlikely]]
        badBusAddress(address);
}
}  // namespace

uint32_t FlashPair::read32(uint32_t address) {
    checkBusAddress(address);
    Clock &clock = board_->clock();
    uint32_t value;
    {
        Guard bus(state_);
        uint64_t now = clock.advanceOneWriterNs(settings_->accessNs);
        // A read of the word just read, with no board time passed between,
        // is a driver polling at full speed: it is held while the devices
        // are busy. A first look, or one after a sleep, takes one access
        // time as it always does, so a driver that waits between its looks
        // sees them at exactly the times it would without a ready line.
        if (!settings_->exactPolling && state_->lastRead == address + 1 &&
            state_->lastEndNs == now - settings_->accessNs)
            now = holdWhileBusy(clock, now);
        state_->lastRead = address + 1;
        state_->lastEndNs = now;
        ++state_->busAccesses;
        value = readLocked(address, now);
        if (state_->tracing) record(false, address, value, now);
    }
    clock.keepPace();
    return value;
}

void FlashPair::write32(uint32_t address, uint32_t value) {
    checkBusAddress(address);
    Clock &clock = board_->clock();
    {
        Guard bus(state_);
        const uint64_t now = clock.advanceOneWriterNs(settings_->accessNs);
        state_->lastRead = 0;
        state_->lastEndNs = now;
        ++state_->busAccesses;
        if (state_->tracing) record(true, address, value, now);
        writeLocked(address, value, now);
    }
    clock.keepPace();
}

// The devices hold a poll that finds one of them busy, as a ready line
// would, until what the read returns may differ: one of them finishes, or a
// checkpoint of the driver's time limit comes. The read ends on the first
// access-time step from its start at or after that moment, where a driver
// polling one access at a time would have had its first look at it.
uint64_t FlashPair::holdWhileBusy(Clock &clock, uint64_t now) {
    const uint64_t access = settings_->accessNs;
    const uint64_t start = now - access;
    const Device low(state_->device[0], settings_->context[0]);
    const Device high(state_->device[1], settings_->context[1]);
    const uint64_t until = std::min(low.holdsReadUntil(start, now), high.holdsReadUntil(start, now));
    if (until == flash::kNever || until <= now) return now;
    uint64_t hold = until - now;
    if (access != 0) hold = (hold + access - 1) / access * access;
    return clock.advanceOneWriterNs(hold);
}

uint32_t FlashPair::readLocked(uint32_t address, uint64_t now) {
    Device low(state_->device[0], settings_->context[0]);
    Device high(state_->device[1], settings_->context[1]);
    const uint32_t word = address / 4;
    return low.read(word, now) | (static_cast<uint32_t>(high.read(word, now)) << 16);
}

void FlashPair::writeLocked(uint32_t address, uint32_t value, uint64_t now) {
    Device low(state_->device[0], settings_->context[0]);
    Device high(state_->device[1], settings_->context[1]);
    const auto lowHalf = static_cast<uint16_t>(value);
    const auto highHalf = static_cast<uint16_t>(value >> 16);
    // Both devices must see the same command; data words of a buffer
    // sequence differ freely between the halves.
    if (lowHalf != highHalf && (low.takesCommand(now) || high.takesCommand(now))) {
        ++state_->driverFaults;
        board_->log().append({{"event", "flash_fault"},
                              {"address", address},
                              {"value", value},
                              {"reason", "the two halves of the bus word carry different commands"}});
    }
    const uint32_t word = address / 4;
    const DeviceState &d0 = state_->device[0], &d1 = state_->device[1];
    const auto opens = [](const DeviceState &d) {
        return d.mode == flash::Mode::EraseSetup || d.mode == flash::Mode::BufferConfirm;
    };
    if (work_ != nullptr && (opens(d0) || opens(d1))) {
        // Only a confirm can start the devices' work: note what it started.
        const uint32_t modes = static_cast<uint32_t>(d0.mode) | static_cast<uint32_t>(d1.mode) << 8;
        const uint32_t filled[2] = {d0.filled, d1.filled};
        low.write(word, lowHalf, now);
        high.write(word, highHalf, now);
        countWork(modes, filled, now);
        return;
    }
    low.write(word, lowHalf, now);
    high.write(word, highHalf, now);
}

void FlashPair::countWork(uint32_t modes, const uint32_t filled[2], uint64_t now) {
    bool erased = false;
    for (unsigned d = 0; d < 2; ++d) {
        const auto was = static_cast<flash::Mode>((modes >> (8 * d)) & 0xFF);
        const DeviceState &s = state_->device[d];
        // Begun and not failing (a stuck device never ends, so it never erases).
        const bool began = s.busyUntilNs > now && s.busyUntilNs != flash::kNever && s.pendingStatus == 0;
        if (!began) continue;
        if (was == flash::Mode::EraseSetup) erased = true;
        if (was == flash::Mode::BufferConfirm) work_->bytesProgrammed += uint64_t{filled[d]} * 2;
    }
    if (erased) ++work_->blocksErased;  // a block spans both devices
}

std::optional<FlashPair::Work> FlashPair::work(const fs::path &boardDir) {
    std::ifstream in(boardDir / "flash.work", std::ios::binary);
    Work w;
    if (!in.read(reinterpret_cast<char *>(&w), sizeof w)) return std::nullopt;
    return w;
}

void FlashPair::record(bool write, uint32_t address, uint32_t value, uint64_t now) {
    state_->traceBatch[state_->traceBatched++] = TraceRecord{now, address, value, write ? 1u : 0u, 0};
    if (state_->traceBatched == kTraceBatch) flushTraceLocked();
}

// Writes the waiting records after those the file holds. The counts change
// only once the write is done, so a process that dies in the middle leaves
// the batch to be written again, at the same place, by the next one.
void FlashPair::flushTraceLocked() const {
    if (state_->traceBatched == 0) return;
    if (!trace_) trace_ = std::make_unique<os::RecordFile>(dir_ / "flash.trace");
    if (!trace_->writeAt(state_->traceFileRecords * sizeof(TraceRecord), state_->traceBatch,
                         state_->traceBatched * sizeof(TraceRecord)))
        throw BoardError("cannot write the flash trace in " + dir_.string());
    state_->traceFileRecords += state_->traceBatched;
    state_->traceBatched = 0;
}

void FlashPair::powerUp() {
    Guard bus(state_);
    state_->lastRead = 0;
    Device::powerUp(state_->device[0]);
    Device::powerUp(state_->device[1]);
}

void FlashPair::writeArray(uint32_t physOffset, std::span<const uint8_t> bytes) {
    if (physOffset > kSize || bytes.size() > kSize - physOffset)
        throw BoardError("writing " + std::to_string(bytes.size()) + " bytes at " + std::to_string(physOffset) +
                         " goes beyond the flash");
    Guard bus(state_);
    std::memcpy(array_ + physOffset, bytes.data(), bytes.size());
}

std::vector<uint8_t> FlashPair::readArray(uint32_t physOffset, size_t length) const {
    std::vector<uint8_t> out(length);
    readArray(physOffset, out);
    return out;
}

void FlashPair::readArray(uint32_t physOffset, std::span<uint8_t> into) const {
    if (physOffset > kSize || into.size() > kSize - physOffset)
        throw BoardError("reading " + std::to_string(into.size()) + " bytes at " + std::to_string(physOffset) +
                         " goes beyond the flash");
    Guard bus(state_);
    std::memcpy(into.data(), array_ + physOffset, into.size());
}

void FlashPair::setTracing(bool on) {
    Guard bus(state_);
    state_->tracing = on ? 1 : 0;
    if (!on) flushTraceLocked();
}

bool FlashPair::tracing() const {
    Guard bus(state_);
    return state_->tracing != 0;
}

std::vector<BusAccess> FlashPair::trace() const {
    Guard bus(state_);
    flushTraceLocked();
    std::vector<BusAccess> out;
    std::ifstream in(dir_ / "flash.trace", std::ios::binary);
    std::error_code ec;
    const uint64_t size = fs::file_size(dir_ / "flash.trace", ec);
    if (!in || ec) return out;
    // A writer that died after its write but before noting it down may have
    // left more than the board counts; the next batch goes over it.
    const uint64_t count = std::min<uint64_t>(size / sizeof(TraceRecord), state_->traceFileRecords);
    // Read as they are (no zeroing first), then turned into accesses in place.
    const auto records = std::make_unique_for_overwrite<TraceRecord[]>(static_cast<size_t>(count));
    const auto bytes = static_cast<std::streamsize>(count * sizeof(TraceRecord));
    if (!in.read(reinterpret_cast<char *>(records.get()), bytes))
        throw BoardError("cannot read the flash trace in " + dir_.string());
    out.resize(static_cast<size_t>(count));
    for (size_t i = 0; i < out.size(); ++i) {
        const TraceRecord &t = records[i];
        out[i] = BusAccess{t.write != 0, t.address, t.value, t.timeNs};
    }
    return out;
}

void FlashPair::clearTrace() {
    Guard bus(state_);
    state_->traceBatched = 0;
    state_->traceFileRecords = 0;
    const fs::path file = dir_ / "flash.trace";
    std::error_code ec;
    if (!fs::exists(file, ec)) return;
    fs::resize_file(file, 0, ec);
    if (ec) throw BoardError("cannot clear the flash trace " + file.string() + ": " + ec.message());
}

uint32_t FlashPair::driverFaults() const {
    Guard bus(state_);
    return state_->driverFaults;
}

uint64_t FlashPair::busAccesses() const {
    Guard bus(state_);
    return state_->busAccesses;
}

}  // namespace board
