#include "drivers/libusb/board_ids.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>

namespace vek::usbdrv {
namespace {

// The VEK board's firmware identifies itself with these ids (the virtual
// board uses the same ones).
constexpr std::array<UsbId, 1> kBuiltIn = {{{0x1209, 0x7E40}}};

bool ParseHex16(std::string_view text, uint16_t &value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    if (text.empty() || text.size() > 4) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        v = v * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                                                     : std::tolower(c) - 'a' + 10);
    }
    value = static_cast<uint16_t>(v);
    return true;
}

}  // namespace

std::span<const UsbId> BuiltInBoardIds() { return kBuiltIn; }

std::vector<UsbId> ParseUsbIds(const char *text, std::string *rejected) {
    std::vector<UsbId> ids;
    if (text == nullptr) return ids;
    std::string_view rest(text);
    while (!rest.empty()) {
        size_t end = rest.find_first_of(",; \t\n");
        std::string_view item = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        if (item.empty()) continue;
        size_t colon = item.find(':');
        UsbId id{};
        if (colon != std::string_view::npos && ParseHex16(item.substr(0, colon), id.vendor) &&
            ParseHex16(item.substr(colon + 1), id.product)) {
            if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
        } else if (rejected != nullptr) {
            if (!rejected->empty()) *rejected += ",";
            *rejected += item;
        }
    }
    return ids;
}

std::vector<UsbId> KnownBoardIds() {
    std::vector<UsbId> ids(kBuiltIn.begin(), kBuiltIn.end());
    for (const UsbId &id : ParseUsbIds(std::getenv("VEK_USB_IDS")))
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    return ids;
}

bool HasBoardEndpointLayout(std::span<const EndpointInfo> endpoints) {
    auto hasBulk = [&](uint8_t address) {
        return std::any_of(endpoints.begin(), endpoints.end(), [&](const EndpointInfo &e) {
            return e.address == address && (e.attributes & 3) == 2;
        });
    };
    return hasBulk(0x02) && hasBulk(0x04) && hasBulk(0x86);
}

}  // namespace vek::usbdrv
