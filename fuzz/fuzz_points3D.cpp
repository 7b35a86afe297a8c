// parse_points3D on arbitrary bytes: it parses or throws tilu::Panic. Every
// track entry handed out is read (through TrackImages), then the covisibility
// of the points read so far is counted row by row and checked: each image
// first in its own row, every count between 1 and the image's own, and the
// table symmetric.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "colmap_io.hpp"
#include "utils.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tilu::TrackImages tracks;
    std::uint64_t records = 0;
    try {
        tilu::parse_points3D(data, size, [&](const tilu::Point3DEntry& e) {
            ++records;
            if (e.point.text(e.track.size()).empty() || e.point.color.text().empty()) std::abort();
            tracks.add_point(e.track);
        });
    } catch (const tilu::Panic&) {
    }
    if (records > 0 && 8 + records * 51 > size) std::abort();
    if (tracks.image_ids.size() * 8 > size) std::abort();

    const std::size_t entries = tracks.image_ids.size();
    tilu::Covisibility cov(std::move(tracks));
    const std::size_t n = cov.num_images();
    if (n > entries) std::abort();
    std::vector<std::uint32_t> table(n * n);
    for (std::uint32_t a = 0; a < n; ++a) {
        cov.count_row(a);
        const auto row = cov.row();
        if (row.empty() || row[0].image != a || row[0].count == 0) std::abort();
        for (tilu::Shared e : row) {
            if (e.count == 0 || e.count > row[0].count) std::abort();
            if (table[a * n + e.image]) std::abort();  // listed twice
            table[a * n + e.image] = e.count;
        }
    }
    for (std::size_t a = 0; a < n; ++a)
        for (std::size_t b = 0; b < a; ++b)
            if (table[a * n + b] != table[b * n + a]) std::abort();
    return 0;
}
