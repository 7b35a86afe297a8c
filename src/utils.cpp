// TrackImages, and Covisibility: the tracks numbered and laid out as walks,
// then counted row by row.
#include "utils.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

#include "interrupt.hpp"
#include "platform.hpp"

namespace tilu {

void TrackImages::add_point(PackedArray<TrackElement> track) {
    for (std::size_t j = 0; j < track.size(); ++j) image_ids.push_back(track[j].image_id);
    offsets.push_back(image_ids.size());
}

void TrackImages::keep_last_of_each_key(std::span<const std::uint64_t> keys) {
    // Sorted by key, then by position: of equal neighbours the earlier goes.
    std::vector<std::pair<std::uint64_t, std::size_t>> order;
    order.reserve(keys.size());
    for (std::size_t p = 0; p < keys.size(); ++p) order.emplace_back(keys[p], p);
    std::sort(order.begin(), order.end());
    std::vector<char> keep(keys.size(), 1);
    for (std::size_t i = 0; i + 1 < order.size(); ++i)
        if (order[i].first == order[i + 1].first) keep[order[i].second] = 0;
    keep_only(keep);
}

void TrackImages::keep_only(const std::vector<char>& keep) {
    std::size_t out = 0;
    std::size_t kept = 0;
    for (std::size_t p = 0; p < num_points(); ++p) {
        if (!keep[p]) continue;
        const std::size_t begin = offsets[p], end = offsets[p + 1];
        std::copy(image_ids.begin() + begin, image_ids.begin() + end, image_ids.begin() + out);
        out += end - begin;
        offsets[++kept] = out;
    }
    image_ids.resize(out);
    offsets.resize(kept + 1);
}

namespace {

constexpr std::uint32_t kEnd = std::numeric_limits<std::uint32_t>::max();

// Image identifier -> image number, by a table indexed by identifier: for
// identifiers below a bound that the caller keeps small against the input.
class TableIndex {
public:
    explicit TableIndex(std::uint32_t max_id) : table_(std::size_t{max_id} + 1, kEnd) {}

    // True the first time `id` is added.
    bool add(std::uint32_t id) {
        std::uint32_t& slot = table_[id];
        const bool first = slot == kEnd;
        slot = 0;
        return first;
    }
    // Numbers every identifier added by its position in `sorted_ids`.
    void renumber(const std::vector<std::uint32_t>& sorted_ids, InterruptCountdown& countdown) {
        for (std::size_t i = 0; i < sorted_ids.size(); ++i) {
            countdown(InterruptCountdown::kEntry);
            table_[sorted_ids[i]] = static_cast<std::uint32_t>(i);
        }
    }
    std::uint32_t operator()(std::uint32_t id) const { return table_[id]; }

private:
    std::vector<std::uint32_t> table_;
};

// The same for any identifiers: open addressing with linear probing and a
// randomly seeded multiplicative hash, so crafted identifiers cannot make the
// probes pile up.
class HashIndex {
public:
    HashIndex() : seed_(random_u64() | 1), slots_(64, kEmpty) {}

    bool add(std::uint32_t id) {
        for (std::size_t s = slot(id);; s = (s + 1) & mask()) {
            if (slots_[s] == kEmpty) {
                slots_[s] = id;
                if (++size_ * 2 > slots_.size()) grow();
                return true;
            }
            if (static_cast<std::uint32_t>(slots_[s]) == id) return false;
        }
    }
    void renumber(const std::vector<std::uint32_t>& sorted_ids, InterruptCountdown& countdown) {
        for (std::uint64_t& e : slots_) {
            if (e == kEmpty) continue;
            countdown(InterruptCountdown::kEntry);
            const auto id = static_cast<std::uint32_t>(e);
            const auto i = std::lower_bound(sorted_ids.begin(), sorted_ids.end(), id) - sorted_ids.begin();
            e = (static_cast<std::uint64_t>(i) << 32) | id;
        }
    }
    // For an identifier added: the first slot holding it comes before any
    // empty one on its probe path.
    std::uint32_t operator()(std::uint32_t id) const {
        for (std::size_t s = slot(id);; s = (s + 1) & mask())
            if (static_cast<std::uint32_t>(slots_[s]) == id && slots_[s] != kEmpty)
                return static_cast<std::uint32_t>(slots_[s] >> 32);
    }

private:
    // Numbers stay below 2^32 - 1, so no entry equals kEmpty.
    static constexpr std::uint64_t kEmpty = std::numeric_limits<std::uint64_t>::max();

    std::size_t mask() const { return slots_.size() - 1; }
    std::size_t slot(std::uint32_t id) const {
        return static_cast<std::size_t>(((id ^ seed_) * 0x9E3779B97F4A7C15ull) >> 20) & mask();
    }
    void grow() {
        std::vector<std::uint64_t> old(slots_.size() * 2, kEmpty);
        old.swap(slots_);
        for (std::uint64_t e : old) {
            if (e == kEmpty) continue;
            std::size_t s = slot(static_cast<std::uint32_t>(e));
            while (slots_[s] != kEmpty) s = (s + 1) & mask();
            slots_[s] = e;
        }
    }

    std::uint64_t seed_;
    std::size_t size_ = 0;
    std::vector<std::uint64_t> slots_;  // (number << 32) | id, or kEmpty
};

}  // namespace

// Rewrites every track, in place, as its distinct image numbers in increasing
// order. Counts for every image the points that see it (seen_by_), the points
// whose largest image it is (`last`) and the entries in later_images_ of the
// points whose smallest image it is (`group`, one place to the right).
template <class Index>
void Covisibility::sort_tracks(TrackImages& t, const Index& index, std::vector<std::uint32_t>& last,
                               std::vector<std::uint32_t>& group) {
    std::uint32_t* images = t.image_ids.data();
    std::size_t* offsets = t.offsets.data();
    std::uint32_t* seen_by = seen_by_.data();
    InterruptCountdown countdown = countdown_;
    std::size_t out = 0;
    for (std::size_t p = 0, begin = 0; p < t.num_points(); ++p) {
        const std::size_t end = offsets[p + 1];
        countdown((end - begin + 1) * InterruptCountdown::kEntry);  // + 1: tracks may be empty
        offsets[p] = out;
        // Sorted into dst, which never overtakes the entry being read.
        std::uint32_t* dst = images + out;
        std::size_t k = 0;
        if (end - begin <= 32) {
            for (std::size_t i = begin; i < end; ++i) {
                const std::uint32_t r = index(images[i]);
                std::size_t j = k;
                while (j > 0 && dst[j - 1] > r) {
                    dst[j] = dst[j - 1];
                    --j;
                }
                if (j > 0 && dst[j - 1] == r) {  // repeated: undo the shift
                    std::copy(dst + j + 1, dst + k + 1, dst + j);
                    continue;
                }
                dst[j] = r;
                ++k;
            }
        } else {
            for (std::size_t i = begin; i < end; ++i) dst[i - begin] = index(images[i]);
            std::sort(dst, dst + (end - begin));
            k = static_cast<std::size_t>(std::unique(dst, dst + (end - begin)) - dst);
        }
        for (std::size_t j = 0; j < k; ++j) ++seen_by[dst[j]];
        if (k > 0) ++last[dst[k - 1]];
        if (k > 1) group[dst[0] + 1] += static_cast<std::uint32_t>(k);
        out += k;
        begin = end;
    }
    offsets[t.num_points()] = out;
    countdown_ = countdown;
}

// Fills later_images_ from the sorted tracks, then the walks from
// later_images_, group after group: so the walks of near images are written
// near each other, not scattered over the whole array.
void Covisibility::lay_out(const TrackImages& t, const std::vector<std::uint32_t>& last,
                           std::vector<std::uint32_t>& group) {
    const std::size_t n = num_images();
    for (std::size_t i = 0; i < n; ++i) group[i + 1] += group[i];
    // Both arrays are written whole before they are read: no zero filling.
    later_images_ = std::make_unique_for_overwrite<std::uint32_t[]>(group[n]);
    std::vector<std::uint32_t> fill(group.begin(), group.end() - 1);
    const std::uint32_t* images = t.image_ids.data();
    InterruptCountdown countdown = countdown_;
    for (std::size_t p = 0; p < t.num_points(); ++p) {
        const std::uint32_t* track = images + t.offsets[p];
        const std::size_t k = t.offsets[p + 1] - t.offsets[p];
        countdown((k + 1) * InterruptCountdown::kEntry);
        if (k < 2) continue;
        std::uint32_t* dst = &later_images_[fill[track[0]]];
        for (std::size_t j = 1; j < k; ++j) dst[j - 1] = track[j];
        dst[k - 1] = kEnd;
        fill[track[0]] += static_cast<std::uint32_t>(k);
    }

    walk_offsets_.assign(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) walk_offsets_[i + 1] = walk_offsets_[i] + (seen_by_[i] - last[i]);
    walks_ = std::make_unique_for_overwrite<std::uint32_t[]>(walk_offsets_[n]);
    fill.assign(walk_offsets_.begin(), walk_offsets_.end() - 1);
    reach_.resize(n);
    for (std::size_t i = 0; i < n; ++i) reach_[i] = static_cast<std::uint32_t>(i);
    walk_length_.assign(n, 0);
    const std::uint32_t* later = later_images_.get();
    for (std::uint32_t first = 0; first < n; ++first) {
        for (std::uint32_t pos = group[first]; pos < group[first + 1];) {
            // One point: `first`, then later[pos .. end), then kEnd.
            std::uint32_t end = pos;
            while (later[end] != kEnd) ++end;
            countdown((end - pos + 1) * InterruptCountdown::kEntry);
            const std::uint32_t largest = later[end - 1];
            walks_[fill[first]++] = pos;
            reach_[first] = std::max(reach_[first], largest);
            walk_length_[first] += end - pos;
            for (std::uint32_t j = pos; j + 1 < end; ++j) {
                const std::uint32_t image = later[j];
                walks_[fill[image]++] = j + 1;
                reach_[image] = std::max(reach_[image], largest);
                walk_length_[image] += end - j - 1;
            }
            pos = end + 1;
        }
    }
    countdown_ = countdown;
}

Covisibility::Covisibility(TrackImages&& tracks) {
    TrackImages t = std::move(tracks);
    if (t.image_ids.size() >= kEnd) throw std::bad_alloc();

    // The identifiers are read in blocks, with a look for interrupts between.
    constexpr std::size_t kBlock = 4096;
    const std::uint32_t* ids = t.image_ids.data();
    const std::size_t total = t.image_ids.size();
    InterruptCountdown countdown;
    std::uint32_t max_id = 0;
    for (std::size_t begin = 0; begin < total; begin += kBlock) {
        const std::size_t end = std::min(total, begin + kBlock);
        countdown((end - begin) * InterruptCountdown::kEntry);
        for (std::size_t i = begin; i < end; ++i) max_id = std::max(max_id, ids[i]);
    }
    std::vector<std::uint32_t> last, group;
    auto number_and_sort = [&](auto& index) {
        for (std::size_t begin = 0; begin < total; begin += kBlock) {
            const std::size_t end = std::min(total, begin + kBlock);
            countdown((end - begin) * InterruptCountdown::kEntry);
            for (std::size_t i = begin; i < end; ++i)
                if (index.add(ids[i])) image_ids_.push_back(ids[i]);
        }
        std::sort(image_ids_.begin(), image_ids_.end());
        index.renumber(image_ids_, countdown);
        countdown_ = countdown;
        const std::size_t n = image_ids_.size();
        seen_by_.assign(n, 0);
        last.assign(n, 0);
        group.assign(n + 1, 0);
        sort_tracks(t, index, last, group);
    };
    // A table when it is no larger than the tracks' offsets (or small), else
    // a hash.
    if (max_id < 2 * t.num_points() + 4096) {
        TableIndex index(max_id);
        number_and_sort(index);
    } else {
        HashIndex index;
        number_and_sort(index);
    }
    lay_out(t, last, group);
    t = {};

    const std::size_t n = num_images();
    counts_.assign(n, 0);
    touched_.resize(n + 1);  // one spare slot for the unconditional write
    row_.resize(n);
    queues_.resize(n);
    chunks_.resize(1);
    chunks_[0].size = Chunk::kCapacity;
}

std::uint32_t Covisibility::new_chunk(Queue& q) {
    std::uint32_t c = free_chunks_;
    if (c != 0) {
        free_chunks_ = chunks_[c].next;
    } else {
        c = static_cast<std::uint32_t>(chunks_.size());
        chunks_.emplace_back();
    }
    chunks_[c].next = 0;
    chunks_[c].size = 0;
    (q.head != 0 ? chunks_[q.tail].next : q.head) = c;
    q.tail = c;
    return c;
}

void Covisibility::count_row(std::uint32_t a) {
    // The images after `a` in a's points.
    std::uint32_t* counts = counts_.data();
    std::uint32_t* touched = touched_.data();
    const std::uint32_t* later = later_images_.get();
    InterruptCountdown countdown = countdown_;
    std::size_t n = 0;
    const std::uint32_t reach = reach_[a];
    // The work is counted point by point: one walk's entries (+ 1, for its
    // end) after the walk.
    if (reach - a <= walk_length_[a]) {
        // Looking at every image up to the last one reached costs no more
        // than keeping a list while counting; the row comes out sorted.
        for (std::uint32_t w = walk_offsets_[a]; w < walk_offsets_[a + 1]; ++w) {
            const std::uint32_t* s = later + walks_[w];
            for (; *s != kEnd; ++s) ++counts[*s];
            countdown(static_cast<std::size_t>(s - (later + walks_[w])) + 1);
        }
        countdown(reach - a);
        for (std::uint32_t b = a + 1; b <= reach; ++b) {
            touched[n] = b;
            n += counts[b] != 0;
        }
    } else {
        // An image enters the list when its count leaves 0: written always,
        // kept only then (no branch).
        for (std::uint32_t w = walk_offsets_[a]; w < walk_offsets_[a + 1]; ++w) {
            const std::uint32_t* s = later + walks_[w];
            for (; *s != kEnd; ++s) {
                touched[n] = *s;
                n += counts[*s]++ == 0;
            }
            countdown(static_cast<std::size_t>(s - (later + walks_[w])) + 1);
        }
        // In increasing order, as the branch above lists them: n log n for
        // the n images, against at least n entries counted.
        std::sort(touched, touched + n);
        countdown(n);
    }

    Shared* out = row_.data();
    out[0] = {a, seen_by_[a]};
    std::size_t m = 1;
    // The images before `a`, from the queue.
    Queue& own = queues_[a];
    if (own.head != 0) {
        for (std::uint32_t c = own.head; c != 0; c = chunks_[c].next) {
            const Chunk& chunk = chunks_[c];
            std::copy(chunk.entries, chunk.entries + chunk.size, out + m);
            m += chunk.size;
        }
        chunks_[own.tail].next = free_chunks_;
        free_chunks_ = own.head;
        own = {};
    }
    // The images after `a`, queued for their own rows.
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t b = touched[i];
        const std::uint32_t count = counts[b];
        counts[b] = 0;
        out[m++] = {b, count};
        Queue& q = queues_[b];
        std::uint32_t c = q.tail;
        if (chunks_[c].size == Chunk::kCapacity) c = new_chunk(q);
        chunks_[c].entries[chunks_[c].size++] = {a, count};
    }
    row_size_ = m;
    countdown_ = countdown;
}

}  // namespace tilu
