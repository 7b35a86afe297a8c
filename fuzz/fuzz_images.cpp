// parse_images on arbitrary bytes: it parses or throws tilu::Panic. Every
// keypoint is read, and what an image computes (text, rotation matrix,
// tracked keypoints); names must come out as well-formed UTF-8, unchanged
// when the stored bytes were well-formed already.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "colmap_io.hpp"
#include "utf8.hpp"

// Unicode's table of well-formed byte sequences, written out independently of
// the decoder under test.
static bool well_formed_utf8(const unsigned char* s, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        const unsigned char b = s[i];
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b < 0x80) len = 1;
        else if (b >= 0xC2 && b <= 0xDF) len = 2;
        else if (b == 0xE0) len = 3, lo = 0xA0;
        else if (b == 0xED) len = 3, hi = 0x9F;
        else if (b >= 0xE1 && b <= 0xEF) len = 3;
        else if (b == 0xF0) len = 4, lo = 0x90;
        else if (b == 0xF4) len = 4, hi = 0x8F;
        else if (b >= 0xF1 && b <= 0xF3) len = 4;
        else return false;
        if (len > n - i) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const unsigned char c = s[i + k];
            if (k == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xBF)) return false;
        }
        i += len;
    }
    return true;
}

static volatile std::uint64_t g_sink;  // keeps the reads of every keypoint

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint64_t records = 0;
    try {
        const tilu::SharedFile::Reader file(data, size);
        tilu::parse_images(*file, [&](tilu::Image&& img) {
            ++records;
            const auto* name = reinterpret_cast<const unsigned char*>(img.name.data());
            if (!well_formed_utf8(name, img.name.size())) std::abort();
            if (img.name.find('\0') != std::string::npos) std::abort();
            std::size_t tracked = 0;
            img.for_each_tracked([&](const tilu::Point2D& p) {
                if (p.point3D_id == tilu::kNoPoint3D) std::abort();
                ++tracked;
            });
            if (tracked != img.num_tracked()) std::abort();
            std::uint64_t sum = img.text().size() + std::bit_cast<std::uint64_t>(img.rotation_matrix()[2][2]);
            const tilu::PackedArray<tilu::Point2D> points = img.points2D();
            for (std::size_t k = 0; k < points.size(); ++k) {
                const tilu::Point2D p = points[k];
                std::uint64_t x;
                std::memcpy(&x, &p.x, 8);
                sum += x + p.point3D_id;
            }
            g_sink = sum;
        });
    } catch (const tilu::Panic&) {
    }
    if (records > 0 && 8 + records * 73 > size) std::abort();

    // The decoder alone, on the whole input as one name.
    std::string out;
    tilu::append_utf8_replacing(out, data, size);
    if (!well_formed_utf8(reinterpret_cast<const unsigned char*>(out.data()), out.size())) std::abort();
    if (well_formed_utf8(data, size) && (out.size() != size || std::memcmp(out.data(), data, size)))
        std::abort();
    // Each input byte yields at most one U+FFFD (3 bytes).
    if (out.size() > 3 * size) std::abort();
    return 0;
}
