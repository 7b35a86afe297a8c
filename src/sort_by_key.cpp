// The radix sort of sort_by_key.hpp.
#include "sort_by_key.hpp"

#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

namespace tilu {

namespace {

// One pass: the n items of `src` into `dst`, ordered by the digit of
// key - low at `shift`, stably.
void radix_pass(const Keyed* src, Keyed* dst, std::size_t n, std::uint64_t low, int shift, std::uint64_t mask,
                std::vector<std::size_t>& start, InterruptCountdown& countdown) {
    std::fill(start.begin(), start.end(), 0);
    for (std::size_t i = 0; i < n; ++i) ++start[((src[i].key - low) >> shift) & mask];
    std::size_t sum = 0;
    for (std::size_t& s : start) sum += std::exchange(s, sum);
    for (std::size_t i = 0; i < n; ++i) {
        if ((i & 4095) == 0) countdown(4096 * InterruptCountdown::kEntry);
        dst[start[((src[i].key - low) >> shift) & mask]++] = src[i];
    }
}

}  // namespace

void sort_by_key(PageArray<Keyed>& items, InterruptCountdown& countdown) {
    const std::size_t n = items.size();
    if (n < 2) return;
    const Keyed* in = items.data();
    std::uint64_t low = in[0].key, high = in[0].key;
    bool sorted = true;
    for (std::size_t i = 1; i < n; ++i) {
        low = std::min(low, in[i].key);
        high = std::max(high, in[i].key);
        sorted = sorted && in[i - 1].key <= in[i].key;
    }
    countdown(n * InterruptCountdown::kEntry);
    if (sorted) return;

    // Digits of at most 12 bits of key - low (4096 counters, which stay in the
    // first-level cache), in as few passes as its width needs.
    const int width = std::bit_width(high - low);
    const int passes = (width + 11) / 12;
    const int digit_bits = (width + passes - 1) / passes;
    const std::uint64_t mask = (std::uint64_t{1} << digit_bits) - 1;
    std::vector<std::size_t> start(std::size_t{1} << digit_bits);

    PageArray<Keyed> other;
    other.extend(n);
    // Each pass reads one array whole and writes the other; the one read
    // holds every item once, and is what `items` keeps if the countdown
    // throws.
    bool in_items = true;
    try {
        for (int pass = 0; pass < passes; ++pass) {
            PageArray<Keyed>& src = in_items ? items : other;
            PageArray<Keyed>& dst = in_items ? other : items;
            radix_pass(src.data(), dst.data(), n, low, pass * digit_bits, mask, start, countdown);
            in_items = !in_items;
        }
    } catch (...) {
        if (!in_items) std::swap(items, other);
        throw;
    }
    if (!in_items) std::swap(items, other);
}

}  // namespace tilu
