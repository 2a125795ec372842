// One 16-bit flash device of the pair: its command state machine, status
// register and write buffer. The state is plain data kept in the board's
// shared state page; Device is the behaviour wrapped around it for one access.
#pragma once

#include <cstdint>
#include <vector>

namespace board::flash {

// Status register bits.
enum : uint16_t {
    SR_LOCKED = 1u << 1,         // the block is locked
    SR_VPP_LOW = 1u << 3,        // programming voltage too low
    SR_PROGRAM_ERROR = 1u << 4,  // program failed (with SR_ERASE_ERROR: sequence error)
    SR_ERASE_ERROR = 1u << 5,    // erase failed (with SR_PROGRAM_ERROR: sequence error)
    SR_READY = 1u << 7,          // the state machine is idle
};
constexpr uint16_t SR_SEQUENCE_ERROR = SR_PROGRAM_ERROR | SR_ERASE_ERROR;
constexpr uint16_t SR_ERRORS = SR_LOCKED | SR_VPP_LOW | SR_PROGRAM_ERROR | SR_ERASE_ERROR;

// Command codes, as each device sees them in its half of the bus word.
enum : uint16_t {
    CMD_READ_ARRAY = 0xFF,
    CMD_READ_STATUS = 0x70,
    CMD_CLEAR_STATUS = 0x50,
    CMD_ERASE_SETUP = 0x20,
    CMD_CONFIRM = 0xD0,
    CMD_WRITE_TO_BUFFER = 0xE8,
    CMD_WORD_PROGRAM = 0x40,
    CMD_WORD_PROGRAM_ALT = 0x10,  // the same command under its second code
};

// Faults injected into one block of one device (from the board settings).
enum : uint8_t {
    FAULT_LOCKED = 1u << 0,
    FAULT_LOW_VOLTAGE = 1u << 1,
    FAULT_ERASE_FAILS = 1u << 2,
    FAULT_STUCK_BUSY = 1u << 3,
    FAULT_PROGRAM_FAILS = 1u << 4,
};

constexpr uint32_t kBlockWords = 0x10000;  // 16-bit words per block of one device
constexpr uint32_t kBufferWords = 16;      // 32-byte write buffer of one device

constexpr uint64_t kNever = UINT64_MAX;

// A status poll held by a busy device ends, at the latest, at the next of
// these checkpoints: every 100 ms of the board's millisecond tick, counted
// from the tick of the write a driver times the operation from. A driver's
// time limit of a whole number of such steps then runs out on the very read
// that would have seen it run out one bus access at a time, and a device that
// never finishes costs a hundred reads per ten seconds, not millions.
constexpr uint64_t kTickNs = 1000000;
constexpr uint64_t kHoldStepNs = 100 * kTickNs;

enum class Mode : uint32_t { ReadArray, ReadStatus, EraseSetup, BufferCount, BufferData, BufferConfirm, WordData };

struct DeviceState {
    Mode mode;
    uint16_t status;         // error bits; ready follows from busyUntilNs
    uint16_t pendingStatus;  // error bits the running operation shows when it ends
    uint64_t busyUntilNs;    // 0 when idle
    uint64_t timedFromNs;    // the write a driver's time limit for the running operation counts from
    uint32_t sequenceBlock;  // block of the erase or buffer sequence under way
    uint32_t refused;        // the buffer sequence was begun while SR bits 4/5 stood
    uint32_t window;         // buffer window (word / kBufferWords) fixed by the first data word
    uint32_t count;          // words the buffer sequence announced
    uint32_t filled;         // words received so far
    uint16_t data[kBufferWords];
    uint32_t dataWord[kBufferWords];
};

// A cell stuck at 0: device word index and the bit within the 16-bit word.
struct StuckBit {
    uint32_t word;
    uint16_t mask;
};

// What one device needs besides its state: its half of the array, its
// faults and the busy times.
struct DeviceContext {
    uint8_t *array;                      // the whole array, bus words
    unsigned half;                       // 0: bits 0-15, 1: bits 16-31
    const uint8_t *blockFaults;          // FAULT_* per block
    const std::vector<StuckBit> *stuck;  // this device's stuck cells
    uint64_t eraseNs;
    uint64_t programNs;
};

class Device {
  public:
    Device(DeviceState &state, const DeviceContext &context) : s_(state), c_(context) {}

    static void powerUp(DeviceState &state);

    // One bus access reaching this device: `word` is the device word index
    // (bus address / 4), `now` the board time of the access.
    uint16_t read(uint32_t word, uint64_t now) {
        settle(now);
        if (busy(now)) return s_.status;
        if (s_.mode == Mode::ReadArray) return cell(word);
        return s_.status | SR_READY;
    }
    void write(uint32_t word, uint16_t value, uint64_t now);

    // Whether this device would take its half of the next write as a
    // command (as opposed to data of a buffer sequence or of a word
    // program, or nothing at all while busy).
    bool takesCommand(uint64_t now) const;

    uint16_t cell(uint32_t word) const {
        const uint8_t *p = c_.array + word * 4u + c_.half * 2u;
        return static_cast<uint16_t>(p[0] | (p[1] << 8));
    }

    // While busy: the board time at which a status read that began at
    // `start` may see something else, the operation's end or the next
    // checkpoint, whichever comes first. kNever when the device is idle at
    // `now`.
    uint64_t holdsReadUntil(uint64_t start, uint64_t now) const;

  private:
    bool busy(uint64_t now) const { return now < s_.busyUntilNs; }
    // An operation's outcome shows in the status register only once it is over.
    void settle(uint64_t now) {
        if (s_.busyUntilNs == 0 || busy(now)) return;
        s_.status |= s_.pendingStatus;
        s_.pendingStatus = 0;
        s_.busyUntilNs = 0;
    }
    void command(uint32_t word, uint16_t value, uint64_t now);
    void sequenceError();
    void startErase(uint64_t now);
    void startProgram(uint64_t now);
    void setCell(uint32_t word, uint16_t value);
    void eraseCells(uint32_t block);

    DeviceState &s_;
    const DeviceContext &c_;
};

}  // namespace board::flash
