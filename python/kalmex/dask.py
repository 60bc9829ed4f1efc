"""Many images at once on Dask: one :func:`kalmex.regionseg` task per image.

The tasks run wherever Dask runs them: the threads of this process (the
cores release the interpreter lock), worker processes of a
``distributed.LocalCluster``, or the workers of a remote scheduler, which is
how a job goes past one machine::

    from distributed import Client
    client = Client("tcp://scheduler.example:8786")
    labels = kalmex.dask.regionseg_many(paths, threshold=16, min_region_size=8)

With a client active, its cluster does the work; otherwise Dask's default
scheduler does.  The labels come back in the order of the items, equal to
those of one call after another.
"""

from __future__ import annotations

import os
from typing import Any, Iterable, List, Optional, Union

import numpy as np

import kalmex

Item = Union[np.ndarray, str, bytes, "os.PathLike[str]"]


def _segment(item, options):
    if isinstance(item, (str, bytes, os.PathLike)):
        return kalmex.regionseg_file(item, **options)
    return kalmex.regionseg(item, **options)


def regionseg_many(
    items: Iterable[Item], scheduler: Optional[Any] = None, **options
) -> List[np.ndarray]:
    """Segment many images, each with :func:`kalmex.regionseg`, as Dask tasks.

    Parameters
    ----------
    items : iterable of array_like or path
        Arrays, or names of image files as ``kalseg`` reads them (PNG, PGM,
        TIFF; see :func:`kalmex.regionseg_file`).  A path must name the file
        where the workers run.
    scheduler : str or distributed.Client, optional
        Dask's scheduler for the call (``"threads"``, ``"processes"``,
        ``"synchronous"``, or a client); by default the active
        ``distributed`` client, or Dask's default.
    **options
        The options of :func:`kalmex.regionseg` (``return_snapshots`` too:
        each result is then a pair; ``progress`` is each item's own, shown
        where its task runs).

    Returns
    -------
    list of numpy.ndarray
        The labels of each item, in the items' order.

    Examples
    --------
    >>> import numpy as np
    >>> import kalmex.dask
    >>> images = [np.full((8, 8), v, dtype=np.uint8) for v in (10, 200)]
    >>> images[1][:, 4:] = 0
    >>> [int(l.max()) for l in kalmex.dask.regionseg_many(images, scheduler="threads")]
    [1, 2]
    """
    import dask

    unknown = set(options) - set(kalmex._REGIONSEG_OPTIONS) - {"return_snapshots", "progress"}
    if unknown:
        raise TypeError(
            "regionseg_many() got an unexpected keyword argument '%s'" % sorted(unknown)[0]
        )
    segment = dask.delayed(_segment, pure=True)
    tasks = [segment(item, options) for item in items]
    if scheduler is None:
        return list(dask.compute(*tasks))
    return list(dask.compute(*tasks, scheduler=scheduler))
