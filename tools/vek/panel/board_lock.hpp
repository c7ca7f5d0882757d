// One panel owns a board at a time: a lock file per board, held while the
// board is open and released by the system when the process ends, however
// it ends.
#pragma once

#include <memory>
#include <string>

namespace vektool::panel {

class BoardLock {
public:
    // Takes the board named `key` (its backend and port path) for this
    // process and writes `owner` into the lock file; nullptr when another
    // process holds it, with what it wrote there in `holder`.
    static std::unique_ptr<BoardLock> take(const std::string &key, const std::string &owner, std::string &holder);
    ~BoardLock();
    BoardLock(const BoardLock &) = delete;
    BoardLock &operator=(const BoardLock &) = delete;

private:
    BoardLock() = default;
    std::string path_;
#ifdef _WIN32
    void *file_ = nullptr;
#else
    int fd_ = -1;
#endif
};

}  // namespace vektool::panel
