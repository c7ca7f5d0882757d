/**
 * @file vek_registers.h
 * @brief A register read that also gives the address the board's
 * reply names, so that a caller can tell a stale reply from its own.
 *
 * Every read reply on endpoint 0x86 starts with the address of the register
 * it answers. VekDevRReg and VekReadReg return only the value: one reply
 * that nobody asked for (left queued on 0x86) is then taken by the next read
 * as its own, and every later read returns the register before it, until the
 * board is reset.
 */
#ifndef VEK_REGISTERS_H
#define VEK_REGISTERS_H

#include "vek_dll.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * VekDevRReg (the same gate, lock and traffic) that also gives the address
 * word of the reply. The board sends the register address without bit 31, so
 * a reply to this read has `*echoedAddress == (address & 0x7FFFFFFF)`; any
 * other address means the reply answered an earlier request.
 *
 * @param handle        from VekDevAlloc.
 * @param address       register address.
 * @param value         receives the reply's value.
 * @param echoedAddress receives the reply's address word.
 * @return DEV_OK; DEV_ERR_NULL_ARGUMENT; DEV_ERR_BUSY; DEV_ERR_TRANSFER
 *         (on a failure neither output is written).
 */
VEK_API uint32_t VEK_CALL VekDevRRegEcho(DeviceHandle *handle, uint32_t address, uint32_t *value, uint32_t *echoedAddress);

#ifdef __cplusplus
}
#endif

#endif /* VEK_REGISTERS_H */
