// What every protocol table shares: its rows carry a VekNameEntry (number,
// name, meaning, value word) that the name lookups of vek_names.h hand out,
// in ascending order of number, each number once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "vek_names.h"

namespace vek {

// The name entries of a table whose rows hold theirs in `entry`, as one array
// (the lookups return pointers into it).
template <typename Row, std::size_t N>
constexpr std::array<VekNameEntry, N> EntriesOf(const Row (&rows)[N]) {
    std::array<VekNameEntry, N> entries{};
    for (std::size_t i = 0; i < N; ++i) entries[i] = rows[i].entry;
    return entries;
}

// Numbers strictly ascending and names unique: checked when compiling each table.
template <typename Entries>
constexpr bool WellOrdered(const Entries &entries) {
    for (std::size_t i = 1; i < std::size(entries); ++i)
        if (entries[i - 1].number >= entries[i].number) return false;
    for (std::size_t i = 0; i < std::size(entries); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (std::string_view(entries[i].name) == entries[j].name) return false;
    return true;
}

// The row of `number` in a table whose rows hold their entry in `entry`;
// nullptr when the table has none.
template <typename Row, std::size_t N>
const Row *FindRow(const Row (&rows)[N], uint32_t number) {
    for (const Row &row : rows)
        if (row.entry.number == number) return &row;
    return nullptr;
}

}  // namespace vek
