// The Camera record's computations: calibration matrix, text form.
#include "camera_models.hpp"

#include "messages.hpp"
#include "text_forms.hpp"

namespace tilu {

// Parameters copied bit for bit.
Matrix3 Camera::calibration_matrix() const {
    const auto& p = params;
    switch (model_id) {
        case CameraModelId::SimplePinhole: return {{{p[0], 0.0, p[1]}, {0.0, p[0], p[2]}, {0.0, 0.0, 1.0}}};
        case CameraModelId::Pinhole: return {{{p[0], 0.0, p[2]}, {0.0, p[1], p[3]}, {0.0, 0.0, 1.0}}};
        default: throw Panic(messages::kNoCalibrationMatrix);
    }
}

std::string Camera::text() const {
    std::string s = "<Camera ID: ";
    append_uint(s, camera_id);
    s += ", width: ";
    append_uint(s, width);
    s += ", height: ";
    append_uint(s, height);
    s += ", model: ";
    s += camera_model_name(model_id);
    s += '>';
    return s;
}

}  // namespace tilu
