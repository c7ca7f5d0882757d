// The virtual driver's record of an attached board, shared by its requests
// (sim_requests.cpp) and its registry of boards (sim_driver.cpp).
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "drivers/backend.h"
#include "drivers/sim/board_model.h"
#include "drivers/sim/sim_driver.h"

namespace vek::sim {

class SimBoard;

// One open instance of a board's driver.
struct OpenInstance {
    std::shared_ptr<SimBoard> board;
};

// A request that has not ended yet. Its buffers are the caller's, valid until
// it is completed.
struct Pending {
    OpenInstance *owner = nullptr;
    drivers::Transfer transfer;
    uint32_t code = 0;  // for the trace
    uint32_t packetSize = 0;
    bool isochronous = false;
    bool waitsForData = false;  // an IN request that data can end; otherwise only abort/detach
};

class SimBoard : public std::enable_shared_from_this<SimBoard> {
public:
    SimBoard(int id, BoardSetup setup) : id(id), model(std::make_shared<BoardModel>(id, std::move(setup))) {}

    const int id;
    const std::shared_ptr<BoardModel> model;
    uint64_t registration = 0;
    std::string path;

    std::mutex mutex;
    bool attached = true;
    std::list<Pending> pending;
};

// The board's operations in the device registry.
extern const drivers::BackendOps kBoardOps;
// Serves waiting IN requests in order, per pipe, as far as data allows.
void ServePending(SimBoard &board);
// Unplugs a board: leaves enumeration, ends every pending request.
void Unplug(SimBoard &board);

}  // namespace vek::sim
