// The protocol tables as the name lookups of vek_names.h hand them out: the
// name entries of the commands (commands.cpp), the inquiries and the board
// types (inquiry.cpp), in ascending order of number. The register map is in
// protocol/registers.h, the result codes in names.cpp.
#pragma once

#include <span>

#include "vek_names.h"

namespace vek {

std::span<const VekNameEntry> CommandEntries();
std::span<const VekNameEntry> InquiryEntries();
std::span<const VekNameEntry> BoardTypeEntries();

}  // namespace vek
