// Camera projection models (their numbers, names and parameter counts) and
// the camera record.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "messages.hpp"
#include "types.hpp"

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

struct CameraModel {
    CameraModelId id;
    std::string_view name;
    std::uint8_t num_params;
};

// Every valid model, at the index of its number: the numbers a file may hold
// (besides -1, Invalid), the names and the parameter counts all come from here.
inline constexpr CameraModel kCameraModels[] = {
    {CameraModelId::SimplePinhole, "Simple Pinhole", 3},
    {CameraModelId::Pinhole, "Pinhole", 4},
    {CameraModelId::SimpleRadial, "Simple Radial", 4},
    {CameraModelId::Radial, "Radial", 5},
    {CameraModelId::OpenCV, "OpenCV", 8},
    {CameraModelId::OpenCVFisheye, "OpenCV Fisheye", 8},
    {CameraModelId::FullOpenCV, "Full OpenCV", 12},
    {CameraModelId::FOV, "FOV", 5},
    {CameraModelId::SimpleRadialFisheye, "Simple Radial Fisheye", 4},
    {CameraModelId::RadialFisheye, "Radial Fisheye", 5},
    {CameraModelId::ThinPrismFisheye, "Thin Prism Fisheye", 12},
};
inline constexpr std::int32_t kNumCameraModels = static_cast<std::int32_t>(std::size(kCameraModels));
static_assert([] {
    for (std::int32_t n = 0; n < kNumCameraModels; ++n)
        if (static_cast<std::int32_t>(kCameraModels[n].id) != n) return false;
    return true;
}(), "each model sits at the index of its number");

inline constexpr std::size_t kMaxCameraParams =
    std::ranges::max(kCameraModels, {}, &CameraModel::num_params).num_params;

inline CameraModelId camera_model_from_number(std::int32_t number) {
    if (number < -1 || number >= kNumCameraModels) throw Panic(messages::kInvalidModelNumber);
    return static_cast<CameraModelId>(number);
}

inline std::size_t camera_model_param_count(CameraModelId model) {
    if (model == CameraModelId::Invalid) throw Panic(messages::kInvalidModelParams);
    return kCameraModels[static_cast<std::int32_t>(model)].num_params;
}

inline std::string_view camera_model_name(CameraModelId model) {
    if (model == CameraModelId::Invalid) return "Invalid";
    return kCameraModels[static_cast<std::int32_t>(model)].name;
}

struct Camera {
    std::uint32_t camera_id = 0;
    CameraModelId model_id = CameraModelId::Invalid;
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    // The first camera_model_param_count(model_id) entries are the parameters.
    std::array<double, kMaxCameraParams> params{};

    std::size_t num_params() const { return camera_model_param_count(model_id); }

    // The calibration matrix of the two pinhole models, row by row; Panic
    // "Not implemented" for the others.
    Matrix3 calibration_matrix() const;
    // "<Camera ID: id, width: w, height: h, model: name>"
    std::string text() const;
};

}  // namespace tilu
