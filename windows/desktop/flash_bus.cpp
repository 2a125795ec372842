#include "flash_bus.h"

#include <string>

#include "desktop.h"

namespace desktop {

using board::flash::Device;

namespace {

// Datasheet typicals, as on the host, unless the board's settings say else.
constexpr uint64_t kDefaultEraseNs = 1000000000;
constexpr uint64_t kDefaultProgramNs = 218000;

uint64_t timing(const nlohmann::json &settings, const char *key, uint64_t fallback) {
    const auto ptr = nlohmann::json::json_pointer(std::string("/flash/timing/") + key);
    if (!settings.contains(ptr)) return fallback;
    const auto &v = settings.at(ptr);
    if (!v.is_number_unsigned()) fail(std::string("the board setting /flash/timing/") + key + " must be a whole number of ns");
    return v.get<uint64_t>();
}

// The board's fault lists: a block number (both devices) or {"block": n, "device": d}.
void addBlockFaults(const nlohmann::json &list, const std::string &name, uint8_t fault,
                    std::array<std::array<uint8_t, FlashBus::kBlockCount>, 2> &faults) {
    const std::string where = "the board setting /flash/faults/" + name;
    if (!list.is_array()) fail(where + " must be a list of blocks");
    for (const auto &entry : list) {
        uint64_t block = 0;
        int first = 0, last = 1;
        if (entry.is_number_unsigned()) {
            block = entry.get<uint64_t>();
        } else if (entry.is_object() && entry.contains("block") && entry["block"].is_number_unsigned()) {
            block = entry["block"].get<uint64_t>();
            if (entry.contains("device")) {
                if (!entry["device"].is_number_unsigned() || entry["device"].get<uint64_t>() > 1)
                    fail(where + ": \"device\" must be 0 or 1");
                first = last = static_cast<int>(entry["device"].get<uint64_t>());
            }
        } else {
            fail(where + ": " + entry.dump() + " is neither a block number nor {\"block\": n}");
        }
        if (block >= FlashBus::kBlockCount) fail(where + ": block " + std::to_string(block) + " is beyond the flash");
        for (int d = first; d <= last; ++d) faults[d][block] |= fault;
    }
}

void checkBusAddress(uint32_t address) {
    if (address % 4 != 0 || address >= FlashBus::kSize)
        fail("bus access at physical address " + std::to_string(address) + " is not an aligned word of the flash");
}

}  // namespace

FlashBus &FlashBus::get() {
    static FlashBus bus;
    return bus;
}

FlashBus::FlashBus() {
    const BoardFolder &board = BoardFolder::get();
    const nlohmann::json &all = board.settings();
    const uint64_t eraseNs = timing(all, "erase_ns", kDefaultEraseNs);
    const uint64_t programNs = timing(all, "program_ns", kDefaultProgramNs);

    const auto faults = nlohmann::json::json_pointer("/flash/faults");
    if (all.contains(faults)) {
        const auto &f = all.at(faults);
        if (!f.is_object()) fail("the board setting /flash/faults must be an object");
        const std::pair<const char *, uint8_t> kinds[] = {
            {"locked", board::flash::FAULT_LOCKED},
            {"low_voltage", board::flash::FAULT_LOW_VOLTAGE},
            {"erase_fails", board::flash::FAULT_ERASE_FAILS},
            {"stuck_busy", board::flash::FAULT_STUCK_BUSY},
            {"program_fails", board::flash::FAULT_PROGRAM_FAILS},
        };
        for (const auto &[name, bit] : kinds)
            if (f.contains(name)) addBlockFaults(f[name], name, bit, faults_);
        if (f.contains("stuck_at_0")) {
            for (const auto &entry : f["stuck_at_0"]) {
                if (!entry.is_object() || !entry.value("address", nlohmann::json()).is_number_unsigned() ||
                    !entry.value("bit", nlohmann::json()).is_number_unsigned())
                    fail("the board setting /flash/faults/stuck_at_0: " + entry.dump() + " is not {\"address\": a, \"bit\": b}");
                const uint64_t address = entry["address"].get<uint64_t>();
                const uint64_t bit = entry["bit"].get<uint64_t>();
                if (address >= kSize || bit > 31) fail("the board setting /flash/faults/stuck_at_0: " + entry.dump() + " is outside the flash");
                stuck_[bit / 16].push_back({static_cast<uint32_t>(address / 4), static_cast<uint16_t>(1u << (bit % 16))});
            }
        }
    }

    const std::wstring name = (board.dir() / "flash.bin").wstring();
    file_ = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) fail("cannot open " + toUtf8(name));
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_, &size) || size.QuadPart != kSize)
        fail(toUtf8(name) + " is not the size the flash needs (" + std::to_string(kSize) + " bytes)");
    section_ = CreateFileMappingW(file_, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    if (section_ == nullptr) fail("cannot map " + toUtf8(name));
    array_ = static_cast<uint8_t *>(MapViewOfFile(section_, FILE_MAP_WRITE, 0, 0, kSize));
    if (array_ == nullptr) fail("cannot map " + toUtf8(name));

    for (unsigned d = 0; d < 2; ++d) {
        Device::powerUp(state_[d]);
        context_[d] = board::flash::DeviceContext{array_, d, faults_[d].data(), &stuck_[d], eraseNs, programNs};
    }
    QueryPerformanceFrequency(&frequency_);
    QueryPerformanceCounter(&start_);
}

uint64_t FlashBus::nowNs() const {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart - start_.QuadPart);
    const uint64_t hz = static_cast<uint64_t>(frequency_.QuadPart);
    // Whole seconds and the rest apart, so the product cannot overflow.
    return ticks / hz * 1000000000ull + ticks % hz * 1000000000ull / hz;
}

uint32_t FlashBus::read32(uint32_t address) {
    checkBusAddress(address);
    std::lock_guard<std::mutex> bus(lock_);
    const uint64_t now = nowNs();
    Device low(state_[0], context_[0]);
    Device high(state_[1], context_[1]);
    const uint32_t word = address / 4;
    return low.read(word, now) | (static_cast<uint32_t>(high.read(word, now)) << 16);
}

void FlashBus::write32(uint32_t address, uint32_t value) {
    checkBusAddress(address);
    std::lock_guard<std::mutex> bus(lock_);
    const uint64_t now = nowNs();
    Device low(state_[0], context_[0]);
    Device high(state_[1], context_[1]);
    const auto lowHalf = static_cast<uint16_t>(value);
    const auto highHalf = static_cast<uint16_t>(value >> 16);
    // Both devices must see the same command; data words differ freely.
    if (lowHalf != highHalf && (low.takesCommand(now) || high.takesCommand(now)))
        BoardFolder::get().log({{"event", "flash_fault"},
                                {"address", address},
                                {"value", value},
                                {"reason", "the two halves of the bus word carry different commands"}});
    const uint32_t word = address / 4;
    low.write(word, lowHalf, now);
    high.write(word, highHalf, now);
}

}  // namespace desktop
