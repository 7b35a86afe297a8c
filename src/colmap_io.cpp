#include "colmap_io.hpp"

#include <bit>
#include <cstring>
#include <string>

namespace tilu {

static_assert(std::endian::native == std::endian::little,
              "records are copied from the files byte for byte");

namespace {

[[noreturn, gnu::cold]] void out_of_range(std::size_t end, std::size_t size,
                                          std::source_location loc = std::source_location::current()) {
    throw Panic("range end index " + std::to_string(end) + " out of range for slice of length " +
                    std::to_string(size),
                loc);
}

// Reads little-endian fields front to back; pos <= size always holds, so
// `size - pos` never wraps and the bound check cannot overflow.
struct Cursor {
    const unsigned char* data;
    std::size_t size;
    std::size_t pos = 0;

    std::size_t left() const { return size - pos; }

    template <class T>
    T read() {
        if (sizeof(T) > left()) out_of_range(pos + sizeof(T), size);
        T v;
        std::memcpy(&v, data + pos, sizeof(T));
        pos += sizeof(T);
        return v;
    }
    std::uint8_t u8() { return read<std::uint8_t>(); }
    std::uint32_t u32() { return read<std::uint32_t>(); }
    std::int32_t i32() { return read<std::int32_t>(); }
    std::uint64_t u64() { return read<std::uint64_t>(); }
    double f64() { return read<double>(); }

    // Checks that `count` entries of `width` bytes follow; if not, fails at the
    // first field that does not fit, an entry being fields of `field_width`
    // bytes read in order. Never multiplies the count from the file.
    void need_entries(std::uint64_t count, std::size_t width, std::size_t field_width) {
        std::size_t fit = left() / width;
        if (count <= fit) return;
        std::size_t first_missing = pos + fit * width;
        std::size_t partial = left() - fit * width;
        out_of_range(first_missing + (partial / field_width + 1) * field_width, size);
    }
};

}  // namespace

void parse_cameras(const unsigned char* data, std::size_t size, CameraSink sink) {
    Cursor c{data, size};
    const std::uint64_t count = c.u64();
    for (std::uint64_t i = 0; i < count; ++i) {
        Camera cam;
        cam.camera_id = c.u32();
        cam.model_id = camera_model_from_number(c.i32());
        cam.width = c.u64();
        cam.height = c.u64();
        const std::size_t n = cam.num_params();
        for (std::size_t k = 0; k < n; ++k) cam.params[k] = c.f64();
        sink(std::move(cam));
    }
}

void parse_images(const unsigned char* data, std::size_t size, ImageSink sink, FileBuffer* source) {
    Cursor c{data, size};
    const std::uint64_t count = c.u64();
    for (std::uint64_t i = 0; i < count; ++i) {
        Image img;
        img.image_id = c.u32();
        img.rot.s = c.f64();  // stored scalar first: w, x, y, z
        img.rot.v.x = c.f64();
        img.rot.v.y = c.f64();
        img.rot.v.z = c.f64();
        img.trans.x = c.f64();
        img.trans.y = c.f64();
        img.trans.z = c.f64();
        img.camera_id = c.u32();

        // The name runs up to the first zero byte; a name that reaches the
        // end of the buffer fails at the first index past it, which is N.
        const void* nul = c.pos < size ? std::memchr(data + c.pos, 0, size - c.pos) : nullptr;
        if (!nul)
            throw Panic("index out of bounds: the len is " + std::to_string(size) +
                        " but the index is " + std::to_string(size));
        const std::size_t name_len = static_cast<const unsigned char*>(nul) - (data + c.pos);
        append_utf8_replacing(img.name, data + c.pos, name_len);
        c.pos += name_len + 1;

        const std::uint64_t n = c.u64();
        c.need_entries(n, sizeof(Point2D), 8);
        if (n > 0) {
            img.points.reset(new Point2D[n]);
            std::memcpy(img.points.get(), data + c.pos, n * sizeof(Point2D));
            img.num_points = n;
            c.pos += n * sizeof(Point2D);
        }
        sink(std::move(img));
        if (source) source->discard_before(c.pos);
    }
}

void parse_points3D(const unsigned char* data, std::size_t size, Point3DSink sink,
                    FileBuffer* source) {
    Cursor c{data, size};
    const std::uint64_t count = c.u64();
    for (std::uint64_t i = 0; i < count; ++i) {
        Point3DEntry e;
        e.point.id = c.u64();
        e.point.xyz.x = c.f64();
        e.point.xyz.y = c.f64();
        e.point.xyz.z = c.f64();
        e.point.color.r = c.u8();
        e.point.color.g = c.u8();
        e.point.color.b = c.u8();
        e.point.error = c.f64();  // at offset 35: unaligned
        e.track_length = c.u64();
        c.need_entries(e.track_length, sizeof(TrackElement), 4);
        e.track_data = data + c.pos;
        c.pos += e.track_length * sizeof(TrackElement);
        sink(e);
        if (source) source->discard_before(c.pos);
    }
}

void append_utf8_replacing(std::string& out, const unsigned char* s, std::size_t len) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::size_t i = 0;
    std::size_t run = 0;  // start of the current well-formed run, copied in one go
    auto flush = [&](std::size_t upto) { out.append(reinterpret_cast<const char*>(s) + run, upto - run); };
    while (i < len) {
        const unsigned char b = s[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        // Expected length and the range of the second byte (the only one
        // that differs between lead bytes); later bytes are 80..BF.
        std::size_t need;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 3;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 4;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            flush(i);
            out += kReplacement;
            run = ++i;
            continue;
        }
        std::size_t k = 1;  // bytes of the sequence that are well-formed so far
        while (k < need && i + k < len) {
            const unsigned char cb = s[i + k];
            const bool ok = k == 1 ? (cb >= lo && cb <= hi) : (cb >= 0x80 && cb <= 0xBF);
            if (!ok) break;
            ++k;
        }
        if (k == need) {
            i += need;
            continue;
        }
        // A maximal ill-formed subsequence: the lead byte and the
        // continuation bytes that were still valid.
        flush(i);
        out += kReplacement;
        i += k;
        run = i;
    }
    flush(len);
}

}  // namespace tilu
