// Covisibility against a plain count, on tracks drawn from the input: byte 0
// picks how many bits the image identifiers keep (so that they repeat), then
// each point is a length byte and that many u32 identifiers; the last point's
// leftover bytes give the points' keys, one byte each (so that keys repeat;
// points past them get keys of their own), and keep_last_of_each_key must
// keep exactly the last point of each key. Images are numbered in increasing
// order of identifier and listed in order of first appearance.
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
        std::vector<tilu::TrackElement> track(len);
        std::vector<std::uint32_t> ids(len);
        for (std::size_t j = 0; j < len; ++j, pos += 4) {
            std::memcpy(&ids[j], data + pos, 4);
            ids[j] &= mask;
            track[j] = {ids[j], 0xABABABAB};
        }
        tracks.add_point({reinterpret_cast<const unsigned char*>(track.data()), len});
        points.push_back(std::move(ids));
    }
    std::vector<std::uint64_t> keys(points.size());
    for (std::size_t p = 0; p < keys.size(); ++p) keys[p] = pos < size ? data[pos++] % 8 : 256 + p;
    tracks.keep_last_of_each_key(keys);

    std::map<std::uint64_t, std::size_t> last_of_key;
    for (std::size_t p = 0; p < keys.size(); ++p) last_of_key[keys[p]] = p;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> expected;
    std::map<std::uint32_t, std::size_t> row_sizes;
    std::size_t kept = 0;
    for (std::size_t p = 0; p < points.size(); ++p) {
        if (last_of_key[keys[p]] != p) continue;
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

    tilu::Covisibility cov(std::move(tracks));
    if (cov.num_images() != row_sizes.size()) std::abort();
    for (std::uint32_t a = 0; a < cov.num_images(); ++a) {
        cov.count_row(a);
        const std::uint32_t id = cov.image_id(a);
        if (a > 0 && cov.image_id(a - 1) >= id) std::abort();
        const auto row = cov.row();
        if (row.size() != row_sizes[id] || row[0].image != a) std::abort();
        const float seen = static_cast<float>(expected[{id, id}]);
        std::set<std::uint32_t> listed;
        for (std::size_t i = 2; i < row.size(); ++i)
            if (row[i - 1].image >= row[i].image) std::abort();  // the others in increasing order
        for (tilu::Shared e : row) {
            if (!listed.insert(e.image).second) std::abort();
            const std::uint32_t both = expected[{id, cov.image_id(e.image)}];
            if (e.count != both) std::abort();
            const float want = static_cast<float>(both) / seen;
            const float got = tilu::Covisibility::fraction(e.count, row[0].count);
            if (std::memcmp(&want, &got, sizeof want) != 0) std::abort();
        }
    }
    return 0;
}
