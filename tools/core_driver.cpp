// A driver of the core alone (no Python), for checking the core on other
// systems (scripts/cross): reads the models named on the command line and
// prints, for each, counts and digests that cover every field the readers
// hand out, the text forms of its numbers, its covisibility, and what the
// records compute (rotation and calibration matrices, relative poses, the
// records' texts); then the same for a large images.bin that it writes into
// SCRATCH_DIR (read in several pieces, its pages handed back as the parse
// moves on), and the exact messages of a few failures. Its output must be the
// same byte for byte on every system.
//
// usage: core_driver SCRATCH_DIR MODEL_DIR...
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "colmap_io.hpp"
#include "errors.hpp"
#include "platform.hpp"
#include "text_forms.hpp"
#include "utils.hpp"

namespace {

using namespace tilu;

// 64-bit FNV-1a over values fed as little-endian bytes of fixed width.
class Digest {
public:
    void bytes(const void* p, std::size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        for (std::size_t i = 0; i < n; ++i) h_ = (h_ ^ b[i]) * 0x100000001b3u;
    }
    void u64(std::uint64_t v) {
        unsigned char b[8];
        for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
        bytes(b, 8);
    }
    void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
    void matrix(const Matrix3& m) {
        for (const auto& row : m)
            for (double v : row) f64(v);
    }
    void text(std::string_view s) {
        u64(s.size());
        bytes(s.data(), s.size());
    }
    std::string hex() const {
        static constexpr char kHex[] = "0123456789abcdef";
        std::string out(16, '0');
        for (int i = 0; i < 16; ++i) out[15 - i] = kHex[(h_ >> (4 * i)) & 0xf];
        return out;
    }

private:
    std::uint64_t h_ = 0xcbf29ce484222325u;
};

std::string num(std::uint64_t v) {
    std::string s;
    append_uint(s, v);
    return s;
}

std::string real(double v) {
    std::string s;
    append_real(s, v);
    return s;
}

// Every stored value of an image but its camera.
void add_image(Digest& fields, const Image& img) {
    fields.u64(img.image_id);
    fields.text(img.name);
    for (double v : {img.rot.v.x, img.rot.v.y, img.rot.v.z, img.rot.s, img.trans.x, img.trans.y, img.trans.z})
        fields.f64(v);
    const PackedArray<Point2D> points = img.points2D();
    fields.u64(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const Point2D p = points[i];
        fields.f64(p.x);
        fields.f64(p.y);
        fields.u64(p.point3D_id);
    }
}

// The relative poses of every ordered pair of two different images among the
// first kPoseImages of a model, in file order.
constexpr std::size_t kPoseImages = 50;

void describe_model(const std::string& dir) {
    Digest fields, texts;
    std::uint64_t cameras = 0, images = 0, keypoints = 0, points = 0, track_entries = 0;
    TrackImages tracks;
    std::vector<std::uint64_t> point_ids;
    // Computed by the records: the calibration matrix (or the failure's
    // message) of every camera, the rotation matrix of every image, the text
    // of every camera, image, point and colour.
    Digest rotations, calibrations, record_texts;
    std::uint64_t with_k = 0;
    std::vector<Image> first_images;

    auto on_camera = [&](Camera&& c) {
        ++cameras;
        fields.u64(c.camera_id);
        fields.u64(static_cast<std::uint64_t>(static_cast<std::int64_t>(c.model_id)));
        fields.u64(c.width);
        fields.u64(c.height);
        const std::size_t n = c.model_id == CameraModelId::Invalid ? 0 : c.num_params();
        texts.text(camera_model_name(c.model_id));
        for (std::size_t i = 0; i < n; ++i) {
            fields.f64(c.params[i]);
            texts.text(real(c.params[i]));
        }
        try {
            calibrations.matrix(c.calibration_matrix());
            ++with_k;
        } catch (const Panic& p) {
            calibrations.text(p.message);
        }
        record_texts.text(c.text());
    };
    auto on_image = [&](Image&& img) {
        ++images;
        fields.u64(img.camera_id);
        add_image(fields, img);
        std::string t;
        append_quaternion(t, img.rot);
        append_vector3(t, img.trans);
        texts.text(t);
        keypoints += img.num_points;
        const PackedArray<Point2D> points = img.points2D();
        for (std::size_t i = 0; i < points.size(); ++i) {
            const Point2D p = points[i];
            texts.text(real(p.x));
            texts.text(real(p.y));
        }
        rotations.matrix(img.rotation_matrix());
        record_texts.text(img.text());
        if (first_images.size() < kPoseImages) first_images.push_back(std::move(img));
    };
    auto on_point = [&](const Point3DEntry& e) {
        ++points;
        const Point3D& p = e.point;
        fields.u64(p.id);
        for (double v : {p.xyz.x, p.xyz.y, p.xyz.z, p.error}) fields.f64(v);
        const std::uint8_t rgb[3] = {p.color.r, p.color.g, p.color.b};
        fields.bytes(rgb, 3);
        fields.u64(e.track.size());
        fields.bytes(e.track.data(), e.track.size_bytes());
        track_entries += e.track.size();
        std::string t;
        append_vector3(t, p.xyz);
        t += ' ';
        append_real(t, p.error);
        texts.text(t);
        tracks.add_point(e.track);
        point_ids.push_back(p.id);
        record_texts.text(p.text(e.track.size()));
        record_texts.text(p.color.text());
    };
    read_model(dir, on_camera, on_image, on_point);

    tracks.keep_last_of_each_key(point_ids);
    Covisibility cov(std::move(tracks));
    Digest overlaps;
    std::uint64_t pairs = 0, shared_sum = 0;
    for (std::uint32_t a = 0; a < cov.num_images(); ++a) {
        cov.count_row(a);
        const std::uint32_t seen = cov.row().front().count;  // the row's own image first
        for (const Shared& s : cov.row()) {
            ++pairs;
            shared_sum += s.count;
            overlaps.u64(cov.image_id(a));
            overlaps.u64(cov.image_id(s.image));
            overlaps.u64(s.count);
            overlaps.u64(std::bit_cast<std::uint32_t>(Covisibility::fraction(s.count, seen)));
        }
    }

    print_stdout("model " + dir + "\n");
    print_stdout("  cameras " + num(cameras) + ", images " + num(images) + ", keypoints " + num(keypoints) +
                 ", points " + num(points) + ", track entries " + num(track_entries) + "\n");
    print_stdout("  fields " + fields.hex() + ", text forms " + texts.hex() + "\n");
    print_stdout("  covisibility: images " + num(cov.num_images()) + ", pairs " + num(pairs) + ", shared " +
                 num(shared_sum) + ", digest " + overlaps.hex() + "\n");

    Digest poses;
    std::uint64_t ordered_pairs = 0;
    for (const Image& a : first_images)
        for (const Image& b : first_images) {
            if (&a == &b) continue;
            const RelativePose pose = relative_pose(a, b);
            poses.matrix(pose.rotation);
            for (double v : {pose.translation.x, pose.translation.y, pose.translation.z}) poses.f64(v);
            ++ordered_pairs;
        }
    print_stdout("  rotation matrices " + rotations.hex() + ", calibration matrices " + calibrations.hex() +
                 " (" + num(with_k) + " of " + num(cameras) + " cameras)\n");
    print_stdout("  relative poses: ordered pairs of the first " + num(first_images.size()) + " images " +
                 num(ordered_pairs) + ", digest " + poses.hex() + "\n");
    print_stdout("  record texts " + record_texts.hex() + "\n");
}

std::string_view kind_name(OsErrorKind kind) {
    switch (kind) {
        case OsErrorKind::NotFound: return "not found";
        case OsErrorKind::PermissionDenied: return "permission denied";
        case OsErrorKind::Other: return "other";
        default: return "another kind";
    }
}

// Writes `bytes` to `path`.
void write_file(const std::string& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// An images.bin of `count` images with 200 keypoints each (about 4.9 kB per
// image), its values drawn from a fixed sequence.
void write_large_images_file(const std::string& path, std::uint32_t count) {
    std::string bytes;
    auto put = [&](auto v) {
        char b[sizeof v];
        std::memcpy(b, &v, sizeof v);
        bytes.append(b, sizeof v);
    };
    std::uint64_t state = 42;
    auto next = [&] { return state = state * 6364136223846793005u + 1442695040888963407u; };
    put(std::uint64_t{count});
    for (std::uint32_t i = 0; i < count; ++i) {
        put(i + 1);
        for (int k = 0; k < 7; ++k) put(static_cast<double>(next() >> 11) / 9007199254740992.0);
        put(std::uint32_t{1});
        bytes += "image_" + std::to_string(i) + ".jpg";
        bytes += '\0';
        put(std::uint64_t{200});
        for (int k = 0; k < 200; ++k)  // a braced list is evaluated left to right
            put(Point2D{static_cast<double>(next() % 4000) / 3.0, static_cast<double>(next() % 3000) / 7.0,
                        next() % 3 == 0 ? kNoPoint3D : next() % 100000});
    }
    write_file(path, bytes);
}

void describe_large_file(const std::string& scratch) {
    const std::string path = scratch + "/large_images.bin";
    write_large_images_file(path, 5000);
    Digest fields;
    std::uint64_t images = 0, keypoints = 0;
    read_images_file(path, [&](Image&& img) {
        ++images;
        add_image(fields, img);
        keypoints += img.num_points;
    });
    print_stdout("large images.bin: images " + num(images) + ", keypoints " + num(keypoints) + ", fields " +
                 fields.hex() + "\n");
}

// Runs `f` and prints what it threw.
template <class F>
void expect_failure(std::string_view label, F f) {
    std::string line = "failure " + std::string(label) + ": ";
    try {
        f();
        line += "none";
    } catch (const Panic& p) {
        line += "Panic: " + p.message;
    } catch (const OsError& e) {
        line += "OsError (" + std::string(kind_name(e.kind)) + "): " + e.message;
    }
    print_stdout(line + "\n");
}

void describe_failures(const std::string& scratch, const std::string& dir) {
    const auto no_images = [](Image&&) {};
    const auto no_points = [](const Point3DEntry&) {};
    expect_failure("missing file", [&] { read_cameras_file(dir + "/no_such_file.bin", [](Camera&&) {}); });
    expect_failure("missing directory",
                   [&] { read_model(dir + "/no_such_dir", [](Camera&&) {}, no_images, no_points); });
    expect_failure("NUL in the path",
                   [&] { read_cameras_file(std::string("cameras\0.bin", 12), [](Camera&&) {}); });
    const PageBuffer images = read_whole_file(dir + "/images.bin");
    const std::string_view images_bytes(reinterpret_cast<const char*>(images.data()), images.size());
    write_file(scratch + "/half_images.bin", images_bytes.substr(0, images_bytes.size() / 2));
    expect_failure("images.bin cut in half", [&] { read_images_file(scratch + "/half_images.bin", no_images); });
    const PageBuffer points = read_whole_file(dir + "/points3D.bin");
    const std::string_view points_bytes(reinterpret_cast<const char*>(points.data()), points.size());
    write_file(scratch + "/short_points3D.bin", points_bytes.substr(0, points_bytes.size() - 1));
    expect_failure("points3D.bin less its last byte",
                   [&] { read_points3D_file(scratch + "/short_points3D.bin", no_points); });
    const unsigned char bad_model[] = {1, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 42, 0, 0, 0};
    expect_failure("camera model 42", [&] { parse_cameras(bad_model, sizeof bad_model, [](Camera&&) {}); });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        print_stderr("usage: core_driver SCRATCH_DIR MODEL_DIR...\n");
        return 2;
    }
    try {
        std::string line = "text forms:";
        for (double v : {0.1, -0.0, 1e16, 9999999999999998.0, 1.5e-7, 1e-4, 123456.789, 5e-324,
                         std::numeric_limits<double>::max(), std::numeric_limits<double>::quiet_NaN(),
                         -std::numeric_limits<double>::infinity()})
            line += " " + real(v);
        print_stdout(line + "\n");
        const std::uint64_t r1 = random_u64(), r2 = random_u64();
        print_stdout(std::string("random bits: two draws ") + (r1 != r2 ? "differ" : "are equal") + "\n");
        for (int i = 2; i < argc; ++i) describe_model(argv[i]);
        describe_large_file(argv[1]);
        describe_failures(argv[1], argv[2]);
        print_stderr("core driver: done\n");
        return 0;
    } catch (const Panic& p) {
        print_stderr("unexpected panic: " + p.message + "\n");
    } catch (const OsError& e) {
        print_stderr("unexpected OS error: " + e.message + "\n");
    }
    return 1;
}
