"""Reads COLMAP binary sparse models (cameras.bin, images.bin, points3D.bin)
into read-only objects and computes image covisibility and relative poses.

Every dict that tilu returns has no fixed key order (it may change from
call to call). Malformed file content raises PanicException, which derives from
BaseException and is not an attribute of this module; operating-system errors
raise the matching OSError subclass with a single message argument.
"""

from typing import NoReturn, final

__all__ = [
    "Camera",
    "Image",
    "Point3D",
    "read_images_bin",
    "read_cameras_bin",
    "read_points3D_bin",
    "compute_overlaps",
    "compute_overlap_percentages",
    "read_reconstruction_bin",
]

@final
class Camera:
    """One camera of a model: image size, projection model and its parameters.

    Made only by the readers; calling the class raises TypeError.
    str() and repr() give "<Camera ID: 1, width: 640, height: 480, model: Pinhole>".
    """

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn:
        """Always raises TypeError("No constructor defined")."""

    @property
    def camera_id(self) -> int:
        """Identifier of the camera (unsigned 32-bit)."""

    @property
    def width(self) -> int:
        """Image width in pixels."""

    @property
    def height(self) -> int:
        """Image height in pixels."""

    @property
    def params(self) -> list[float]:
        """The model's parameters in stored order (a fresh list on every read)."""

    @property
    def model_id(self) -> str:
        """Name of the camera model, e.g. "Pinhole" or "OpenCV" (not its number)."""

    def K(self) -> list[list[float]]:
        """Calibration matrix, row by row, for "Simple Pinhole" and "Pinhole" cameras.

        Any other model raises PanicException("Not implemented").
        """

@final
class Image:
    """One registered image: pose, file name and 2D keypoints.

    The pose maps world points into the camera frame: x_cam = rot @ x_world + trans.
    Made only by the readers; calling the class raises TypeError.
    """

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn:
        """Always raises TypeError("No constructor defined")."""

    @property
    def image_id(self) -> int:
        """Identifier of the image (unsigned 32-bit)."""

    @property
    def camera_id(self) -> int:
        """Identifier of the camera that took the image (not checked against cameras.bin)."""

    @property
    def name(self) -> str:
        """File name stored in the model (invalid UTF-8 decoded with U+FFFD)."""

    @property
    def rot(self) -> list[list[float]]:
        """Rotation matrix of the stored quaternion, as three row lists; not normalised."""

    @property
    def trans(self) -> list[float]:
        """Translation [x, y, z] of the pose."""

    @property
    def points2D(self) -> list[list[float]]:
        """All keypoints as [x, y] lists, in stored order."""

    @property
    def point3D_ids(self) -> list[int]:
        """One 3D point identifier per keypoint; 18446744073709551615 marks "no 3D point"."""

    def get_tracked_point3D_ids(self) -> list[int]:
        """The entries of point3D_ids that are not the no-point marker, in order."""

    def get_tracked_points2D(self) -> list[list[float]]:
        """The keypoints that observe a 3D point, aligned with get_tracked_point3D_ids()."""

    def relative_pose_from(self, other: Image) -> tuple[list[list[float]], list[float]]:
        """(R, t) mapping other's camera frame into this image's camera frame.

        R is 3 row lists, t is [x, y, z]: x_self = R @ x_other + t.
        """

    def relative_pose_to(self, other: Image) -> tuple[list[list[float]], list[float]]:
        """Same as other.relative_pose_from(self): maps this image's frame into other's."""

@final
class Color:
    """RGB colour of a 3D point, read through Point3D.color.

    Exists for type checking only: at run time the class is builtins.Color and
    is not an attribute of tilu, so import it under ``if TYPE_CHECKING:``.
    """

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn:
        """Always raises TypeError("No constructor defined")."""

    @property
    def r(self) -> int:
        """Red, 0 to 255."""

    @property
    def g(self) -> int:
        """Green, 0 to 255."""

    @property
    def b(self) -> int:
        """Blue, 0 to 255."""

@final
class Point3D:
    """One triangulated 3D point: position, colour, error and track.

    Made only by the readers; calling the class raises TypeError.
    """

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn:
        """Always raises TypeError("No constructor defined")."""

    @property
    def id(self) -> int:
        """Identifier of the point (unsigned 64-bit)."""

    @property
    def xyz(self) -> list[float]:
        """Position [x, y, z] in world coordinates."""

    @property
    def color(self) -> Color:
        """A new Color object on every read."""

    @property
    def error(self) -> float:
        """Error value stored with the point (reprojection error in COLMAP)."""

    @property
    def track(self) -> list[tuple[int, int]]:
        """Observations as (image_id, index into that image's points2D) tuples."""

def read_cameras_bin(path: str) -> dict[int, Camera]:
    """Reads a cameras.bin file into {camera_id: Camera}."""

def read_images_bin(path: str) -> dict[int, Image]:
    """Reads an images.bin file into {image_id: Image}."""

def read_points3D_bin(path: str) -> dict[int, Point3D]:
    """Reads a points3D.bin file into {point3D_id: Point3D}."""

def read_reconstruction_bin(
    path: str,
) -> tuple[dict[int, Camera], dict[int, Image], dict[int, Point3D]]:
    """Reads the model directory path (cameras.bin, images.bin, points3D.bin).

    Returns (cameras, images, points3D); the path must be a str, not a Path.
    """

def compute_overlaps(points3D: dict[int, Point3D]) -> dict[int, dict[int, int]]:
    """Covisibility counts: result[a][b] is the number of 3D points seen by both a and b.

    result[a][a] is the number of points that a sees; only nonzero entries exist.
    Prints two progress lines on file descriptor 1.
    """

def compute_overlap_percentages(
    points3D: dict[int, Point3D],
) -> dict[int, dict[int, float]]:
    """Covisibility fractions: result[a][b] = shared(a, b) / points seen by a (b != a).

    Computed in single precision; no diagonal entries; images that share no point
    with another image are absent. Prints four progress lines on file descriptor 1.
    """
