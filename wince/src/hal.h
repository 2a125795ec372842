// Internals of the host's adaptation layer.
#pragma once

#include "board/board.h"

namespace wince {

// Control codes of the board's own adaptation layer (device type HAL,
// functions 2052 and 2051, buffered, any access).
constexpr DWORD kIoctlOemClearRegistry = 0x01012010;
constexpr DWORD kIoctlOemBoardInfo = 0x0101200C;

// Exit code of a program whose board was rebooted under it.
constexpr int kRebootExitCode = 64;

// Requests a reboot: logged; with the board's default setting the program
// ends there, as on a real board, after the hardware's power-up hooks
// (powerUpHooks in wince/host.h) ran.
void rebootBoard();

}  // namespace wince
