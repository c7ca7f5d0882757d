// The panel's gate: which requests may reach the board. Pure functions of
// the request's headers, so every rule is one place and testable alone.
#pragma once

#include <string>

namespace vektool::panel {

// A fresh random token: 32 hex digits (128 bits).
std::string newToken();

// Equal strings, compared in a time that does not depend on where they differ.
bool sameSecret(const std::string &a, const std::string &b);

// The value of cookie `name` in a Cookie header ("" when absent).
std::string cookieValue(const std::string &cookieHeader, const std::string &name);

// Why a request is refused before its token is looked at ("" when it may go
// on): its Host must name this panel by an IP literal or "localhost" with
// the panel's port (a DNS name pointing here is a rebinding attack), and a
// browser's Origin or Sec-Fetch-Site must say the page itself sent it.
std::string refusalOf(const std::string &host, const std::string &origin, const std::string &fetchSite, int port);

}  // namespace vektool::panel
