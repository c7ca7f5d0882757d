// The virtual driver's registry of boards: attach, detach, lookup; each board
// is registered with the request decoder under the operations of
// sim_requests.cpp.
#include "drivers/sim/sim_driver.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "drivers/sim/sim_board.h"
#include "drivers/sim/trace.h"

namespace vek::sim {

namespace {

// ---- Registry of boards ----------------------------------------------------------------

std::mutex gBoardsMutex;
std::map<int, std::shared_ptr<SimBoard>> gBoards;
int gNextId = 0;

void RecordPause(uint32_t milliseconds) {
    VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_PAUSE, -1);
    e.value = milliseconds;
    Trace::Instance().Record(e);
}

std::shared_ptr<SimBoard> Find(int id) {
    std::lock_guard lock(gBoardsMutex);
    auto it = gBoards.find(id);
    return it == gBoards.end() ? nullptr : it->second;
}

}  // namespace

int AttachBoard(BoardSetup setup) {
    if (setup.identity.speed == 0) {
        const Bytes &d = setup.descriptors.device;
        const unsigned bcd = d.size() >= 4 ? d[2] | d[3] << 8 : 0x0200;
        setup.identity.speed = bcd >= 0x0300 ? kSpeedSuper : kSpeedHigh;
    }
    std::shared_ptr<SimBoard> board;
    {
        std::lock_guard lock(gBoardsMutex);
        board = std::make_shared<SimBoard>(gNextId++, std::move(setup));
        gBoards[board->id] = board;
    }
    const Bytes &device = board->model->Setup().descriptors.device;
    const unsigned vid = device.size() >= 10 ? device[8] | device[9] << 8 : 0;
    const unsigned pid = device.size() >= 12 ? device[10] | device[11] << 8 : 0;
    board->path = drivers::InterfacePath(static_cast<uint16_t>(vid), static_cast<uint16_t>(pid),
                                         "vek-sim-" + std::to_string(board->id));
    SimBoard *raw = board.get();
    board->model->SetInListener([raw](uint8_t) { ServePending(*raw); });
    platform::SetSleepObserver(&RecordPause);
    Trace::Instance().Record(MakeEntry(VEK_SIM_TRACE_ATTACH, board->id));
    board->registration = drivers::RegisterDevice(board->path.c_str(), &kBoardOps, raw);
    if (board->registration == 0) {
        std::lock_guard lock(gBoardsMutex);
        gBoards.erase(board->id);
        return -1;
    }
    return board->id;
}

bool DetachBoard(int id) {
    std::shared_ptr<SimBoard> board;
    {
        std::lock_guard lock(gBoardsMutex);
        auto it = gBoards.find(id);
        if (it == gBoards.end()) return false;
        board = it->second;
        gBoards.erase(it);
    }
    Unplug(*board);
    return true;
}

void DetachAllBoards() {
    std::map<int, std::shared_ptr<SimBoard>> boards;
    {
        std::lock_guard lock(gBoardsMutex);
        boards.swap(gBoards);
        gNextId = 0;
    }
    for (auto &[id, board] : boards) Unplug(*board);
    platform::SetSleepObserver(nullptr);
    Trace::Instance().Clear();
    Trace::Instance().Enable(true);
}

std::shared_ptr<BoardModel> FindModel(int id) {
    std::shared_ptr<SimBoard> board = Find(id);
    if (!board) return nullptr;
    // The model keeps its board alive while the caller holds it: its IN
    // listener points at the board.
    return std::shared_ptr<BoardModel>(board, board->model.get());
}

int BoardState(int id) {
    std::shared_ptr<SimBoard> board = Find(id);
    if (!board) return -1;
    std::lock_guard lock(board->mutex);
    return board->attached ? 1 : 0;
}

}  // namespace vek::sim
