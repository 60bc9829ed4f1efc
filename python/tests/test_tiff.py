"""TIFF files as other libraries write them, read by regionseg_file and by kalseg.

Every kind of TIFF is written by tifffile or PIL into a temporary folder at
test time, with the array the reader must give: its samples in their class
(colour as its grey).  regionseg_file and kalseg must read that array and
segment it as kalmex.regionseg segments the array itself.
"""
import os
import subprocess

import numpy as np
import pytest

import kalmex
from kalmex import _kalmex

tifffile = pytest.importorskip("tifffile")
Image = pytest.importorskip("PIL.Image")

KALSEG = os.path.join(os.environ.get("KALMEX_BUILD_DIR", "build"), "bin", "kalseg")

# Whatever the class, the image's own range to 0..255: the labels of the
# file and of the array agree whatever the class's range means.
OPTIONS = dict(scale="minmax", threshold=12)


def noise(shape, dtype, lo, hi, seed=1):
    """Blocks of 4 x 4 pixels at random levels in lo..hi."""
    rng = np.random.default_rng(seed)
    levels = rng.uniform(lo, hi, size=tuple(-(-n // 4) for n in shape))
    image = np.kron(levels, np.ones((4,) * len(shape)))[tuple(slice(n) for n in shape)]
    return image.astype(dtype)


def grey(rgb):
    """The grey of colour samples, rounded for integers."""
    c = rgb.astype(np.float64)
    g = 0.299 * c[..., 0] + 0.587 * c[..., 1] + 0.114 * c[..., 2]
    return (g if rgb.dtype.kind == "f" else np.round(g)).astype(rgb.dtype)


def tifffile_kind(dtype, lo, hi, **kw):
    def write(path):
        a = noise((20, 30), dtype, lo, hi)
        tifffile.imwrite(path, a, **kw)
        return a, 0

    return write


def volume(path):
    a = noise((4, 20, 30), np.uint16, 0, 65535)
    tifffile.imwrite(path, a, photometric="minisblack")
    # A thumbnail page, which is passed over.
    tifffile.imwrite(path, a[0, ::4, ::4].astype(np.uint8), append=True, subfiletype=1)
    return np.moveaxis(a, 0, -1), 0  # pages as planes, the module's order


def rgb_planes(path):
    rgb = noise((20, 30, 3), np.uint8, 0, 255)
    tifffile.imwrite(path, np.moveaxis(rgb, -1, 0), photometric="rgb", planarconfig="separate")
    return grey(rgb), 0


def rgb_tiles_float(path):
    rgb = noise((20, 30, 3), np.float32, 0, 1)
    tifffile.imwrite(path, rgb, photometric="rgb", tile=(16, 16))
    return grey(rgb), 0


def pil_rgb(compression):
    def write(path):
        rgb = noise((20, 30, 3), np.uint8, 0, 255)
        Image.fromarray(rgb).save(path, compression=compression)
        # JPEG is lossy: the colours as PIL decodes them.
        return grey(np.asarray(Image.open(path).convert("RGB"))), 0

    return write


def pil_palette(path):
    picture = Image.fromarray(noise((20, 30, 3), np.uint8, 0, 255)).quantize(16)
    picture.save(path)  # an 8-bit map, as x * 256
    colours = np.array(picture.getpalette()[:48]).reshape(-1, 3)
    return grey(colours.astype(np.uint8))[np.asarray(picture)], 0


def tifffile_palette(path):
    rng = np.random.default_rng(3)
    colormap = rng.integers(0, 65536, size=(3, 256), dtype=np.uint16)
    index = noise((20, 30), np.uint8, 0, 255)
    tifffile.imwrite(path, index, photometric="palette", colormap=colormap)
    return grey(colormap.T.copy())[index], 0


def pil_bilevel(path):
    mask = noise((20, 30), np.float64, 0, 1) > 0.5
    Image.fromarray(mask).save(path)
    return mask, 0


def pil_cmyk(path):
    picture = Image.fromarray(noise((20, 30, 3), np.uint8, 0, 255)).convert("CMYK")
    picture.save(path)
    return grey(np.asarray(picture.convert("RGB"))), 0


def min_is_white(path):
    a = noise((20, 30), np.uint16, 0, 65535)
    tifffile.imwrite(path, a, photometric="miniswhite")
    return 65535 - a, 0


def twelve_bits(path):
    # 12-bit samples packed two to three bytes, as a uint8 page whose tags
    # then say what it holds.
    a = noise((20, 30), np.uint16, 0, 4095)
    pairs = a.reshape(20, 15, 2)
    packed = np.stack(
        [pairs[..., 0] >> 4, (pairs[..., 0] & 15) << 4 | pairs[..., 1] >> 8, pairs[..., 1] & 255],
        axis=-1,
    ).astype(np.uint8)
    tifffile.imwrite(path, packed.reshape(20, 45), photometric="minisblack")
    with tifffile.TiffFile(path, mode="r+b") as t:
        t.pages[0].tags["ImageWidth"].overwrite(30)
        t.pages[0].tags["BitsPerSample"].overwrite(12)
    return a, 4095


def pil_grey(path):
    a = noise((20, 30), np.uint8, 0, 255)
    Image.fromarray(a).save(path)
    return a, 0


KINDS = {
    "uint8 strips (PIL)": pil_grey,
    "uint16 tiles, deflate": tifffile_kind(np.uint16, 0, 65535, tile=(16, 16), compression="zlib"),
    "int8": tifffile_kind(np.int8, -128, 127),
    "int16 tiles": tifffile_kind(np.int16, -30000, 30000, tile=(16, 16)),
    "int32": tifffile_kind(np.int32, -(2**31), 2**31 - 1),
    "uint32 strips of 4 rows": tifffile_kind(np.uint32, 0, 2**32 - 1, rowsperstrip=4),
    "int64": tifffile_kind(np.int64, -(2**40), 2**40),
    "float32 big-endian": tifffile_kind(np.float32, 0, 1, byteorder=">"),
    "float64": tifffile_kind(np.float64, 0, 1),
    "12-bit": twelve_bits,
    "1-bit (PIL)": pil_bilevel,
    "min-is-white": min_is_white,
    "pages and a thumbnail": volume,
    "rgb in planes": rgb_planes,
    "rgb float32 tiles": rgb_tiles_float,
    "rgb lzw (PIL)": pil_rgb("tiff_lzw"),
    "rgb jpeg (PIL)": pil_rgb("jpeg"),
    "palette (PIL)": pil_palette,
    "palette, 16-bit map": tifffile_palette,
    "cmyk (PIL)": pil_cmyk,
}


@pytest.fixture(params=sorted(KINDS))
def kind(request, tmp_path):
    path = str(tmp_path / "in.tif")
    expected, maxval = KINDS[request.param](path)
    return path, expected, maxval


def numpy_order(a):
    """A volume of the module's order as NumPy orders it, planes first."""
    return np.moveaxis(a, -1, 0) if a.ndim == 3 else a


def test_regionseg_file_reads_every_kind(kind):
    path, expected, maxval = kind
    samples, read_maxval = _kalmex._read_image(path)
    assert samples.dtype == expected.dtype
    np.testing.assert_array_equal(samples, expected)
    assert read_maxval == maxval
    np.testing.assert_array_equal(
        kalmex.regionseg_file(path, **OPTIONS), kalmex.regionseg(numpy_order(expected), **OPTIONS)
    )


def test_kalseg_reads_every_kind(kind, tmp_path):
    path, expected, _ = kind
    labels = str(tmp_path / "labels.tif")
    words = [w for name, value in OPTIONS.items() for w in ("--" + name, str(value))]
    done = subprocess.run([KALSEG, "-q"] + words + [path, labels], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    read = tifffile.imread(labels)
    np.testing.assert_array_equal(read, kalmex.regionseg(numpy_order(expected), **OPTIONS))


def mixed_pages(path):
    tifffile.imwrite(path, noise((20, 30), np.uint16, 0, 65535))
    tifffile.imwrite(path, noise((20, 30), np.uint8, 0, 255), append=True)


def cut_short(path):
    tifffile.imwrite(path, noise((20, 30), np.uint16, 0, 65535))
    with open(path, "r+b") as f:
        f.truncate(500)


@pytest.mark.parametrize(
    "write, says",
    [
        (mixed_pages, ": page 2 is 20 x 30 uint8, page 1 20 x 30 uint16: the pages of a volume "
                      "must be of one size and class."),
        (tifffile_kind(np.float16, 0, 1), ": 16-bit floating-point samples are not read"),
        (cut_short, "cannot read the TIFF file {path}: Read error on strip 0"),
    ],
)
def test_a_tiff_that_is_not_read_is_refused_with_the_reason(write, says, tmp_path):
    path = str(tmp_path / "bad.tif")
    write(path)
    says = says.format(path=path) if "{path}" in says else path + says
    with pytest.raises(ValueError) as refused:
        kalmex.regionseg_file(path)
    assert says in str(refused.value)
    done = subprocess.run([KALSEG, path, str(tmp_path / "l.tif")], capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (1, "")
    assert says in done.stderr


def test_kalseg_warns_of_a_squeezed_file_and_names_it(tmp_path):
    # A 12-bit camera's values in a 16-bit file (a photograph times 16),
    # times 4 and 2, floats in 0..0.05: one warning each, even with -q; the
    # photograph itself: none.
    rng = np.random.default_rng(5)
    y, x = np.mgrid[0:48, 0:64]
    photo = np.clip(np.round(40 + 2.5 * x + 60 * (y > 20) + rng.normal(0, 6, x.shape)), 0, 255)
    for image in [photo.astype(np.uint16) * 16, photo.astype(np.uint16) * 4,
                  photo.astype(np.uint16) * 2, (photo / 255 * 0.05).astype(np.float32),
                  photo.astype(np.uint8)]:
        path = str(tmp_path / ("in_%s_%d.tif" % (image.dtype, image.max())))
        tifffile.imwrite(path, image)
        done = subprocess.run([KALSEG, "-q", "--threshold", "16", "--min_region_size", "8", path,
                               str(tmp_path / "labels.tif")], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        if image.dtype == np.uint8:
            assert done.stderr == ""
        else:
            assert done.stderr.startswith("kalseg: warning: " + path + ": 'scale' 'class' brings ")
            assert done.stderr.endswith("; use --scale minmax to spread its range over 0..255.\n")
            assert done.stderr.count("\n") == 1


def test_an_rgba_array_is_the_picture_its_file_is(tmp_path):
    # An RGBA PNG as PIL writes it and reads it back: the array and the file
    # give one answer; 'rgb' 'volume' keeps the array's four planes.
    rng = np.random.default_rng(3)
    rgba = np.dstack([noise((40, 60), np.uint8, 0, 255, seed=c) for c in range(3)]
                     + [rng.integers(0, 256, (40, 60), dtype=np.uint8)])
    path = str(tmp_path / "rgba.png")
    Image.fromarray(rgba, "RGBA").save(path)
    with Image.open(path) as f:
        read = np.asarray(f)
    assert read.shape == (40, 60, 4)
    labels = kalmex.regionseg(read, threshold=12)
    assert labels.shape == (40, 60)
    np.testing.assert_array_equal(labels, kalmex.regionseg_file(path, threshold=12))
    np.testing.assert_array_equal(labels, kalmex.regionseg(grey(read[..., :3]), threshold=12))
    assert kalmex.regionseg(read, threshold=12, rgb="volume").shape == (40, 60, 4)
