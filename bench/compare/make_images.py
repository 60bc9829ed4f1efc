#!/usr/bin/env python3
"""Writes the seeded image set of the side-by-side benchmarks into DIR.

Every image is a raw file in column-major order (first dimension fastest), so
that the C++ driver, Octave and Python all read the very same pixels:
  NAME.u8    uint8 grey values        NAME.f64   doubles
The list of images with their shapes goes to DIR/images.txt.
"""
import os
import sys

import numpy as np
from scipy import ndimage
from skimage import data

OUT = sys.argv[1]
os.makedirs(OUT, exist_ok=True)
shapes = []


def save(name, array, kind):
    array = np.asarray(array)
    path = os.path.join(OUT, name + "." + kind)
    with open(path, "wb") as f:
        f.write(array.astype({"u8": np.uint8, "f64": np.float64}[kind]).tobytes(order="F"))
    shapes.append("%s %s %s" % (name, kind, " ".join(str(s) for s in array.shape)))


def grey(values):
    return np.clip(np.rint(values), 0, 255).astype(np.uint8)


def shapes_picture(rng, side):
    """Flat boxes and discs of random grey values on a background."""
    img = np.full((side, side), 90.0)
    yy, xx = np.mgrid[0:side, 0:side]
    for k in range(24):
        cy, cx = rng.integers(0, side, 2)
        r = rng.integers(side // 16, side // 4)
        g = rng.integers(20, 236)
        if k % 2 == 0:
            img[(yy - cy) ** 2 + (xx - cx) ** 2 <= r * r] = g
        else:
            img[(abs(yy - cy) <= r // 2) & (abs(xx - cx) <= r)] = g
    return img


def blob_volume(rng, side, sigma_noise):
    """Blurred random blobs scaled to 0..255, plus Gaussian noise."""
    vol = np.zeros((side, side, side))
    count = max(8, side // 4)
    idx = rng.integers(0, side, (count, 3))
    vol[idx[:, 0], idx[:, 1], idx[:, 2]] = rng.uniform(0.5, 1.0, count)
    vol = ndimage.gaussian_filter(vol, sigma=side / 10.0, mode="wrap")
    vol = 20 + 215 * vol / vol.max()
    return grey(vol + rng.normal(0.0, sigma_noise, vol.shape))


rng = np.random.default_rng(20261209)

# The real photograph: every other pixel of the 512 x 512 camera image.
save("camera256", data.camera()[::2, ::2], "u8")

# Generated pictures: shapes, a smooth gradient, shapes under two noise levels.
base = shapes_picture(rng, 256)
save("shapes256", grey(base), "u8")
yy, xx = np.mgrid[0:256, 0:256]
save("gradient256", grey(40 + 0.4 * xx + 0.3 * yy + 30 * np.sin(xx / 40.0) * np.cos(yy / 50.0)), "u8")
save("shapes_noise4_256", grey(base + rng.normal(0, 4, base.shape)), "u8")
save("shapes_noise16_256", grey(base + rng.normal(0, 16, base.shape)), "u8")

# Worst cases: pure noise.
save("noise128", rng.integers(0, 256, (128, 128)), "u8")
save("noise256", rng.integers(0, 256, (256, 256)), "u8")
save("noisevol32", rng.integers(0, 256, (32, 32, 32)), "u8")
save("noisevol64", rng.integers(0, 256, (64, 64, 64)), "u8")

# Blob volumes with noise that makes many regions.
for side in (32, 64, 128):
    save("blobs%d" % side, blob_volume(rng, side, 6.0), "u8")

# The edge case: a 4096 x 4096 picture, its derivatives and gradient magnitude.
side = 4096
pic = ndimage.zoom(shapes_picture(rng, 512), 8, order=1)
pic = ndimage.gaussian_filter(pic, 2.0) + rng.normal(0, 3, (side, side))
save("edge4096", grey(pic), "u8")
gr, gc = np.gradient(pic)  # along rows (first dimension), along columns
save("edge4096_gc", gc, "f64")
save("edge4096_gr", gr, "f64")
save("edge4096_d", np.hypot(gc, gr), "f64")

# Real-image scale.  Blurred noise: uniform noise under a box filter, scaled
# to 0..255; its texture is the same at every size, so a linear run takes
# the same time per voxel at every size.  The box is 5 voxels a side in 3-D
# and 11 pixels in 2-D: about as many samples averaged, as smooth.
def blurred_noise(rng, shape, box):
    v = ndimage.uniform_filter(rng.uniform(size=shape), size=box)
    return grey((v - v.min()) * 255.0 / (v.max() - v.min()))


# Images one pixel past a power of two, for the time per voxel of an image
# that does not fill its block tree: 128^3 and 1024^2 extended by one plane,
# row and column, mirrored at the border so that the texture stays the same.
for side in (64, 128, 256):
    bn3d = blurred_noise(rng, (side, side, side), 5)
    save("bn3d%d" % side, bn3d, "u8")
    if side == 128:
        save("bn3d129", np.pad(bn3d, ((0, 1),) * 3, mode="reflect"), "u8")
for side in (512, 1024, 4096):
    bn2d = blurred_noise(rng, (side, side), 11)
    save("bn2d%d" % side, bn2d, "u8")
    if side == 1024:
        save("bn2d1025", np.pad(bn2d, ((0, 1),) * 2, mode="reflect"), "u8")

# A 4096 x 4096 photograph: the 512 x 512 camera scaled up 8 times, with
# Gaussian noise of sigma 4.
cam = ndimage.zoom(data.camera().astype(float), 8, order=1)
save("camera4096", grey(cam + rng.normal(0, 4, cam.shape)), "u8")


# Stacks of the camera photograph (256 x 256) cut to 231 x 201: plane z is
# shifted by one pixel every 4 planes, with Gaussian noise of sigma 6.
def camera_stack(rng, planes):
    cam256 = data.camera()[::2, ::2].astype(float)
    stack = np.zeros((231, 201, planes))
    for z in range(planes):
        s = z // 4
        stack[:, :, z] = cam256[0:231, s:s + 201]
    return grey(stack + rng.normal(0, 6, stack.shape))


save("camstack40", camera_stack(rng, 40), "u8")
save("camstack120", camera_stack(rng, 120), "u8")

with open(os.path.join(OUT, "images.txt"), "w") as f:
    f.write("\n".join(shapes) + "\n")
