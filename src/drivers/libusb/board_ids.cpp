#include "drivers/libusb/board_ids.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace vek::usbdrv {
namespace {

// The virtual board's ids, from the project's own test range; no real board's
// ids are known to be built in (docs/real-boards-linux.md).
constexpr std::array<UsbId, 1> kBuiltIn = {{{0x1209, 0x7E40}}};

bool ParseHex16(std::string_view text, uint16_t &value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    if (text.empty() || text.size() > 4) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        v = v * 16 +
            static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10);
    }
    value = static_cast<uint16_t>(v);
    return true;
}

}  // namespace

std::span<const UsbId> BuiltInBoardIds() { return kBuiltIn; }

std::vector<UsbId> ParseUsbIds(const char *text, std::string *rejected) {
    std::vector<UsbId> ids;
    std::set<std::pair<uint16_t, uint16_t>> seen;
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
            if (seen.insert({id.vendor, id.product}).second) ids.push_back(id);
        } else if (rejected != nullptr) {
            if (!rejected->empty()) *rejected += ",";
            *rejected += item;
        }
    }
    return ids;
}

std::shared_ptr<const KnownIds> ReadKnownIds() {
    static std::mutex mutex;
    static std::string boardsText, loadersText;
    static std::shared_ptr<const KnownIds> known;
    const char *boardsVar = std::getenv("VEK_USB_IDS");
    const char *loadersVar = std::getenv("VEK_USB_LOADER_IDS");
    const std::string boards = boardsVar != nullptr ? boardsVar : "", loaders = loadersVar != nullptr ? loadersVar : "";
    std::lock_guard lock(mutex);
    if (known != nullptr && boards == boardsText && loaders == loadersText) return known;
    auto fresh = std::make_shared<KnownIds>();
    fresh->boards.assign(kBuiltIn.begin(), kBuiltIn.end());
    for (const UsbId &id : ParseUsbIds(boards.c_str()))
        if (std::find(kBuiltIn.begin(), kBuiltIn.end(), id) == kBuiltIn.end()) fresh->boards.push_back(id);
    fresh->loaders = ParseUsbIds(loaders.c_str());
    boardsText = boards;
    loadersText = loaders;
    known = std::move(fresh);
    return known;
}

bool IsBoardProduct(const char *product) { return product != nullptr && std::strncmp(product, "VEK4.0", 6) == 0; }

Recognition Recognise(const KnownIds &known, UsbId id, const char *product) {
    auto listed = [&](const std::vector<UsbId> &ids) { return std::find(ids.begin(), ids.end(), id) != ids.end(); };
    if (IsBoardProduct(product)) return Recognition::Board;
    if (product == nullptr && listed(known.boards)) return Recognition::AskDevice;
    return listed(known.loaders) ? Recognition::WaitingForFirmware : Recognition::Foreign;
}

}  // namespace vek::usbdrv
