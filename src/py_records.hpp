// The record classes' Python face, as the module and the other classes see
// it: the types, and new objects made from records.
#pragma once

#include "packed.hpp"
#include "point3d.hpp"
#include "py_ref.hpp"

namespace tilu {

struct Camera;
struct Color;
struct Image;

// The types of the classes: each made once, at start-up, before any object
// of it (PyInit_tilu), and kept for the process, so that afterwards they are
// only read, on any thread.
void make_camera_type();
void make_image_type();
void make_point3d_type();
void make_color_type();
PyTypeObject* camera_type();
PyTypeObject* image_type();
PyTypeObject* point3d_type();

Ref new_camera_object(Camera&& camera);
Ref new_image_object(Image&& image);
// A Point3D object with its own copy of the entry's track.
Ref new_point3d_object(const Point3DEntry& entry);
// A new Color object at every call (Point3D.color).
Ref new_color_object(const Color& color);

// The track of a Point3D object (which must be one).
PackedArray<TrackElement> point3d_track(PyObject* point);

}  // namespace tilu
