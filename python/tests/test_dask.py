"""regionseg_many on a LocalCluster of two worker processes gives the labels
of one call after another, in the items' order, for arrays and files."""

import numpy as np
import pytest

import kalmex

distributed = pytest.importorskip("distributed")
import kalmex.dask  # noqa: E402


def write_pgm(path, image):
    path.write_bytes(b"P5\n%d %d\n255\n" % (image.shape[1], image.shape[0]) + image.tobytes())


def test_local_cluster_equals_serial_calls(tmp_path):
    rng = np.random.default_rng(4)
    images = [np.kron(rng.integers(0, 5, (6, 7)) * 50, np.ones((7, 7))).astype(np.uint8)
              + rng.integers(0, 3, (42, 49)).astype(np.uint8) for _ in range(6)]
    files = []
    for k, im in enumerate(images[:2]):
        files.append(str(tmp_path / ("im%d.pgm" % k)))
        write_pgm(tmp_path / ("im%d.pgm" % k), im)
    items = images + files
    options = dict(threshold=12, min_region_size=5)
    serial = [kalmex.regionseg(im, **options) for im in images]
    serial += [kalmex.regionseg_file(f, **options) for f in files]
    for a, b in zip(serial[-2:], serial[:2]):
        np.testing.assert_array_equal(a, b)  # a file reads as its array
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0",
                                  local_directory=str(tmp_path / "workers")) as cluster, \
            distributed.Client(cluster):
        labels = kalmex.dask.regionseg_many(items, **options)
    assert len(labels) == len(items)
    for a, b in zip(labels, serial):
        np.testing.assert_array_equal(a, b)
    with pytest.raises(TypeError, match="treshold"):
        kalmex.dask.regionseg_many(items, treshold=3)
