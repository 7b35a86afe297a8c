// parse_cameras on arbitrary bytes: either it parses, or it throws tilu::Panic
// (any other exception, a sanitizer report or an abort is a bug). Every field
// of every camera is read through its text and calibration matrix, and every
// parameter goes through the text form, whose digits must read back to the
// very same double.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "colmap_io.hpp"
#include "text_forms.hpp"

static void check_text_round_trip(double v) {
    std::string text;
    tilu::append_real(text, v);
    const double back = std::strtod(text.c_str(), nullptr);
    if (std::isnan(v) ? !std::isnan(back) : std::memcmp(&v, &back, sizeof v) != 0) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint64_t records = 0;
    try {
        tilu::parse_cameras(data, size, [&](tilu::Camera&& cam) {
            ++records;
            const std::size_t n = cam.num_params();
            if (n < 3 || n > tilu::kMaxCameraParams) std::abort();
            if (cam.text().empty()) std::abort();
            const bool pinhole =
                cam.model_id == tilu::CameraModelId::SimplePinhole || cam.model_id == tilu::CameraModelId::Pinhole;
            try {
                if (cam.calibration_matrix()[2][2] != 1.0 || !pinhole) std::abort();
            } catch (const tilu::Panic&) {
                if (pinhole) std::abort();
            }
            for (std::size_t k = 0; k < n; ++k) check_text_round_trip(cam.params[k]);
        });
    } catch (const tilu::Panic&) {
    }
    // A camera takes at least 24 + 8 * 3 bytes after the 8-byte count.
    if (records > 0 && 8 + records * 48 > size) std::abort();
    return 0;
}
