// A stable sort of items by a 64-bit key, in time linear in their number: the
// readers' records by identifier, so that their dicts can be filled in
// ascending order.
#pragma once

#include <cstdint>

#include "interrupt.hpp"
#include "page_array.hpp"

namespace tilu {

// An item (a pointer the sort does not look at) under its key.
struct Keyed {
    std::uint64_t key;
    void* item;
};

// Sorts `items` by key, keeping items with equal keys in their order: a radix
// sort on the digits in which the keys differ (two passes for a model's
// identifiers), through a second array of the same size. Calls `countdown`
// for every item moved; what it throws leaves `items` a permutation of
// what it was.
void sort_by_key(PageArray<Keyed>& items, InterruptCountdown& countdown);

}  // namespace tilu
