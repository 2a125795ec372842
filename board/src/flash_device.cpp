#include "flash_device.h"

#include <cstring>
#include <limits>

namespace board::flash {

namespace {
constexpr uint64_t kForever = kNever;
constexpr uint32_t kNoWindow = std::numeric_limits<uint32_t>::max();

uint32_t blockOf(uint32_t word) { return word / kBlockWords; }
}  // namespace

void Device::powerUp(DeviceState &s) {
    s = DeviceState{};
    s.mode = Mode::ReadArray;
    s.window = kNoWindow;
}

void Device::setCell(uint32_t word, uint16_t value) {
    uint8_t *p = c_.array + word * 4u + c_.half * 2u;
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

// Sets this device's half of every bus word of `block` to 0xFFFF, a whole
// word at a time (the loop the compiler can widen). The array is a mapped
// file the address sanitizer knows nothing of, and the block lies inside it
// (blockOf a bus word), so the sanitizers' per-word checks, which keep the
// loop from being widened, are left out here.
__attribute__((no_sanitize("address", "undefined"))) void Device::eraseCells(uint32_t block) {
    uint8_t *p = c_.array + block * kBlockWords * 4u;
    const uint32_t half = c_.half == 0 ? 0x0000FFFFu : 0xFFFF0000u;
    for (uint32_t w = 0; w < kBlockWords; ++w, p += 4) {
        uint32_t word;
        std::memcpy(&word, p, 4);
        word |= half;
        std::memcpy(p, &word, 4);
    }
}

uint64_t Device::holdsReadUntil(uint64_t start, uint64_t now) const {
    if (!busy(now)) return kNever;
    const uint64_t from = s_.timedFromNs - s_.timedFromNs % kTickNs;
    const uint64_t checkpoint = start < from ? from : from + ((start - from) / kHoldStepNs + 1) * kHoldStepNs;
    return checkpoint < s_.busyUntilNs ? checkpoint : s_.busyUntilNs;
}

bool Device::takesCommand(uint64_t now) const {
    return !busy(now) && s_.mode != Mode::BufferData && s_.mode != Mode::WordData;
}

void Device::write(uint32_t word, uint16_t value, uint64_t now) {
    settle(now);
    // While the state machine runs it takes nothing: reads give status. A
    // driver that writes now waits from now.
    if (busy(now)) {
        s_.timedFromNs = now;
        return;
    }
    switch (s_.mode) {
    case Mode::ReadArray:
    case Mode::ReadStatus:
        command(word, value, now);
        break;
    case Mode::EraseSetup:
        if (value == CMD_CONFIRM && blockOf(word) == s_.sequenceBlock) startErase(now);
        else sequenceError();
        break;
    case Mode::BufferCount:
        if (value >= kBufferWords || blockOf(word) != s_.sequenceBlock) {
            sequenceError();
            break;
        }
        s_.count = value + 1u;
        s_.filled = 0;
        s_.window = kNoWindow;
        s_.mode = Mode::BufferData;
        break;
    case Mode::BufferData:
        // The buffer covers one aligned 32-byte window of the block the
        // sequence began in; the first data word picks the window.
        if (s_.filled == 0) s_.window = word / kBufferWords;
        if (word / kBufferWords != s_.window || blockOf(word) != s_.sequenceBlock) {
            sequenceError();
            break;
        }
        s_.data[s_.filled] = value;
        s_.dataWord[s_.filled] = word;
        if (++s_.filled == s_.count) s_.mode = Mode::BufferConfirm;
        break;
    case Mode::BufferConfirm:
        if (value == CMD_CONFIRM && blockOf(word) == s_.sequenceBlock) startProgram(now);
        else sequenceError();
        break;
    case Mode::WordData:
        // The word written is programmed where it is written, as a buffer of
        // one word would be.
        s_.sequenceBlock = blockOf(word);
        s_.refused = 0;
        s_.data[0] = value;
        s_.dataWord[0] = word;
        s_.filled = 1;
        startProgram(now);
        break;
    }
}

void Device::command(uint32_t word, uint16_t value, uint64_t now) {
    switch (value) {
    case CMD_READ_ARRAY:
        s_.mode = Mode::ReadArray;
        break;
    case CMD_READ_STATUS:
        s_.mode = Mode::ReadStatus;
        break;
    case CMD_CLEAR_STATUS:
        s_.status &= static_cast<uint16_t>(~SR_ERRORS);
        break;
    case CMD_ERASE_SETUP:
        s_.sequenceBlock = blockOf(word);
        s_.mode = Mode::EraseSetup;
        break;
    case CMD_WRITE_TO_BUFFER:
        // With a program or erase error standing the sequence is taken but
        // nothing will be programmed. A buffer program is timed from here.
        s_.timedFromNs = now;
        s_.sequenceBlock = blockOf(word);
        s_.refused = (s_.status & SR_SEQUENCE_ERROR) != 0;
        s_.count = 0;
        s_.filled = 0;
        s_.mode = Mode::BufferCount;
        break;
    case CMD_WORD_PROGRAM:
    case CMD_WORD_PROGRAM_ALT:
        // Timed from here, like a buffer program. The word is programmed
        // whatever error bits stand.
        s_.timedFromNs = now;
        s_.mode = Mode::WordData;
        break;
    default:
        // A command these parts don't know is a broken sequence.
        sequenceError();
        break;
    }
}

void Device::sequenceError() {
    s_.status |= SR_SEQUENCE_ERROR;
    s_.mode = Mode::ReadStatus;
    s_.count = 0;
    s_.filled = 0;
    s_.window = kNoWindow;
}

void Device::startErase(uint64_t now) {
    const uint32_t block = s_.sequenceBlock;
    const uint8_t faults = c_.blockFaults[block];
    s_.mode = Mode::ReadStatus;
    s_.timedFromNs = now;  // an erase is timed from its confirm
    s_.busyUntilNs = (faults & FAULT_STUCK_BUSY) ? kForever : now + c_.eraseNs;
    if (faults & FAULT_LOCKED) {
        s_.pendingStatus = SR_LOCKED | SR_ERASE_ERROR;
    } else if (faults & FAULT_LOW_VOLTAGE) {
        s_.pendingStatus = SR_VPP_LOW | SR_ERASE_ERROR;
    } else if (faults & FAULT_ERASE_FAILS) {
        s_.pendingStatus = SR_ERASE_ERROR;
    } else if (!(faults & FAULT_STUCK_BUSY)) {
        eraseCells(block);
        // A cell stuck at 0 fails the erase verify.
        for (const StuckBit &bit : *c_.stuck) {
            if (blockOf(bit.word) != block) continue;
            setCell(bit.word, static_cast<uint16_t>(cell(bit.word) & ~bit.mask));
            s_.pendingStatus = SR_ERASE_ERROR;
        }
    }
}

void Device::startProgram(uint64_t now) {
    const uint8_t faults = c_.blockFaults[s_.sequenceBlock];
    const uint32_t filled = s_.filled;
    s_.mode = Mode::ReadStatus;
    s_.count = 0;
    s_.filled = 0;
    s_.window = kNoWindow;
    if (s_.refused) {
        s_.status |= SR_PROGRAM_ERROR;
        return;
    }
    s_.busyUntilNs = (faults & FAULT_STUCK_BUSY) ? kForever : now + c_.programNs;
    if (faults & FAULT_LOCKED) {
        s_.pendingStatus = SR_LOCKED | SR_PROGRAM_ERROR;
    } else if (faults & FAULT_LOW_VOLTAGE) {
        s_.pendingStatus = SR_VPP_LOW | SR_PROGRAM_ERROR;
    } else if (faults & FAULT_PROGRAM_FAILS) {
        s_.pendingStatus = SR_PROGRAM_ERROR;
    } else if (!(faults & FAULT_STUCK_BUSY)) {
        // Programming can only clear bits.
        for (uint32_t i = 0; i < filled; ++i)
            setCell(s_.dataWord[i], static_cast<uint16_t>(cell(s_.dataWord[i]) & s_.data[i]));
    }
}

}  // namespace board::flash
