// Files the library reads and writes: which names it may open, and writes
// that leave either the whole new content or nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vek::platform {

// Whether the name is a regular file (after symbolic links). A FIFO, a
// directory, a device node or a missing name is not. Only the file system is
// asked: nothing is opened, so the answer never waits on a writer.
bool IsRegularFile(const char *name);

// Reads the whole content of the file named name into bytes, when it is a
// regular file of at most limit bytes. The name is opened once, without
// waiting (a FIFO's open would wait for a writer), and the open file itself
// is checked and read: a name swapped for another kind of node between a
// check and the read cannot make the read wait or run without end. False,
// with bytes empty, for anything else.
bool ReadRegularFile(const char *name, std::vector<uint8_t> &bytes, size_t limit = SIZE_MAX);

// Makes the bytes the whole content of the file named path, checking every
// step (a full disk may show only when the file is flushed or closed). A
// write that fails removes the file: no partial content is left under the
// name. The file is written under its own name (no temporary name beside it
// that could pass the path length the name was checked against). A name
// that exists and is not a regular file is not written.
bool WriteWholeFile(const char *path, const void *data, size_t size);

}  // namespace vek::platform
