"""kalmex: split-and-merge segmentation and the toolbox's other cores for NumPy.

The functions run the same C++ cores as the MATLAB and Octave modules of the
same names and give the same results, bit for bit.

:func:`regionseg` and :func:`regionseg_file` speak NumPy's order, as
scikit-image and tifffile do: a picture is (rows, columns), a colour picture
(rows, columns, 3), a volume (planes, rows, columns), and a snapshot stack
has its own leading axis.  Their labels equal those of MATLAB and Octave for
the same image in MATLAB's order (rows, columns, planes), the axes moved.
Their arrays are read where they lie, in any layout, without a copy.

:func:`regionseg_core`, :func:`split_merge` and the other functions keep
the modules' own order: axis 0 is MATLAB's first dimension (the rows of a
picture), axis 1 the second, axis 2 the planes of a volume, and a snapshot
stack's last axis the snapshots.  Arrays in C or Fortran order are both
taken; those already in Fortran order are read without a copy.

Every function releases the interpreter lock while its core runs, so
threads (and Dask workers, see :mod:`kalmex.dask`) run in parallel.

Errors carry the modules' own messages: :class:`ValueError` for a value the
module refuses, :class:`TypeError` for an argument of the wrong type,
:class:`MemoryError` for a segmentation that memory runs short for (saying
what ran short; nothing is returned).  Ctrl-C stops a segmentation on the
main thread within a few milliseconds (:class:`KeyboardInterrupt`); one on
another thread (or a Dask worker) cannot see it, as Python delivers
signals to the main thread only, and runs to its end.

Each function's help shows it at work; :func:`regionseg` is the one to
start with.
"""

from __future__ import annotations

import inspect
import os
from typing import Any, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _kalmex, _progress

__all__ = [
    "SegParams",
    "LowRangeWarning",
    "regionseg",
    "regionseg_file",
    "regionseg_core",
    "split_merge",
    "edgethin",
    "tiffmend",
    "kal_peakfit",
    "kal_turnvolume",
    "kal_troughfind",
]
__version__ = "0.1.0"

SegParams = _kalmex.SegParams


class LowRangeWarning(UserWarning):
    """An image that its scale brings to fewer than 32 grey values although
    it holds more distinct values than that: 12-bit camera data in a uint16
    array under ``scale="class"`` (0..4095 of 0..65535 become the grey
    values 0..16), a float image in 0..0.05.  The message names the range
    found, the grey values it became and the cure, ``scale="minmax"``.  The
    labels are those of the scale as asked; the warning is once a call."""


ArrayLike = Union[np.ndarray, Sequence]
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

def regionseg(image: ArrayLike, *args, **kwargs) -> Union[np.ndarray, Tuple[np.ndarray, np.ndarray]]:
    """Segment a 2-D or 3-D image into homogeneous regions by split and merge.

    The image is tiled by square (2-D) or cubic (3-D) blocks, homogeneous
    neighbouring blocks are merged, inhomogeneous ones split, and the blocks
    are grown into regions.  The grey values are brought to 0..255 as
    `scale` says, and the tree of blocks is the smallest of power-of-two
    sides that covers the image, its pixels outside the image absent from
    every block, region and size: all as ``regionseg`` does in MATLAB and
    Octave, with the same options, defaults and messages.

    Pixels are neighbours when they share a face: 4 neighbours a pixel in a
    picture, 6 a voxel in a volume, never across an edge or a corner.  The
    result depends on the image's orientation: the tree of blocks and the
    order of the region list see the axes in MATLAB's order (rows, columns,
    planes), so a transposed array may give a slightly different
    segmentation.

    Parameters
    ----------
    image : array_like
        A picture (rows, columns) or a volume (planes, rows, columns) of any
        integer, floating-point or bool dtype, not empty, without NaN; at
        most 2**30 voxels and 65536 pixels a side.  A 3-D array whose last
        axis is 3 is a colour picture (rows, columns, 3) of any dtype,
        turned grey (0.299 R + 0.587 G + 0.114 B in the dtype's range,
        rounded for an integer dtype, then scaled as `scale` says), and one
        whose last axis is 4 a colour picture with alpha (rows, columns, 4),
        as ``skimage.io.imread`` and PIL give a PNG with alpha: its alpha is
        passed over, as :func:`regionseg_file` passes over a file's, so the
        array and its file give the same labels.  With `rgb` ``"volume"``
        either is a volume of planes of 3 or 4 columns, as every other 3-D
        array.
    criterion : str or int
        How homogeneity is judged: ``"range"`` (maximum - minimum <=
        threshold), ``"range_mean"``, ``"robust_range"``, ``"chi2_variance"``,
        ``"scaled_variance"``, or the number 1 to 5 of one of these.
    threshold : int
        Whole number >= 0, in grey values.
    start_level : int, optional
        The initial blocks have sides of ``2**start_level`` pixels, 0 to
        L - 1 for a tree of ``2**L`` pixels a side; default ``min(3, L - 1)``.
    grouping : str
        ``"sequential"`` or ``"parallel"`` (seed regions grow in turns first).
    seeds : int
        Seed regions of parallel grouping, >= 1.
    seed_any_level : bool
        Seeds from any block level.
    min_region_size : int
        Whole number >= 0: regions of fewer pixels are merged into their
        most similar neighbour; 0 keeps them.
    keep_small_stats : bool
        A merged small region adds its statistics to the region taking it.
    outlier_fraction : float
        ``"robust_range"``: tolerated fraction of outliers, 0 to 1.
    noise_sigma : float
        Variance criteria: the noise standard deviation, >= 0.
    confidence : float
        ``"chi2_variance"``: 0.5, 0.75 or 0.9.
    size_factor : float
        ``"scaled_variance"``: the factor of the limit, >= 0.
    scale : str
        ``"class"``: as the dtype says, uint8 as it is, uint16 from
        0..65535, floating point from 0..1, bool False/True to 0/255; int8,
        int16, int32, int64, uint32 and uint64 (Python's ints too), whose
        range is never an image's, as they are when they all lie in 0..255,
        and otherwise refused.  ``"none"``: whole numbers 0..255 as they
        are; ``"minmax"``: the image's range to 0..255; ``"clip"``: rounded
        and clipped to 0..255.  Whatever the dtype, a scale that would bring
        an image of several values less than one grey value apart is
        refused (a uint16 image holding 0..255 under ``"class"``: use
        ``"clip"``), naming ``"minmax"`` and ``"clip"``.  One that brings
        an image of more than 32 distinct values to fewer than 32 grey
        values warns (:class:`LowRangeWarning`, naming ``scale="minmax"``):
        a 12-bit camera's 0..4095 in a uint16 array become 0..16.
    rgb : str
        ``"grey"``, or ``"volume"``: a 3-D array whose last axis is 3 or 4 is
        a volume (planes, rows, columns) too.
    flat_levels : int, optional
        3-D only: block levels that stay one plane thick, 0 to 16; default
        the fewest that fit the planes.
    snapshot_budget : float
        With `return_snapshots` only: the memory the snapshots may take,
        bytes above 1, a fraction of the physical memory up to 1.  A longer
        run keeps its first snapshots and its final state and warns
        (:class:`RuntimeWarning`).  The final state always has its
        snapshot: fewer bytes are refused, naming the smallest budget that
        works; a smaller fraction is raised to it.
    verbose : bool
        Print the progress lines of the run to ``sys.stdout``; nothing is
        printed without it.
    return_snapshots : bool
        Also return the snapshot stack.
    progress : bool or callable
        True: show how far the run is as a bar on ``sys.stderr`` (tqdm's
        when it is installed and the terminal's width is known, else one
        line of the percentage and the stage, written over as it changes).  A
        callable instead is called as ``progress(stage, done)`` with the
        stage's name (``"grouping"``, ...) and how far the whole run is, 0
        to 1: at the start of each stage, every 50 ms or so between, and
        with 1 at the end.  It runs on the calling thread, holding the
        interpreter lock; an exception it raises stops the run and comes out
        of the call.
    threads : int, optional
        The threads the run may use, 1 to 1024, for an image of 512 x 1024
        pixels or more (smaller ones run on one).  Default: the environment
        variable KALMEX_THREADS (a whole number 1 to 1024), else one thread
        per core, as for ``regionseg`` in Octave and for ``kalseg``; any
        other value of KALMEX_THREADS is passed over with a
        :class:`RuntimeWarning`.  The result is the same for every count.

    Returns
    -------
    labels : numpy.ndarray
        int32 array of the image's shape (a colour picture's rows and
        columns): the region of every pixel, 1 for the largest region, 2
        for the next, and so on.
    snapshots : numpy.ndarray
        With `return_snapshots`: int32 array of the labels' shape after a
        leading axis of snapshots, the stages of the painting (the first the
        start blocks, the last the final state), each value one more than
        the value painted.

    Warns
    -----
    LowRangeWarning
        The scale brings the image to a few grey values (see `scale`).
    RuntimeWarning
        The snapshots reached `snapshot_budget`.

    Raises
    ------
    ValueError
        An option or the image is refused ("regionseg: unknown option ...",
        "regionseg: option 'threshold' must be a whole number 0 to 2147483647.", ...).
    TypeError
        The image is not a real numeric or bool array, or an option is not
        a keyword of this function.
    MemoryError
        Memory ran short: "Out of memory during STAGE: STRUCTURE (N bytes)
        could not be allocated."
    KeyboardInterrupt
        Ctrl-C during the run (on the main thread).

    Examples
    --------
    >>> import numpy as np
    >>> import kalmex
    >>> image = np.zeros((20, 30), dtype=np.uint8)
    >>> image[:, 16:] = 120
    >>> image[4:10, 4:10] = 220
    >>> labels = kalmex.regionseg(image, threshold=10)
    >>> labels.shape, int(labels.max())
    ((20, 30), 3)
    >>> [int(labels[0, 0]), int(labels[0, -1]), int(labels[5, 5])]
    [1, 2, 3]
    >>> labels, snapshots = kalmex.regionseg(image, threshold=10, return_snapshots=True)
    >>> snapshots.shape[1:]
    (20, 30)
    >>> volume = np.zeros((4, 20, 30), dtype=np.uint8)   # planes, rows, columns
    >>> volume[3:] = 200
    >>> kalmex.regionseg(volume, threshold=10)[:, 0, 0].tolist()
    [1, 1, 1, 2]
    >>> kalmex.regionseg(image, threshold=-1)
    Traceback (most recent call last):
    ...
    ValueError: regionseg: option 'threshold' must be a whole number 0 to 2147483647.
    """
    given = _REGIONSEG_SIGNATURE.bind(image, *args, **kwargs).arguments
    options = {name: given[name] for name in _REGIONSEG_OPTIONS if name in given}
    snapshots = bool(given.get("return_snapshots"))
    return _progress.run(
        given.get("progress"),
        "regionseg",
        lambda report: _kalmex.regionseg(image, options, snapshots, report, given.get("threads")),
    )


# The options of regionseg and regionseg_file, with their defaults, as the
# front end's option table has them; regionseg's signature is the image,
# these, and the two switches.
_REGIONSEG_OPTIONS = tuple(name for name, _ in _kalmex.regionseg_options())
_REGIONSEG_SIGNATURE = inspect.Signature(
    [inspect.Parameter("image", inspect.Parameter.POSITIONAL_OR_KEYWORD)]
    + [
        inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD, default=default)
        for name, default in _kalmex.regionseg_options()
    ]
    + [
        inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD, default=False)
        for name in ("return_snapshots", "progress")
    ]
    + [inspect.Parameter("threads", inspect.Parameter.POSITIONAL_OR_KEYWORD, default=None)],
    return_annotation=Union[np.ndarray, Tuple[np.ndarray, np.ndarray]],
)
regionseg.__signature__ = _REGIONSEG_SIGNATURE


def regionseg_file(
    path: PathLike,
    return_snapshots: bool = False,
    progress: Any = False,
    threads: Optional[int] = None,
    **options,
) -> Union[np.ndarray, Tuple[np.ndarray, np.ndarray]]:
    """Segment an image file as ``kalseg`` reads it, with :func:`regionseg`'s options.

    PNG, PGM and TIFF files are read, by the same reader as ``kalseg``'s,
    and their samples keep their class, as :func:`regionseg` takes an array
    of that dtype: a TIFF may hold 1-bit (bool), 2- to 16-, 32- or 64-bit
    unsigned, 8- to 64-bit signed integer or 32- or 64-bit float samples, in
    strips or tiles, contiguous or in planes.  Colour is turned grey
    (0.299 R + 0.587 G + 0.114 B, rounded for integers), a palette picture is
    the grey of its colours, other colour spaces (CMYK, YCbCr, ...) are read
    as libtiff turns them to 8-bit RGB, and a TIFF of several pages of one
    size and class is a volume, each page a plane, whose labels (and
    snapshots) come back in NumPy's order as :func:`regionseg` gives them:
    (planes, rows, columns).  'scale' 'class' follows the class as
    :func:`regionseg` does, or the format's range (a PGM's maxval, a 12-bit
    TIFF's 0..4095).  A file that cannot be read raises ValueError with the
    reason, naming the file (and the page of a TIFF).  `progress` is
    :func:`regionseg`'s, the bar labelled with the file's name, and
    `threads` is :func:`regionseg`'s.

    Examples
    --------
    >>> import kalmex
    >>> kalmex.regionseg_file("missing.png")
    Traceback (most recent call last):
    ...
    ValueError: regionseg: cannot open missing.png: No such file or directory
    """
    unknown = set(options) - set(_REGIONSEG_OPTIONS)
    if unknown:
        raise TypeError(
            "regionseg_file() got an unexpected keyword argument '%s'" % sorted(unknown)[0]
        )
    name = os.fsdecode(path)
    return _progress.run(
        progress,
        os.path.basename(name),
        lambda report: _kalmex.regionseg_file(
            name, options, bool(return_snapshots), report, threads
        ),
    )


def regionseg_core(
    image: np.ndarray,
    levels: int,
    flat_levels: int,
    start_level: int,
    parallel_grouping: int,
    parallel_seeds: int,
    seed_any_level: int,
    criterion: int,
    threshold: int,
    outlier_fraction: float,
    noise_sigma: float,
    confidence_row: int,
    size_factor: float,
    min_region_size: int,
    keep_small_stats: int,
    snapshot_budget: Optional[float] = None,
    *,
    return_snapshots: bool = False,
    verbose: bool = False,
) -> Union[np.ndarray, Tuple[np.ndarray, np.ndarray]]:
    """Split-and-merge segmentation with the module's own parameters.

    The call of the MATLAB module ``regionseg_core``, parameter for
    parameter, with the same checks and messages and in the module's own
    order (not NumPy's): axis 0 is MATLAB's first dimension, so a volume is
    (rows, columns, planes) and the snapshots are the last axis.  The image
    must already be an int32 array of grey values 0..255 whose first two
    dimensions are at most ``2**levels`` (a volume: at most
    ``2**(levels - flat_levels)`` planes); the tree's pixels outside the
    image are absent.  :func:`regionseg` is the friendly front end.

    Parameters
    ----------
    image : numpy.ndarray
        int32, 2-D or 3-D in the module's order (rows, columns[, planes]),
        read without a copy when in Fortran order.
    levels, flat_levels, start_level : int
        The block tree: levels 1..16, the levels of one-plane blocks (equal
        to `levels` for a 2-D image), the level of the initial blocks.
    parallel_grouping, parallel_seeds, seed_any_level : int
        Parallel grouping (non-zero) with that many seeds, seeds from any
        level.
    criterion, threshold : int
        Homogeneity criterion 1..5 and the grey-value threshold.
    outlier_fraction, noise_sigma : float
        Criterion 3's tolerated fraction of outliers; criteria 4 and 5's
        noise standard deviation.
    confidence_row : int
        Criterion 4: 1, 2 or 3 for probability 0.50, 0.75, 0.90.
    size_factor : float
        Criterion 5's factor.
    min_region_size, keep_small_stats : int
        Small-region elimination (0 turns it off) and whether a merged
        region keeps its statistics.
    snapshot_budget : float, optional
        Bytes above 1, a fraction of the physical memory up to 1; default
        a quarter of it.  The final state always has its snapshot: bytes
        that cannot hold one are refused (ValueError), a fraction that
        cannot is raised to one.
    return_snapshots : bool
        Also return the snapshot stack.
    verbose : bool
        Print the module's progress lines to ``sys.stdout``.

    Returns
    -------
    labels : numpy.ndarray
        int32 labels of the image's shape, 0 for the largest region.
    snapshots : numpy.ndarray
        With `return_snapshots`: int32, the image's shape and one more axis
        (the last), the snapshots.

    Examples
    --------
    >>> import numpy as np
    >>> import kalmex
    >>> image = np.zeros((8, 8), dtype=np.int32)
    >>> image[:, 4:] = 200
    >>> labels = kalmex.regionseg_core(image, 3, 3, 1, 0, 1, 0, 1, 10, 0, 0, 1, 0, 0, 0)
    >>> sorted(set(labels.ravel().tolist()))
    [0, 1]
    >>> _ = kalmex.regionseg_core(image, 3, 3, 1, 0, 1, 0, 1, 10, 0, 0, 1, 0, 0, 0, verbose=True)
    finished initialisation
    finished merging
    finished splitting
    finished ordering regionlist
    finished sequential grouping
    finished grouping
    finished cleaning of regionlist
    finished sorting of regionlist
    finished the split_merge routine
    finished make_output 
    No save_regionlist specified
    >>> kalmex.regionseg_core(image, 2, 2, 1, 0, 1, 0, 1, 10, 0, 0, 1, 0, 0, 0)
    Traceback (most recent call last):
    ...
    ValueError: Argument 1 (image) must be at most 2^levels in its first two dimensions.
    """
    params = [
        levels,
        flat_levels,
        start_level,
        parallel_grouping,
        parallel_seeds,
        seed_any_level,
        criterion,
        threshold,
        outlier_fraction,
        noise_sigma,
        confidence_row,
        size_factor,
        min_region_size,
        keep_small_stats,
    ]
    return _kalmex.regionseg_core(
        image, params, snapshot_budget, bool(return_snapshots), bool(verbose)
    )


def split_merge(
    image: np.ndarray,
    params: SegParams,
    return_snapshots: bool = False,
    verbose: bool = False,
) -> Union[np.ndarray, Tuple[np.ndarray, np.ndarray]]:
    """Run the segmentation driver on an int32 image with a parameter record.

    As :func:`regionseg_core`, in the module's own order (axis 0 MATLAB's
    first dimension, a volume's planes last, the snapshots after them), with
    the parameters in one :class:`SegParams` record (its `snapshot_budget`
    in bytes, 0 for none).

    Examples
    --------
    >>> import numpy as np
    >>> import kalmex
    >>> p = kalmex.SegParams()
    >>> p.levels = p.flat_levels = 3
    >>> p.start_level, p.threshold = 1, 10
    >>> image = np.zeros((8, 8), dtype=np.int32)
    >>> image[:, 4:] = 200
    >>> labels = kalmex.split_merge(image, p)
    >>> int(labels.max())
    1
    """
    return _kalmex.split_merge(image, params, bool(return_snapshots), bool(verbose))


def edgethin(strength: np.ndarray, gc: np.ndarray, gr: np.ndarray) -> np.ndarray:
    """Thin an edge-strength image by non-maximum suppression along the gradient.

    A pixel keeps its value where it is a local maximum of `strength` along
    the gradient direction (`gc` across the columns, `gr` down the rows),
    the strength on either side interpolated linearly between the two
    nearest pixels of the 8-neighbourhood; every other pixel becomes 0.

    Parameters
    ----------
    strength, gc, gr : numpy.ndarray
        float64 matrices of one shape.

    Returns
    -------
    numpy.ndarray
        float64, the shape of `strength`.

    Examples
    --------
    >>> import numpy as np
    >>> import kalmex
    >>> d = np.array([[1.0, 3.0, 1.0]] * 3)
    >>> gc = np.ones((3, 3))
    >>> kalmex.edgethin(d, gc, np.zeros((3, 3)))[1]
    array([0., 3., 0.])
    >>> kalmex.edgethin(d.astype(np.float32), gc, gc)
    Traceback (most recent call last):
    ...
    TypeError: non-maximum suppression: Only double input data supported.
    """
    return _kalmex.edgethin(strength, gc, gr)


def tiffmend(*paths: PathLike, verbose: bool = False, quiet: bool = False) -> List[Tuple[str, str]]:
    """Repair TIFF files that declare palette colour over RGB samples, in place.

    In every directory with more than one sample per pixel, a
    PhotometricInterpretation of 3 (palette colour) becomes 2 (RGB).  A true
    palette image (one sample per pixel, also when SamplesPerPixel is absent)
    is left as it is.  One line per file is printed as the module prints it
    ("Fixed the file NAME", "Nothing to fix in NAME", "Problem reading the
    file NAME", "Problem opening file NAME"); `verbose` adds the reason of
    each failure and of each palette kept, `quiet` prints nothing.
    Arguments starting with ``-`` are option words as for the module
    (``"-q"``, ``"-v"``) and apply to the files after them.

    Returns
    -------
    list of (str, str)
        For each file name: the name and its outcome, ``"fixed"``,
        ``"nothing to fix"``, ``"failed"`` or ``"not opened"``.

    Examples
    --------
    >>> import kalmex
    >>> kalmex.tiffmend("missing.tif")
    Problem opening file missing.tif
    [('missing.tif', 'not opened')]
    >>> kalmex.tiffmend("missing.tif", quiet=True)
    [('missing.tif', 'not opened')]
    """
    inputs = []
    if quiet:
        inputs.append(b"-q")
    if verbose:
        inputs.append(b"-v")
    for p in paths:
        try:
            inputs.append(os.fsencode(p))
        except TypeError:
            inputs.append(None)  # not a name: passed over, as the module does
    if not paths:
        inputs = []
    outcomes = _kalmex.tiffmend(inputs)
    return [(os.fsdecode(name), outcome) for name, outcome in outcomes]


def kal_peakfit(image: ArrayLike, mask: Optional[ArrayLike] = None, method: Optional[str] = None) -> np.ndarray:
    """Local maxima of an image with sub-pixel precision.

    Parameters
    ----------
    image : array_like
        Any real numeric or bool array.
    mask : array_like, optional
        Where maxima may lie; None (or an empty array) for everywhere.
    method : str, optional
        ``"default"``, ``"linear"``, ``"parabolic"``, ``"gaussian"`` or
        ``"bspline"``, in any letter case; None or ``""`` is the default.

    Returns
    -------
    numpy.ndarray
        float64, one row per maximum, one column per image dimension.

    Examples
    --------
    >>> import numpy as np
    >>> import kalmex
    >>> image = np.zeros((7, 7))
    >>> image[3, 2] = 1.0
    >>> kalmex.kal_peakfit(image, None, "linear")
    array([[3., 2.]])
    >>> kalmex.kal_peakfit(image, None, "cubic")
    Traceback (most recent call last):
    ...
    ValueError: Argument 3 is invalid string.
    """
    return _kalmex.kal_peakfit(image, mask, method)


def kal_turnvolume(
    image: ArrayLike,
    angle: float,
    axis: int,
    interpolation: Optional[str] = None,
    fill: Optional[str] = None,
) -> np.ndarray:
    """Rotate an image about one coordinate axis.

    Parameters
    ----------
    image : array_like
        Any real numeric or bool array.
    angle : float
        The angle, in radians.
    axis : int
        The axis of the rotation, 1-based as in MATLAB.
    interpolation : str, optional
        ``"default"``, ``"bspline"``, ``"4-cubic"``, ``"3-cubic"``,
        ``"bilinear"`` or ``"linear"``, ``"zoh"``.
    fill : str, optional
        ``"default"``, ``"zero"``, ``"max"`` or ``"min"``.

    Returns
    -------
    numpy.ndarray
        The turned image, of the input's dtype.

    Examples
    --------
    >>> import numpy as np
    >>> import kalmex
    >>> image = np.arange(9.0).reshape(3, 3)
    >>> kalmex.kal_turnvolume(image, 0.0, 3).shape
    (3, 3)
    >>> kalmex.kal_turnvolume(image, "90", 3)
    Traceback (most recent call last):
    ...
    TypeError: Argument 2 should be a real scalar.
    """
    return _kalmex.kal_turnvolume(image, angle, axis, interpolation, fill)


def kal_troughfind(image: ArrayLike, mask: Optional[ArrayLike], dimension: int, last: Union[bool, int]) -> np.ndarray:
    """Position of the minimum of every line of an image along one dimension.

    Parameters
    ----------
    image : array_like
        Any real numeric or bool array.
    mask : array_like or None
        Where the minimum is looked for; None (or empty) for everywhere.
    dimension : int
        The dimension the lines run along, 1-based.
    last : bool or int
        Which of equal minima counts (non-zero: the last).

    Returns
    -------
    numpy.ndarray
        The positions, as the image library gives them.

    Examples
    --------
    >>> import numpy as np
    >>> import kalmex
    >>> image = np.array([[3.0, 1.0], [0.0, 2.0], [5.0, 4.0]])
    >>> kalmex.kal_troughfind(image, None, 1, False).shape
    (1, 2)
    >>> kalmex.kal_troughfind(image, None, 1, 0.5)
    Traceback (most recent call last):
    ...
    TypeError: Argument 4 should be a boolean.
    """
    return _kalmex.kal_troughfind(image, mask, dimension, last)
