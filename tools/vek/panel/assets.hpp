// The page's files, built into the tool (web/, embedded at build time), so
// the panel needs nothing beside the binary and fetches nothing at run time.
#pragma once

#include <cstddef>
#include <string>

namespace vektool::panel {

struct Asset {
    const char *path;  // "/panel.js"
    const char *type;  // "text/javascript; charset=utf-8"
    const unsigned char *data;
    std::size_t size;
};

// The asset served at `path` ("/" is the page), or nullptr.
const Asset *findAsset(const std::string &path);

}  // namespace vektool::panel
