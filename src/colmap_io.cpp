// The three parsers over one Cursor, which checks every field against the
// end of the buffer, and the file and whole-model readers.
#include "colmap_io.hpp"

#include <bit>
#include <cstring>
#include <span>
#include <string>

#include "interrupt.hpp"
#include "messages.hpp"
#include "utf8.hpp"

namespace tilu {

static_assert(std::endian::native == std::endian::little,
              "records are copied from the files byte for byte");

// Moves a failure path out of the way of the hot code, where the compiler
// knows how (GCC and clang; MSVC warns of attributes it does not know).
#if defined(__GNUC__)
#define TILU_COLD [[gnu::cold]]
#else
#define TILU_COLD
#endif

namespace {

[[noreturn]] TILU_COLD void out_of_range(std::size_t end, std::size_t size,
                                         std::source_location loc = std::source_location::current()) {
    throw Panic(messages::out_of_range(end, size), loc);
}

// Hands out the buffer front to back: fields, zero-terminated names and
// arrays of entries, each checked against the end of the buffer first. The
// position only moves forward and pos_ <= size_ always holds, so `size_ -
// pos_` never wraps and no bound check can overflow.
class Cursor {
public:
    Cursor(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

    // How far the cursor has got.
    std::size_t pos() const { return pos_; }

    std::uint8_t u8() { return field<std::uint8_t>(); }
    std::uint32_t u32() { return field<std::uint32_t>(); }
    std::int32_t i32() { return field<std::int32_t>(); }
    std::uint64_t u64() { return field<std::uint64_t>(); }
    double f64() { return field<double>(); }

    // The bytes up to the next zero byte, which is passed too. Without one,
    // fails at the first index past the buffer: "index out of bounds: the len
    // is N but the index is N".
    std::span<const unsigned char> name() {
        const void* nul = pos_ < size_ ? std::memchr(data_ + pos_, 0, left()) : nullptr;
        if (!nul) throw Panic(messages::unterminated_name(size_));
        const std::span<const unsigned char> bytes(data_ + pos_, static_cast<const unsigned char*>(nul));
        pos_ += bytes.size() + 1;
        return bytes;
    }

    // `count` entries of T (fields of T::kFieldSize bytes each). If they do
    // not all fit, fails where reading them field by field would: at the
    // first field that does not fit. The count, which comes from the file, is
    // multiplied by the width only once it is known to fit.
    template <class T>
    PackedArray<T> entries(std::uint64_t count) {
        constexpr std::size_t width = sizeof(T), field = T::kFieldSize;
        static_assert(width % field == 0);
        const std::size_t fit = left() / width;
        if (count > fit) {
            const std::size_t first_missing = pos_ + fit * width;
            const std::size_t partial = left() - fit * width;
            out_of_range(first_missing + (partial / field + 1) * field, size_);
        }
        const PackedArray<T> array(data_ + pos_, static_cast<std::size_t>(count));
        pos_ += array.size_bytes();
        return array;
    }

private:
    std::size_t left() const { return size_ - pos_; }

    template <class T>
    T field() {
        if (sizeof(T) > left()) out_of_range(pos_ + sizeof(T), size_);
        T v;
        std::memcpy(&v, data_ + pos_, sizeof(T));
        pos_ += sizeof(T);
        return v;
    }

    const unsigned char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace

void parse_cameras(const unsigned char* data, std::size_t size, CameraSink sink) {
    Cursor c(data, size);
    InterruptCountdown countdown;
    const std::uint64_t count = c.u64();
    for (std::uint64_t i = 0; i < count; ++i) {
        countdown(InterruptCountdown::kObject);
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

void parse_images(SharedFile& file, ImageSink sink) {
    Cursor c(file.data(), file.size());
    InterruptCountdown countdown;
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
        const std::span<const unsigned char> name = c.name();
        append_utf8_replacing(img.name, name.data(), name.size());

        const std::uint64_t n = c.u64();
        const PackedArray<Point2D> keypoints = c.entries<Point2D>(n);
        countdown(InterruptCountdown::kObject + n * InterruptCountdown::kEntry);
        if (n > 0) {
            img.points = file.lend({keypoints.data(), keypoints.size_bytes()});
            img.num_points = n;
        }
        // Before the sink, which may drop an earlier image of the same id.
        file.parsed_up_to(c.pos());
        sink(std::move(img));
    }
}

void parse_points3D(const unsigned char* data, std::size_t size, Point3DSink sink,
                    PageBuffer* source) {
    Cursor c(data, size);
    InterruptCountdown countdown;
    const std::uint64_t count = c.u64();
    for (std::uint64_t i = 0; i < count; ++i) {
        Point3D p;
        p.id = c.u64();
        p.xyz.x = c.f64();
        p.xyz.y = c.f64();
        p.xyz.z = c.f64();
        p.color.r = c.u8();
        p.color.g = c.u8();
        p.color.b = c.u8();
        p.error = c.f64();  // at offset 35: unaligned
        const PackedArray<TrackElement> track = c.entries<TrackElement>(c.u64());
        countdown(InterruptCountdown::kObject + track.size() * InterruptCountdown::kEntry);
        sink({p, track});
        if (source) source->discard_before(c.pos());
    }
}

void read_cameras_file(std::string_view path, CameraSink sink) {
    const PageBuffer file = read_whole_file(path);
    parse_cameras(file.data(), file.size(), sink);
}

void read_images_file(std::string_view path, ImageSink sink) {
    const SharedFile::Reader file(read_whole_file(path));
    parse_images(*file, sink);
}

void read_points3D_file(std::string_view path, Point3DSink sink) {
    PageBuffer file = read_whole_file(path);
    parse_points3D(file.data(), file.size(), sink, &file);
}

void read_model(std::string_view dir, CameraSink cameras, ImageSink images, Point3DSink points) {
    const std::string root(dir);
    read_cameras_file(root + "/cameras.bin", cameras);
    read_images_file(root + "/images.bin", images);
    read_points3D_file(root + "/points3D.bin", points);
}

}  // namespace tilu
