// Readers of the COLMAP binary model files. Nothing here calls the Python API:
// each parser walks one byte buffer and hands every finished record to a sink
// supplied by the caller, so no intermediate map of a model ever exists.
//
// Conventions of all three files: little-endian fields packed without
// padding; a u64 count of records first; every field checked against the
// buffer before its bytes are used (Panic "range end index E out of range for
// slice of length N" otherwise); counts from a file never size an allocation
// beyond what the rest of the buffer can hold; bytes after the last record
// are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "camera_models.hpp"
#include "function_ref.hpp"
#include "image.hpp"
#include "platform.hpp"
#include "point3d.hpp"
#include "shared_file.hpp"

namespace tilu {

using CameraSink = FunctionRef<void(Camera&&)>;
using ImageSink = FunctionRef<void(Image&&)>;
using Point3DSink = FunctionRef<void(const Point3DEntry&)>;

// Each parser reads its bytes front to back. Every thousand records or so
// (fewer when they carry many keypoints or track entries) it calls
// interrupt_point(), which may end the parse.
// parse_cameras and parse_points3D read the `size` bytes at `data`; when
// `source` is the buffer holding them, it is told after every record how far
// parsing has got.
void parse_cameras(const unsigned char* data, std::size_t size, CameraSink sink);
void parse_points3D(const unsigned char* data, std::size_t size, Point3DSink sink,
                    PageBuffer* source = nullptr);
// Reads the bytes of `file`, telling it after every record how far parsing
// has got. Each image's keypoints stay in the file, lent to the image.
void parse_images(SharedFile& file, ImageSink sink);

// Each reads the file at `path` whole (read_whole_file) and parses it into
// `sink`. The file's buffer is released before they return, but for the
// pages of images.bin that the images keep.
void read_cameras_file(std::string_view path, CameraSink sink);
void read_images_file(std::string_view path, ImageSink sink);
void read_points3D_file(std::string_view path, Point3DSink sink);

// The model in directory `dir`: dir + "/cameras.bin", then "/images.bin",
// then "/points3D.bin", strictly in this order, one file in memory at a time.
// The first failure ends the call; what the sinks got so far is then the
// caller's to discard.
void read_model(std::string_view dir, CameraSink cameras, ImageSink images, Point3DSink points);

}  // namespace tilu
