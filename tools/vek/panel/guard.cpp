#include "panel/guard.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>

namespace vektool::panel {

std::string newToken() {
    std::random_device entropy;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(entropy()));
        token += part;
    }
    return token;
}

bool sameSecret(const std::string &a, const std::string &b) {
    if (a.empty() || a.size() != b.size()) return false;  // a token's length is no secret
    unsigned diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string cookieValue(const std::string &cookieHeader, const std::string &name) {
    std::size_t at = 0;
    while (at < cookieHeader.size()) {
        std::size_t end = cookieHeader.find(';', at);
        if (end == std::string::npos) end = cookieHeader.size();
        std::size_t start = cookieHeader.find_first_not_of(' ', at);
        if (start < end && cookieHeader.compare(start, name.size() + 1, name + "=") == 0)
            return cookieHeader.substr(start + name.size() + 1, end - start - name.size() - 1);
        at = end + 1;
    }
    return "";
}

namespace {

// "127.0.0.1", "[::1]", "localhost": names no other site can take over.
bool isLiteralHost(const std::string &name) {
    if (name == "localhost") return true;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        return name.find_first_not_of("0123456789abcdefABCDEF:.", 1) == name.size() - 1;
    return !name.empty() && std::all_of(name.begin(), name.end(),
                                        [](char c) { return c == '.' || std::isdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

std::string refusalOf(const std::string &host, const std::string &origin, const std::string &fetchSite, int port) {
    const std::string suffix = ":" + std::to_string(port);
    if (host.size() <= suffix.size() || host.compare(host.size() - suffix.size(), suffix.size(), suffix) != 0 ||
        !isLiteralHost(host.substr(0, host.size() - suffix.size())))
        return "the Host header must name this panel by its address and port";
    if (!origin.empty() && origin != "http://" + host) return "requests from another site are refused";
    if (!fetchSite.empty() && fetchSite != "same-origin" && fetchSite != "none")
        return "requests from another site are refused";
    return "";
}

}  // namespace vektool::panel
