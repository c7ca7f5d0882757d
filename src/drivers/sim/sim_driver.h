// The in-process front of the virtual board: a USB driver (a BackendOps table,
// drivers/backend.h) answering every request code of the
// driver interface for the boards attached here, each backed by a BoardModel.
#pragma once

#include <cstdint>
#include <memory>

#include "drivers/sim/board_model.h"

namespace vek::sim {

class SimBoard;

// Attaches a board with these descriptors and driver values: registers it
// with the platform (listed after the boards already attached). Returns its
// id, or -1.
int AttachBoard(BoardSetup setup);
// Unplugs the board (if still attached) and forgets its id. False for an unknown id.
bool DetachBoard(int id);
// Detaches and forgets every board; ids start again at 0; the trace is cleared.
void DetachAllBoards();
// The model of a known board (attached or unplugged by a fault), or null.
std::shared_ptr<BoardModel> FindModel(int id);
// 1 attached, 0 unplugged by a detach fault, -1 unknown.
int BoardState(int id);

// Driver values of the virtual driver.
inline constexpr uint32_t kDriverVersion = 0x01000300;
inline constexpr uint32_t kStackVersion = 0x00000600;

}  // namespace vek::sim
