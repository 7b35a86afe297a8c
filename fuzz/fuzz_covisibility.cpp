// Covisibility against a plain count, on tracks drawn from the input: byte 0
// picks how many bits the image identifiers keep (so that they repeat), then
// each point is a length byte and that many u32 identifiers; the last point's
// leftover bytes say which points keep_only keeps.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "utils.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const unsigned bits = 1 + data[0] % 32;
    const std::uint32_t mask = bits == 32 ? ~0u : (1u << bits) - 1;
    std::size_t pos = 1;

    tilu::TrackImages tracks;
    std::vector<std::vector<std::uint32_t>> points;
    while (pos < size) {
        const std::size_t len = data[pos++] % 16;
        if (len * 4 > size - pos) break;
        std::vector<unsigned char> packed(8 * len);  // (image id, 2D index) pairs
        std::vector<std::uint32_t> ids(len);
        for (std::size_t j = 0; j < len; ++j, pos += 4) {
            std::memcpy(&ids[j], data + pos, 4);
            ids[j] &= mask;
            std::memcpy(&packed[8 * j], &ids[j], 4);
            std::memset(&packed[8 * j + 4], 0xAB, 4);
        }
        tracks.add_point(packed.data(), len);
        points.push_back(std::move(ids));
    }
    std::vector<char> keep(points.size(), 1);
    for (std::size_t p = 0; p < keep.size() && pos < size; ++p) keep[p] = data[pos++] & 1;
    tracks.keep_only(keep);

    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> expected;
    std::map<std::uint32_t, std::size_t> row_sizes;
    std::size_t kept = 0;
    for (std::size_t p = 0; p < points.size(); ++p) {
        if (!keep[p]) continue;
        const std::size_t begin = tracks.offsets[kept], end = tracks.offsets[kept + 1];
        if (end - begin != points[p].size() ||
            !std::equal(points[p].begin(), points[p].end(), tracks.image_ids.begin() + begin))
            std::abort();
        ++kept;
        const std::set<std::uint32_t> seen(points[p].begin(), points[p].end());
        for (std::uint32_t a : seen)
            for (std::uint32_t b : seen)
                if (expected[{a, b}]++ == 0) ++row_sizes[a];
    }
    if (kept != tracks.num_points()) std::abort();

    tilu::Covisibility cov(tracks);
    if (cov.num_images() != row_sizes.size()) std::abort();
    for (std::uint32_t a = 0; a < cov.num_images(); ++a) {
        cov.count_row(a);
        const std::uint32_t id = cov.image_id(a);
        if (cov.row().size() != row_sizes[id] || cov.row()[0] != a) std::abort();
        for (std::uint32_t b : cov.row())
            if (cov.shared(b) != expected[{id, cov.image_id(b)}]) std::abort();
    }
    return 0;
}
