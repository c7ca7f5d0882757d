// The C interface of the virtual board (include/vek_sim.h).

#include <iterator>
#include <cstdio>
#include <cstring>
#include <string>

#include "drivers/sim/sim_driver.h"
#include "drivers/sim/trace.h"
#include "drivers/backend.h"
#include "vek_sim.h"

using vek::sim::BoardModel;
using vek::sim::BoardSetup;
using vek::sim::Bytes;
using vek::sim::FindModel;
using vek::sim::Trace;

// The header's enum and the model's fault kinds are one list.
static_assert(std::size(vek::sim::kFaultKinds) == VEK_SIM_FAULT_DETACH + 1);
static_assert(static_cast<int>(vek::sim::Fault::None) == VEK_SIM_FAULT_NONE);
static_assert(static_cast<int>(vek::sim::Fault::Stall) == VEK_SIM_FAULT_STALL);
static_assert(static_cast<int>(vek::sim::Fault::FailAtIssue) == VEK_SIM_FAULT_FAIL_AT_ISSUE);
static_assert(static_cast<int>(vek::sim::Fault::StayPending) == VEK_SIM_FAULT_STAY_PENDING);
static_assert(static_cast<int>(vek::sim::Fault::Short) == VEK_SIM_FAULT_SHORT);
static_assert(static_cast<int>(vek::sim::Fault::Detach) == VEK_SIM_FAULT_DETACH);

namespace {

std::string OrDefault(const char *text, const char *fallback) { return text != nullptr ? text : fallback; }

std::string DefaultSerial() {
    static int serial = 0;
    char text[16];
    std::snprintf(text, sizeof text, "VEKSIM%04d", ++serial % 10000);
    return text;
}

void DefaultIdentity(BoardSetup &setup, const char *deviceName, const char *friendlyName, uint32_t boardType) {
    static int address = 0;
    setup.identity.deviceName = OrDefault(deviceName, vek::sim::kDefaultDeviceNamePrefix);
    setup.identity.friendlyName = OrDefault(friendlyName, vek::sim::kDefaultFriendlyName);
    setup.identity.boardType = boardType;
    setup.identity.busAddress = static_cast<uint8_t>(address++ % 127 + 1);
}

}  // namespace

extern "C" {

VEK_API int VEK_CALL VekSimAttach(const VekSimBoardConfig *config) {
    if (config != nullptr && config->size < sizeof(VekSimBoardConfig)) return -1;
    BoardSetup setup;
    setup.descriptors = vek::sim::VekBoardDescriptors(
        OrDefault(config ? config->manufacturer : nullptr, vek::sim::kDefaultManufacturer), vek::sim::kDefaultProduct,
        DefaultSerial());
    DefaultIdentity(setup, config ? config->deviceName : nullptr, nullptr, config ? config->boardTypeRegister : 0);
    return vek::sim::AttachBoard(std::move(setup));
}

VEK_API int VEK_CALL VekSimAttachCustom(const VekSimDeviceConfig *c) {
    if (c == nullptr || c->size < sizeof(VekSimDeviceConfig)) return -1;
    BoardSetup setup;
    setup.descriptors = vek::sim::VekBoardDescriptors(OrDefault(c->manufacturer, vek::sim::kDefaultManufacturer),
                                                      OrDefault(c->product, vek::sim::kDefaultProduct),
                                                      c->serialNumber ? std::string(c->serialNumber) : DefaultSerial());
    vek::sim::DescriptorSet &d = setup.descriptors;
    if (c->deviceDescriptor != nullptr)
        d.device.assign(c->deviceDescriptor, c->deviceDescriptor + c->deviceDescriptorLength);
    if (c->configurationCount > 0) {
        if (c->configurations == nullptr || c->configurationLengths == nullptr) return -1;
        d.configurations.clear();
        for (uint32_t i = 0; i < c->configurationCount; ++i) {
            const uint8_t *blob = c->configurations[i];
            d.configurations.emplace_back(blob, blob == nullptr ? blob : blob + c->configurationLengths[i]);
        }
    }
    if (c->bos != nullptr) d.bos.assign(c->bos, c->bos + c->bosLength);
    if (c->stringCount > 0) {
        if (c->strings == nullptr || c->stringLengths == nullptr) return -1;
        d.strings.clear();
        for (uint32_t i = 0; i < c->stringCount && i < 256; ++i) {
            if (c->strings[i] != nullptr)
                d.strings[static_cast<uint8_t>(i)] = Bytes(c->strings[i], c->strings[i] + c->stringLengths[i]);
        }
    }
    DefaultIdentity(setup, c->deviceName, c->friendlyName, c->boardTypeRegister);
    if (c->speed != 0) setup.identity.speed = c->speed;
    setup.identity.altSetting = static_cast<uint8_t>(c->altSetting);
    return vek::sim::AttachBoard(std::move(setup));
}

VEK_API int VEK_CALL VekSimDetach(int board) { return vek::sim::DetachBoard(board) ? 0 : -1; }

VEK_API void VEK_CALL VekSimDetachAll(void) { vek::sim::DetachAllBoards(); }

VEK_API int VEK_CALL VekSimAttached(int board) { return vek::sim::BoardState(board); }

VEK_API int VEK_CALL VekSimGetRegister(int board, uint32_t address, uint32_t *value) {
    auto model = FindModel(board);
    if (!model || value == nullptr) return -1;
    *value = model->GetRegister(address);
    return 0;
}

VEK_API int VEK_CALL VekSimSetRegister(int board, uint32_t address, uint32_t value) {
    auto model = FindModel(board);
    if (!model) return -1;
    model->SetRegister(address, value);
    return 0;
}

VEK_API int VEK_CALL VekSimReadMemory(int board, uint32_t byteAddress, void *out, uint32_t length) {
    auto model = FindModel(board);
    if (!model || (out == nullptr && length > 0)) return -1;
    model->ReadMemory(byteAddress, out, length);
    return 0;
}

VEK_API int VEK_CALL VekSimWriteMemory(int board, uint32_t byteAddress, const void *data, uint32_t length) {
    auto model = FindModel(board);
    if (!model || (data == nullptr && length > 0)) return -1;
    model->WriteMemory(byteAddress, data, length);
    return 0;
}

VEK_API int VEK_CALL VekSimReadControllerRam(int board, uint32_t address, void *out, uint32_t length) {
    auto model = FindModel(board);
    if (!model || (out == nullptr && length > 0)) return -1;
    return model->ReadControllerRam(address, out, length) ? 0 : -1;
}

VEK_API int VEK_CALL VekSimWriteControllerRam(int board, uint32_t address, const void *data, uint32_t length) {
    auto model = FindModel(board);
    if (!model || (data == nullptr && length > 0)) return -1;
    return model->WriteControllerRam(address, data, length) ? 0 : -1;
}

VEK_API int VEK_CALL VekSimControllerHeld(int board) {
    auto model = FindModel(board);
    if (!model) return -1;
    return model->ControllerHeld() ? 1 : 0;
}

VEK_API int VEK_CALL VekSimQueueInData(int board, uint32_t endpointAddress, const void *data, uint32_t length) {
    auto model = FindModel(board);
    if (!model || (endpointAddress & 0x80u) == 0 || endpointAddress > 0xFF || (data == nullptr && length > 0))
        return -1;
    model->QueueIn(static_cast<uint8_t>(endpointAddress), static_cast<const uint8_t *>(data), length);
    return 0;
}

VEK_API int VEK_CALL VekSimReadOutData(int board, uint32_t endpointAddress, void *out, uint32_t length) {
    auto model = FindModel(board);
    if (!model || endpointAddress > 0x7F || (out == nullptr && length > 0)) return -1;
    return static_cast<int>(model->TakeOut(static_cast<uint8_t>(endpointAddress), static_cast<uint8_t *>(out),
                                           std::min(length, 0x7FFFFFFFu)));
}

VEK_API void VEK_CALL VekSimSetVirtualClock(int enabled) { vek::platform::SetVirtualClock(enabled != 0); }

VEK_API int VEK_CALL VekSimVirtualClock(void) { return vek::platform::VirtualClockEnabled() ? 1 : 0; }

VEK_API uint64_t VEK_CALL VekSimClockMs(void) { return vek::platform::ClockMs(); }

VEK_API int VEK_CALL VekSimInjectFault(int board, uint32_t endpointAddress, uint32_t nthRequest, int kind) {
    auto model = FindModel(board);
    if (!model || nthRequest == 0 || kind == VEK_SIM_FAULT_NONE || VekSimFaultName(kind) == nullptr) return -1;
    if (endpointAddress != VEK_SIM_ANY_ENDPOINT && endpointAddress > 0xFF) return -1;
    model->InjectFault(endpointAddress, nthRequest, static_cast<vek::sim::Fault>(kind));
    return 0;
}

VEK_API int VEK_CALL VekSimClearFaults(int board) {
    auto model = FindModel(board);
    if (!model) return -1;
    model->ClearFaults();
    return 0;
}

VEK_API int64_t VEK_CALL VekSimRequestCount(int board, uint32_t endpointAddress) {
    auto model = FindModel(board);
    if (!model) return -1;
    return static_cast<int64_t>(model->RequestCount(endpointAddress));
}

VEK_API uint32_t VEK_CALL VekSimTraceCount(void) { return static_cast<uint32_t>(Trace::Instance().Count()); }

VEK_API int VEK_CALL VekSimTraceGet(uint32_t index, VekSimTraceEntry *entry) {
    return Trace::Instance().Get(index, entry) ? 0 : -1;
}

VEK_API void VEK_CALL VekSimTraceClear(void) { Trace::Instance().Clear(); }

VEK_API void VEK_CALL VekSimTraceEnable(int enabled) { Trace::Instance().Enable(enabled != 0); }

VEK_API uint32_t VEK_CALL VekSimTraceText(char *out, uint32_t size) {
    const std::string text = Trace::Instance().Text();
    if (out != nullptr && size > 0) {
        const size_t n = std::min<size_t>(text.size(), size - 1);
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return static_cast<uint32_t>(text.size());
}

}  // extern "C"

VEK_API const VekNameEntry *VEK_CALL VekSimFaultAt(uint32_t index) {
    return index < std::size(vek::sim::kFaultKinds) ? &vek::sim::kFaultKinds[index] : nullptr;
}

VEK_API const char *VEK_CALL VekSimFaultName(int kind) {
    const VekNameEntry *entry = kind >= 0 ? VekSimFaultAt(static_cast<uint32_t>(kind)) : nullptr;
    return entry != nullptr ? entry->name : nullptr;
}
