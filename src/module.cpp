// The module tilu: its six functions and its start-up. The reading and the
// counting are done by the core (colmap_io, utils); arguments, failures,
// values and dicts by the Python helpers (py_args, py_errors, py_values,
// py_dicts); the record objects by the record classes (py_records.hpp).
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "colmap_io.hpp"
#include "errors.hpp"
#include "interrupt.hpp"
#include "messages.hpp"
#include "platform.hpp"
#include "py_args.hpp"
#include "py_dicts.hpp"
#include "py_errors.hpp"
#include "py_records.hpp"
#include "py_values.hpp"
#include "utils.hpp"

namespace tilu {
namespace {

using Args = PyObject* const*;

// --- read_cameras_bin, read_images_bin, read_points3D_bin, read_reconstruction_bin ---

// Sinks that set each record into `dict` under its identifier, in the file's
// order, so that of two records with the same identifier the later one stays.
// (Filled in ascending order of identifier instead, a dict of a million
// points is built no faster here, and all its objects would wait for it.)
auto cameras_into(PyObject* dict) {
    return [into = DictFiller(dict)](Camera&& cam) mutable {
        into.set(py_uint(cam.camera_id), new_camera_object(std::move(cam)));
    };
}
auto images_into(PyObject* dict) {
    return [into = DictFiller(dict)](Image&& img) mutable {
        into.set(py_uint(img.image_id), new_image_object(std::move(img)));
    };
}
auto points3D_into(PyObject* dict) {
    return [into = DictFiller(dict)](const Point3DEntry& e) mutable {
        into.set(py_uint(e.point.id), new_point3d_object(e));
    };
}

// A function reading the model file at its argument into a dict: `read` is the
// file's reader, `sink_into` makes its sink.
template <const char* full_name, auto read, auto sink_into>
PyObject* read_file_into_dict(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* arg = bind_single_arg(args, nargs, kwnames, full_name, "path");
        const std::string_view path = convert_path_arg(arg, "path");
        Ref dict = new_hidden_dict();
        read(path, sink_into(dict.get()));
        reveal_dict(dict.get());
        return dict.release();
    });
}

constexpr char kReadCameras[] = "read_cameras_bin()";
constexpr char kReadImages[] = "read_images_bin()";
constexpr char kReadPoints3D[] = "read_points3D_bin()";
constexpr auto read_cameras_bin = read_file_into_dict<kReadCameras, read_cameras_file, cameras_into>;
constexpr auto read_images_bin = read_file_into_dict<kReadImages, read_images_file, images_into>;
constexpr auto read_points3D_bin = read_file_into_dict<kReadPoints3D, read_points3D_file, points3D_into>;

PyObject* read_reconstruction_bin(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* arg = bind_single_arg(args, nargs, kwnames, "read_reconstruction_bin()", "path");
        const std::string_view dir = convert_path_arg(arg, "path");
        Ref cameras = new_hidden_dict(), images = new_hidden_dict(), points = new_hidden_dict();
        read_model(dir, cameras_into(cameras.get()), images_into(images.get()), points3D_into(points.get()));
        for (const Ref* dict : {&cameras, &images, &points}) reveal_dict(dict->get());
        return Ref::check(PyTuple_Pack(3, cameras.get(), images.get(), points.get())).release();
    });
}

// --- compute_overlaps, compute_overlap_percentages -------------------------------------

// The tracks of a dict of Point3D objects, copied out of the objects.
// Entries are taken in the dict's order; of two keys converting to the same
// integer the later one's point is kept.
//
// Threads: other threads may change the dict meanwhile. Its items are read
// holding its lock (CriticalSection: the tracks then come from one state of
// the dict), each key and point held by a reference of the call's own.
// Python code that runs here (a key's __index__, a signal handler) may wait,
// and the lock is let go while it does: a dict then changed in size or keys
// ends the call with the panic that a change by the same thread gets.
TrackImages convert_points3D_arg(PyObject* obj) {
    constexpr const char* param = "points3D";
    if (!PyDict_Check(obj)) throw_conversion_error(obj, messages::kTargetPoints3D, param);
    const CriticalSection lock(obj);
    const Py_ssize_t initial = PyDict_Size(obj);
    TrackImages tracks;
    tracks.offsets.reserve(static_cast<std::size_t>(initial) + 1);
    std::vector<std::uint64_t> keys;
    keys.reserve(static_cast<std::size_t>(initial));
    bool keys_may_repeat = false;

    Py_ssize_t pos = 0, remaining = initial;
    PyObject *key_b, *value_b;
    InterruptCountdown countdown;
    for (;;) {
        // Only Python code run by a key's __index__ or by a signal handler
        // (from countdown below) can change the dict here.
        if (PyDict_Size(obj) != initial) throw Panic(messages::kDictChangedSize);
        if (remaining == -1) throw Panic(messages::kDictKeysChanged);
        if (!PyDict_Next(obj, &pos, &key_b, &value_b)) break;
        --remaining;
        Ref key = Ref::borrow(key_b), value = Ref::borrow(value_b);

        // Exact ints are their own index, and distinct ones distinct integers;
        // a key of any other type goes through __index__ and may convert to
        // the value of another key.
        Ref index;
        if (!PyLong_CheckExact(key.get())) {
            keys_may_repeat = true;
            index = Ref::steal(PyNumber_Index(key.get()));
            if (!index) rethrow_with_arg_prefix(param);
        }
        const unsigned long long id = PyLong_AsUnsignedLongLong(index ? index.get() : key.get());
        if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) rethrow_with_arg_prefix(param);

        if (Py_TYPE(value.get()) != point3d_type())
            throw_conversion_error(value.get(), messages::kTargetPoint3D, param);
        const PackedArray<TrackElement> track = point3d_track(value.get());
        countdown(InterruptCountdown::kObject + track.size() * InterruptCountdown::kEntry);
        tracks.add_point(track);  // `value` is held: its track stays
        keys.push_back(id);
    }
    if (keys_may_repeat) tracks.keep_last_of_each_key(keys);
    return tracks;
}

// One int per image identifier, shared by every dict that names the image.
std::vector<Ref> image_keys(const Covisibility& cov, CallInts& ints) {
    std::vector<Ref> keys;
    keys.reserve(cov.num_images());
    for (std::uint32_t i = 0; i < cov.num_images(); ++i) keys.push_back(ints(cov.image_id(i)));
    return keys;
}

// The counting shared by both covisibility functions: binds and converts the
// argument, writes the first two progress lines around the counting (and
// `rows_lines`, if any, around making the rows), then builds
// {image: row_dict(row, keys, ints)} leaving out the images for which row_dict
// returns nothing. The images come in ascending order of identifier.
//
// Signal handlers run between rows: the rows wait, hidden from the garbage
// collector, in a C++ array, and go into the result only once all are made,
// with no look for signals in between. So a handler never sees, nor changes,
// a result that lacks rows.
template <class RowDict>
Ref covisibility_dict(Args args, Py_ssize_t nargs, PyObject* kwnames, const char* full_name,
                      std::array<const char*, 2> rows_lines, RowDict row_dict) {
    PyObject* arg = bind_single_arg(args, nargs, kwnames, full_name, "points3D");
    TrackImages tracks = convert_points3D_arg(arg);
    print_stdout(messages::kComputingOverlaps);
    Covisibility cov(std::move(tracks));
    print_stdout(messages::kDoneOverlaps);
    if (rows_lines[0]) print_stdout(rows_lines[0]);

    CallInts ints;
    std::vector<Ref> keys = image_keys(cov, ints);
    std::vector<Ref> rows(cov.num_images());
    InterruptCountdown countdown;
    for (std::uint32_t a = 0; a < cov.num_images(); ++a) {
        cov.count_row(a);
        countdown(cov.row().size() * InterruptCountdown::kObject);
        rows[a] = row_dict(cov.row(), keys, ints);
    }
    if (rows_lines[1]) print_stdout(rows_lines[1]);
    Ref result = new_dict(cov.num_images());
    for (std::uint32_t a = 0; a < cov.num_images(); ++a) {
        if (!rows[a]) continue;
        reveal_dict(rows[a].get());
        dict_set(result.get(), keys[a], rows[a]);
    }
    return result;
}

PyObject* compute_overlaps(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        // The row's own image first, then the others in ascending order: the
        // own one goes in where it belongs among them.
        auto counts = [](std::span<const Shared> row, const std::vector<Ref>& keys, CallInts& ints) {
            Ref dict = new_hidden_dict(row.size());
            const Shared own = row[0];
            const auto later = std::find_if(row.begin() + 1, row.end(),
                                            [&](Shared e) { return e.image > own.image; });
            auto set = [&](Shared e) { dict_set(dict.get(), keys[e.image], ints(e.count)); };
            std::for_each(row.begin() + 1, later, set);
            set(own);
            std::for_each(later, row.end(), set);
            return dict;
        };
        return covisibility_dict(args, nargs, kwnames, "compute_overlaps()", {}, counts).release();
    });
}

PyObject* compute_overlap_percentages(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        // The fractions of a's points, without a itself; nothing for an image
        // whose points no other image sees. Within a row the fraction depends
        // on the count alone: one float per small count, held by the row.
        auto fractions = [](std::span<const Shared> row, const std::vector<Ref>& keys, CallInts&) {
            if (row.size() < 2) return Ref();
            const std::uint32_t seen = row[0].count;
            Ref dict = new_hidden_dict(row.size() - 1);
            constexpr std::uint32_t kSharedFloats = 64;
            PyObject* floats[kSharedFloats] = {};
            for (Shared e : row.subspan(1)) {
                PyObject** slot = e.count < kSharedFloats ? &floats[e.count] : nullptr;
                if (slot && *slot) {
                    check_status(PyDict_SetItem(dict.get(), keys[e.image].get(), *slot));
                    continue;
                }
                Ref value = py_float(static_cast<double>(Covisibility::fraction(e.count, seen)));
                dict_set(dict.get(), keys[e.image], value);
                if (slot) *slot = value.get();
            }
            return dict;
        };
        return covisibility_dict(args, nargs, kwnames, "compute_overlap_percentages()",
                                 {messages::kComputingPercentages, messages::kDonePercentages}, fractions)
            .release();
    });
}

// --- start-up ----------------------------------------------------------------------

#define TILU_FUNCTION(name, param) \
    PyMethodDef { #name, as_pycfunction(name), METH_FASTCALL | METH_KEYWORDS, #name "(" param ")\n--\n\n" }

PyMethodDef kFunctions[] = {
    TILU_FUNCTION(read_images_bin, "path"),
    TILU_FUNCTION(read_cameras_bin, "path"),
    TILU_FUNCTION(read_points3D_bin, "path"),
    TILU_FUNCTION(compute_overlaps, "points3D"),
    TILU_FUNCTION(compute_overlap_percentages, "points3D"),
    TILU_FUNCTION(read_reconstruction_bin, "path"),
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "tilu",
    "Python module implemented natively in C++ that reads COLMAP binary sparse models.",
    0,  // no per-module state: CPython calls PyInit_tilu again on re-import
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_first_interpreter{-1};
PyObject* g_module = nullptr;

// Appends `name` to __all__ (made at the first registration), then sets the
// attribute.
void add_to_module(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrAlreadySet{};
        PyErr_Clear();
        all = Ref::check(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    Ref py_name = Ref::check(PyUnicode_FromString(name));
    check_status(PyList_Append(all.get(), py_name.get()));
    check_status(PyObject_SetAttr(module, py_name.get(), value));
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) throw PyErrAlreadySet{};
    std::int64_t expected = -1;
    if (!g_first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, messages::kSubinterpreters);
        throw PyErrAlreadySet{};
    }
    if (g_module) return Py_NewRef(g_module);

    // What the process keeps, made here once (again only after a failed
    // import) and only read from then on, on any thread.
    static bool made = false;
    if (!made) {
        make_panic_exception();
        make_shared_ints();
        make_camera_type();
        make_image_type();
        make_point3d_type();
        make_color_type();
        set_interrupt_hook(run_signal_handlers);
        made = true;
    }
    Ref module = Ref::check(PyModule_Create(&kModuleDef));
#ifdef Py_GIL_DISABLED
    // Safe without the interpreter lock: see "Threads" in src/README.md.
    check_status(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED));
#endif
    add_to_module(module.get(), "Camera", reinterpret_cast<PyObject*>(camera_type()));
    add_to_module(module.get(), "Image", reinterpret_cast<PyObject*>(image_type()));
    add_to_module(module.get(), "Point3D", reinterpret_cast<PyObject*>(point3d_type()));
    Ref module_name = Ref::check(PyUnicode_FromString("tilu"));
    for (PyMethodDef& def : kFunctions) {
        Ref fn = Ref::check(PyCFunction_NewEx(&def, module.get(), module_name.get()));
        add_to_module(module.get(), def.ml_name, fn.get());
    }
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace tilu

PyMODINIT_FUNC PyInit_tilu(void) {
    return tilu::guarded([] { return tilu::init_module(); });
}
