// Camera projection models and the camera record.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "errors.hpp"

namespace tilu {

// The number of each model is the value stored in cameras.bin.
enum class CameraModelId : std::int32_t {
    Invalid = -1,
    SimplePinhole = 0,
    Pinhole = 1,
    SimpleRadial = 2,
    Radial = 3,
    OpenCV = 4,
    OpenCVFisheye = 5,
    FullOpenCV = 6,
    FOV = 7,
    SimpleRadialFisheye = 8,
    RadialFisheye = 9,
    ThinPrismFisheye = 10,
};

inline constexpr std::size_t kMaxCameraParams = 12;

inline CameraModelId camera_model_from_number(std::int32_t number) {
    if (number < -1 || number > 10) throw Panic("Invalid enum value");
    return static_cast<CameraModelId>(number);
}

inline std::size_t camera_model_param_count(CameraModelId model) {
    static constexpr std::uint8_t counts[] = {3, 4, 4, 5, 8, 8, 12, 5, 4, 5, 12};
    if (model == CameraModelId::Invalid) throw Panic("Cannot get params for invalid camera");
    return counts[static_cast<int>(model)];
}

inline std::string_view camera_model_name(CameraModelId model) {
    static constexpr std::string_view names[] = {
        "Simple Pinhole", "Pinhole",         "Simple Radial",         "Radial",
        "OpenCV",         "OpenCV Fisheye",  "Full OpenCV",           "FOV",
        "Simple Radial Fisheye", "Radial Fisheye", "Thin Prism Fisheye",
    };
    auto n = static_cast<int>(model);
    return n >= 0 && n <= 10 ? names[n] : std::string_view("Invalid");
}

struct Camera {
    std::uint32_t camera_id = 0;
    CameraModelId model_id = CameraModelId::Invalid;
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    // The first camera_model_param_count(model_id) entries are the parameters.
    std::array<double, kMaxCameraParams> params{};

    std::size_t num_params() const { return camera_model_param_count(model_id); }
};

}  // namespace tilu
