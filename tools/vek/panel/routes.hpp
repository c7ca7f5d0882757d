// The panel's HTTP face: its page, its JSON calls and the trace stream, on
// one server, every request through the gate first.
#pragma once

#include <atomic>
#include <string>

#include <httplib.h>

#include "panel/session.hpp"

namespace vektool::panel {

struct ServedPanel {
    Session &session;
    std::string token;
    int port;
    const std::atomic<bool> &stopping;  // ends the trace streams
};

// Uploads larger than this are refused (413): a 1920 x 1080 image of 16-bit
// colour channels is 12 MiB.
constexpr std::size_t kUploadLimit = 32u << 20;

void serve(httplib::Server &server, const ServedPanel &panel);

}  // namespace vektool::panel
