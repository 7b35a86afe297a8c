#include "utils.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "interrupt.hpp"
#include "platform.hpp"

namespace tilu {

void TrackImages::add_point(const void* track, std::uint64_t n) {
    const auto* bytes = static_cast<const unsigned char*>(track);
    for (std::uint64_t j = 0; j < n; ++j) {
        std::uint32_t id;
        std::memcpy(&id, bytes + 8 * j, sizeof id);
        image_ids.push_back(id);
    }
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

// Image identifier -> dense index; open addressing with linear probing and a
// randomly seeded multiplicative hash, so crafted identifiers cannot make the
// probes pile up.
class DenseIds {
public:
    DenseIds() : seed_(random_u64() | 1), slots_(64, kEmpty) {}

    // The dense index of `id`, assigning the next one on first sight.
    std::uint32_t index(std::uint32_t id, std::vector<std::uint32_t>& ids) {
        for (std::size_t s = slot(id);; s = (s + 1) & mask()) {
            const std::uint64_t e = slots_[s];
            if (e == kEmpty) {
                const auto dense = static_cast<std::uint32_t>(ids.size());
                slots_[s] = (std::uint64_t{dense} << 32) | id;
                ids.push_back(id);
                if (ids.size() * 2 > slots_.size()) grow();
                return dense;
            }
            if (static_cast<std::uint32_t>(e) == id) return static_cast<std::uint32_t>(e >> 32);
        }
    }

private:
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
    std::vector<std::uint64_t> slots_;  // (dense << 32) | id, or kEmpty
};

}  // namespace

Covisibility::Covisibility(const TrackImages& tracks) {
    const std::size_t num_points = tracks.num_points();
    DenseIds dense;
    InterruptCountdown countdown;

    // Each point's distinct images, in order of first appearance in its track.
    constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> last_point;  // dense image -> last point that saw it
    point_offsets_.reserve(num_points + 1);
    point_offsets_.push_back(0);
    point_images_.reserve(tracks.image_ids.size());
    for (std::size_t p = 0; p < num_points; ++p) {
        countdown(tracks.offsets[p + 1] - tracks.offsets[p] + 1);  // + 1: tracks may be empty
        for (std::size_t e = tracks.offsets[p]; e < tracks.offsets[p + 1]; ++e) {
            const std::uint32_t d = dense.index(tracks.image_ids[e], image_ids_);
            if (d == last_point.size()) last_point.push_back(kNever);
            if (last_point[d] == p) continue;
            last_point[d] = p;
            point_images_.push_back(d);
        }
        point_offsets_.push_back(point_images_.size());
    }

    // Transpose: image -> the points that see it.
    const std::size_t num_images = image_ids_.size();
    image_offsets_.assign(num_images + 1, 0);
    for (std::uint32_t d : point_images_) ++image_offsets_[d + 1];
    for (std::size_t i = 0; i < num_images; ++i) image_offsets_[i + 1] += image_offsets_[i];
    image_points_.resize(point_images_.size());
    std::vector<std::size_t> fill(image_offsets_.begin(), image_offsets_.end() - 1);
    for (std::size_t p = 0; p < num_points; ++p) {
        countdown(point_offsets_[p + 1] - point_offsets_[p] + 1);
        for (std::size_t e = point_offsets_[p]; e < point_offsets_[p + 1]; ++e)
            image_points_[fill[point_images_[e]]++] = static_cast<std::uint32_t>(p);
    }
    countdown_ = countdown;

    counts_.assign(num_images, 0);
    touched_.assign(num_images + 1, 0);  // one spare slot for the unconditional write
}

void Covisibility::count_row(std::uint32_t a) {
    std::uint32_t* counts = counts_.data();
    std::uint32_t* touched = touched_.data();
    InterruptCountdown countdown = countdown_;
    for (std::size_t i = 0; i < row_size_; ++i) counts[touched[i]] = 0;
    // `a` is entered first with a count of 1, so that no point enters it again;
    // the extra 1 is taken off at the end. An image is appended to the row
    // when its count leaves 0: written always, kept only then (no branch).
    touched[0] = a;
    counts[a] = 1;
    std::size_t n = 1;
    for (std::size_t i = image_offsets_[a]; i < image_offsets_[a + 1]; ++i) {
        const std::uint32_t p = image_points_[i];
        // Neither the images nor the points of a row bound its work: counted
        // by entries, every point here has at least one.
        countdown(point_offsets_[p + 1] - point_offsets_[p]);
        for (std::size_t e = point_offsets_[p]; e < point_offsets_[p + 1]; ++e) {
            const std::uint32_t b = point_images_[e];
            touched[n] = b;
            n += counts[b]++ == 0;
        }
    }
    counts[a] -= 1;
    row_size_ = n;
    row_total_ = static_cast<float>(counts[a]);
    countdown_ = countdown;
}

}  // namespace tilu
