#!/usr/bin/env python3
# Regenerates everything under assets/ from nothing but code: gradients, shapes, procedural
# patterns and text drawn with fonts found on the system. Needs Python 3 and ImageMagick 6
# (`convert`); it is a developer tool, not a build dependency, because the generated files are
# committed. Every random choice comes from a fixed seed, so a rerun gives the same pictures.
#
#   tools/make-assets.py            rewrite all of assets/
#   tools/make-assets.py NAME...    rewrite only the named items (see ITEMS at the bottom)

import math
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ASSETS = os.path.join(ROOT, "assets")
SAMPLES = os.path.join(ASSETS, "Samples")
WATERMARK = os.path.join(ASSETS, "Watermark")

TMP = ""  # scratch folder, made in main()

# Options that keep time stamps and other run-dependent data out of written files.
PNG_OUT = ["-strip", "-define", "png:exclude-chunks=date,time,tIME"]


# ----------------------------------------------------------------------------------------------
# Small helpers around ImageMagick


def convert(*args):
    cmd = ["convert"] + [str(a) for a in args]
    subprocess.run(cmd, check=True, env=dict(os.environ, MAGICK_THREAD_LIMIT="1"))


def tmp(name):
    return os.path.join(TMP, name)


def rgb(hexcode):
    hexcode = hexcode.lstrip("#")
    return tuple(int(hexcode[i:i + 2], 16) for i in (0, 2, 4))


def mix(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


def hexof(c):
    return "#%02x%02x%02x" % c


def ramp(stops, t):
    """Colour at 0..1 along [(position, '#rrggbb'), ...] (positions ascending)."""
    if t <= stops[0][0]:
        return rgb(stops[0][1])
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if t <= p1:
            u = (t - p0) / (p1 - p0) if p1 > p0 else 0.0
            u = u * u * (3 - 2 * u)  # smoothstep: no visible kinks at the stops
            return mix(rgb(c0), rgb(c1), u)
    return rgb(stops[-1][1])


def write_ppm(path, w, h, pixel):
    """Writes a binary PPM whose colour at (x, y) is pixel(x, y) -> (r, g, b)."""
    data = bytearray()
    for y in range(h):
        for x in range(w):
            data.extend(pixel(x, y))
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (w, h))
        f.write(bytes(data))


def vgradient(name, w, h, stops):
    """A top-to-bottom gradient with any number of stops."""
    strip = tmp(name + "-strip.ppm")
    colours = [ramp(stops, y / (h - 1)) for y in range(h)]
    write_ppm(strip, 1, h, lambda x, y: colours[y])
    out = tmp(name + ".png")
    convert(strip, "-scale", "%dx%d!" % (w, h), out)
    return out


def layer(name, w, h, body, blur=None, tint=None):
    """Renders MVG drawing commands on a transparent canvas; optionally blurs the result.

    Before a blur the hidden colour of transparent pixels becomes tint (by default the first
    fill colour), so that soft edges fade out instead of darkening towards black."""
    mvg = tmp(name + ".mvg")
    with open(mvg, "w") as f:
        f.write("viewbox 0 0 %d %d\n" % (w, h))
        f.write("\n".join(body) + "\n")
    out = tmp(name + ".png")
    args = ["-background", "none", "-size", "%dx%d" % (w, h), "mvg:" + mvg]
    if blur:
        if tint is None:
            tint = next(c.split()[1] for c in body if c.startswith("fill ") and "none" not in c)
        args += ["-background", tint, "-alpha", "background",
                 "-channel", "RGBA", "-blur", "0x%g" % blur, "+channel"]
    convert(*args, "PNG32:" + out)
    return out


def glow(name, w, h, cx, cy, r, colour, strength=1.0):
    """A soft round light: colour fading to transparent over radius r around (cx, cy)."""
    c = rgb(colour)
    size = 2 * r
    out = tmp(name + ".png")
    convert("-size", "%dx%d" % (size, size),
            "radial-gradient:rgba(%d,%d,%d,%g)-rgba(%d,%d,%d,0)" % (c + (strength,) + c),
            "-background", "none", "-extent", "%dx%d%+d%+d" % (w, h, r - cx, r - cy),
            "PNG32:" + out)
    return out


def stack(out, base, *layers):
    """Composites layers over base in order. A layer is a path or (path, compose method)."""
    args = [base]
    for item in layers:
        path, method = (item, "Over") if isinstance(item, str) else item
        args += [path, "-compose", method, "-composite"]
    convert(*args, out)
    return out


def pts(points):
    return " ".join("%.1f,%.1f" % p for p in points)


def font(pattern, fallback="DejaVu Sans:style=Bold"):
    """The file of an installed font matching a fontconfig pattern (DejaVu as a last resort)."""
    for pat in (pattern, fallback):
        try:
            found = subprocess.run(["fc-match", "-f", "%{file}", pat], capture_output=True, text=True,
                                   check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            continue
        if found and os.path.exists(found):
            return found
    return "DejaVu-Sans-Bold"


def ridge(rng, w, base, waves, step=6):
    """Points of a hill line: base plus a few sines of random phase."""
    phases = [rng.uniform(0, 2 * math.pi) for _ in waves]
    line = []
    for x in range(-step, w + 2 * step, step):
        y = base + sum(a * math.sin(x / wl * 2 * math.pi + p) for (a, wl), p in zip(waves, phases))
        line.append((x, y))
    return line


def ridge_y(line, x):
    for (x0, y0), (x1, y1) in zip(line, line[1:]):
        if x0 <= x <= x1:
            return y0 + (y1 - y0) * (x - x0) / (x1 - x0)
    return line[-1][1]


def hill_polygon(line, w, h, fill, opacity=1.0):
    poly = line + [(w + 20, h + 20), (-20, h + 20)]
    return ["fill %s" % fill, "fill-opacity %g" % opacity, "stroke none", "polygon " + pts(poly)]


def pine(x, y, height, fill):
    """A simple fir silhouette standing at (x, y)."""
    body = ["fill %s" % fill, "stroke none"]
    width = height * 0.42
    for i in range(3):
        top = y - height + i * height * 0.24
        bottom = y - height * 0.12 - (2 - i) * height * 0.2
        half = width * (0.55 + 0.22 * i) / 2
        body.append("polygon %s" % pts([(x, top), (x + half, bottom), (x - half, bottom)]))
    body.append("rectangle %.1f,%.1f %.1f,%.1f" % (x - height * 0.04, y - height * 0.15,
                                                   x + height * 0.04, y + 2))
    return body


def bird(x, y, s, colour):
    return ["fill none", "stroke %s" % colour, "stroke-width %g" % max(1.2, s / 6),
            "stroke-linecap round",
            "path 'M %.1f,%.1f q %.1f,%.1f %.1f,%.1f q %.1f,%.1f %.1f,%.1f'"
            % (x - s, y, s * 0.5, -s * 0.6, s, 0, s * 0.5, -s * 0.6, s, 0)]


# ----------------------------------------------------------------------------------------------
# Sample pictures


def sunset_hills():
    w, h = 1600, 1200
    rng = random.Random(1101)
    sky = vgradient("sunset-sky", w, h, [(0.0, "#1d1840"), (0.22, "#4a2a68"), (0.42, "#b8466e"),
                                         (0.56, "#f07a5a"), (0.66, "#ffc070"), (1.0, "#ffd890")])
    sun_x, sun_y = 1030, 700
    halo = glow("sunset-halo", w, h, sun_x, sun_y, 650, "#ffb060", 0.75)
    core = glow("sunset-core", w, h, sun_x, sun_y, 190, "#fff0c0", 0.9)
    disc = layer("sunset-disc", w, h, ["fill #fff6dc", "circle %d,%d %d,%d" % (sun_x, sun_y, sun_x, sun_y + 78)],
                 blur=1.5)
    clouds = []
    for i in range(11):  # long streaks, each a row of overlapping puffs
        cx = rng.uniform(-100, w + 100)
        cy = rng.uniform(170, 560)
        length = rng.uniform(260, 620)
        lit = (cy - 170) / 390
        colour = hexof(mix(rgb("#8a4a86"), rgb("#ffa07a"), lit))
        clouds += ["fill %s" % colour, "fill-opacity %.2f" % rng.uniform(0.3, 0.5)]
        for j in range(5):
            t = (j - 2) / 2.0
            px = cx + t * length * 0.33 + rng.uniform(-20, 20)
            py = cy + rng.uniform(-5, 5)
            clouds.append("ellipse %.1f,%.1f %.1f,%.1f 0,360"
                          % (px, py, length * rng.uniform(0.16, 0.26), (1.2 - abs(t)) * rng.uniform(9, 17)))
    cloud = layer("sunset-clouds", w, h, clouds, blur=8, tint="#d07080")
    layers = [(halo, "Screen"), (core, "Screen"), disc, cloud]

    hills = [  # base line, waves (amplitude, wavelength), colour
        (735, [(38, 900), (16, 330), (5, 120)], "#c0607a"),
        (800, [(46, 1100), (18, 410), (6, 140)], "#93496f"),
        (885, [(52, 1300), (22, 460), (7, 160)], "#663660"),
        (985, [(60, 1500), (24, 520), (8, 190)], "#3c2448"),
        (1095, [(46, 1700), (20, 600), (6, 210)], "#1e1328"),
    ]
    haze = "#ffb88a"
    for i, (base, waves, colour) in enumerate(hills):
        line = ridge(rng, w, base, waves)
        body = hill_polygon(line, w, h, colour)
        if i >= 3:  # the near hills carry trees on their crests
            count = 26 if i == 3 else 34
            for _ in range(count):
                x = rng.uniform(0, w)
                if i == 3 and 700 < x < 1300:
                    continue  # keep a clearing in front of the sun
                size = rng.uniform(26, 50) if i == 3 else rng.uniform(55, 110)
                body += pine(x, ridge_y(line, x) + size * 0.1, size, colour)
        layers.append(layer("sunset-hill%d" % i, w, h, body))
        if i < len(hills) - 1:
            fade = 0.42 - i * 0.07
            mist = ["fill %s" % haze, "fill-opacity %.2f" % fade,
                    "rectangle -50,%d %d,%d" % (base + 25, w + 50, base + 140)]
            layers.append(layer("sunset-mist%d" % i, w, h, mist, blur=28))
    flock = []
    for bx, by, s in [(560, 420, 11), (598, 440, 9), (630, 410, 8), (668, 452, 7), (520, 455, 7)]:
        flock += bird(bx, by, s, "#2a1830")
    layers.append(layer("sunset-birds", w, h, flock))
    out = tmp("sunset-hills.png")
    stack(out, sky, *layers)
    convert(out, "-strip", "-quality", 85, "-sampling-factor", "4:2:0",
            os.path.join(SAMPLES, "sunset-hills.jpg"))


def buildings(rng, w, wmin, wmax, hmin, hmax):
    """Left-to-right building blocks (x0, x1, height) covering the width with small gaps."""
    row, x = [], rng.uniform(-30, 0)
    while x < w:
        bw = rng.uniform(wmin, wmax)
        row.append((x, x + bw, rng.uniform(hmin, hmax)))
        x += bw + rng.choice([0, 0, 2, 6, 12])
    return row


def city_dusk():
    w, h = 1024, 768
    shore = 540
    rng = random.Random(2202)
    sky = vgradient("city-sky", w, shore, [(0.0, "#0a0f2e"), (0.3, "#232763"), (0.5, "#66498c"),
                                           (0.68, "#d9727c"), (0.85, "#ffb47c"), (1.0, "#ffc890")])
    stars = ["fill #ffffff"]
    for _ in range(140):
        y = rng.uniform(0, shore * 0.5)
        x = rng.uniform(0, w)
        stars += ["fill-opacity %.2f" % (rng.uniform(0.3, 0.9) * (1 - y / (shore * 0.55))),
                  "circle %.1f,%.1f %.1f,%.1f" % (x, y, x, y + rng.choice([0.6, 0.8, 1.1, 1.5]))]
    sky_layers = [layer("city-stars", w, shore, stars),
                  (glow("city-glow", w, shore, 620, shore - 120, 480, "#ff9870", 0.5), "Screen")]

    city = []
    # Far towers: hazy, a few lit windows.
    far = ["fill #3d3a6e"]
    for x0, x1, bh in buildings(rng, w, 30, 70, 70, 210):
        far.append("rectangle %.1f,%.1f %.1f,%d" % (x0, shore - bh, x1, shore))
    city.append(layer("city-far", w, shore, far))
    # Middle and front rows with windows.
    for name, colour, lit_p, sizes in [("mid", "#24214a", 0.18, (40, 90, 100, 270)),
                                      ("front", "#110e24", 0.38, (55, 120, 60, 250))]:
        body = ["fill %s" % colour]
        windows = []
        blocks = buildings(rng, w, *sizes)
        for k, (x0, x1, bh) in enumerate(blocks):
            top = shore - bh
            body.append("rectangle %.1f,%.1f %.1f,%d" % (x0, top, x1, shore))
            style = rng.randrange(5)
            cx = (x0 + x1) / 2
            if style == 0:  # spire with a beacon
                body.append("polygon %s" % pts([(cx - 10, top), (cx + 10, top), (cx, top - bh * 0.35)]))
                windows += ["fill #ff4a4a", "fill-opacity 0.9",
                            "circle %.1f,%.1f %.1f,%.1f" % (cx, top - bh * 0.35 - 3, cx, top - bh * 0.35)]
            elif style == 1:  # stepped crown
                body.append("rectangle %.1f,%.1f %.1f,%.1f" % (x0 + (x1 - x0) * 0.15, top - 18,
                                                               x1 - (x1 - x0) * 0.15, top))
                body.append("rectangle %.1f,%.1f %.1f,%.1f" % (x0 + (x1 - x0) * 0.32, top - 32,
                                                               x1 - (x1 - x0) * 0.32, top))
            elif style == 2:  # dome
                r = (x1 - x0) * 0.32
                body.append("ellipse %.1f,%.1f %.1f,%.1f 180,360" % (cx, top, r, r * 0.8))
            elif style == 3:  # antenna
                body.append("rectangle %.1f,%.1f %.1f,%.1f" % (cx - 1, top - 40, cx + 1, top))
            # Window grid.
            cols = max(2, int((x1 - x0 - 8) // 9))
            pitch = (x1 - x0 - 8) / cols
            warm = rng.choice(["#ffd27a", "#ffe6a8", "#ffc266", "#cfe4ff"])
            for wy in range(int(top) + 10, shore - 8, 13):
                for c in range(cols):
                    if rng.random() < lit_p:
                        wx = x0 + 4 + c * pitch + 1.5
                        windows += ["fill %s" % warm, "fill-opacity %.2f" % rng.uniform(0.55, 1.0),
                                    "rectangle %.1f,%d %.1f,%d" % (wx, wy, wx + pitch - 4, wy + 6)]
        city.append(layer("city-" + name, w, shore, body))
        city.append(layer("city-" + name + "-windows", w, shore, windows))
    quay = ["fill #0a0818", "rectangle 0,%d %d,%d" % (shore - 7, w, shore), "fill #ffdc96"]
    for x in range(14, w, 38):
        quay += ["circle %d,%d %d,%d" % (x, shore - 9, x, shore - 7.5)]
    city.append(layer("city-quay", w, shore, quay))
    scene = stack(tmp("city-upper.png"), sky, *sky_layers, *city)

    # Water: the scene mirrored, rippled and darkened.
    depth = h - shore
    water = vgradient("city-water", w, depth, [(0.0, "#2b2552"), (1.0, "#07081a")])
    mirror = tmp("city-mirror.png")
    convert(scene, "-flip", "-crop", "%dx%d+0+0" % (w, depth), "+repage",
            "-rotate", "90", "-background", "#2b2552", "-wave", "2x15", "-rotate", "-90",
            "-crop", "%dx%d+0+0" % (w, depth), "+repage", "-blur", "0x1.6",
            "-alpha", "set", "-channel", "A", "-evaluate", "set", "50%", "+channel", "PNG32:" + mirror)
    ripples = []
    for _ in range(110):
        y = rng.uniform(2, depth)
        x = rng.uniform(-40, w)
        length = rng.uniform(20, 120) * (0.4 + y / depth)
        ripples += ["stroke %s" % rng.choice(["#ffd9a0", "#ffffff", "#9a8ad0"]),
                    "stroke-opacity %.2f" % rng.uniform(0.05, 0.15), "stroke-width 1",
                    "line %.1f,%.1f %.1f,%.1f" % (x, y, x + length, y)]
    ripple = layer("city-ripples", w, depth, ripples)
    shade = layer("city-shade", w, depth, ["fill #000000", "fill-opacity 0.18", "rectangle 0,0 %d,%d" % (w, depth)])
    lower = stack(tmp("city-lower.png"), water, mirror, ripple, shade)
    out = os.path.join(SAMPLES, "city-dusk.png")
    convert(scene, lower, "-append", "-alpha", "off", *PNG_OUT, "PNG24:" + out)


def field(name, w, h, box, colour_at):
    """A w x h transparent canvas whose box (x0, y0, x1, y1) is painted with colour_at(x, y)."""
    x0, y0, x1, y1 = (int(v) for v in box)
    patch = tmp(name + "-patch.ppm")
    write_ppm(patch, x1 - x0, y1 - y0, lambda x, y: colour_at(x + x0, y + y0))
    out = tmp(name + ".png")
    convert("-size", "%dx%d" % (w, h), "xc:none", patch, "-geometry", "%+d%+d" % (x0, y0),
            "-compose", "Over", "-composite", "PNG32:" + out)
    return out


def masked(name, paint, shape):
    """paint cut out by the alpha of shape."""
    out = tmp(name + ".png")
    convert(paint, shape, "-compose", "DstIn", "-composite", "PNG32:" + out)
    return out


def shaded_ball(name, w, h, shape_body, box, light, reach, stops):
    """A shape lit like a rounded body: a radial ramp of stops from light (x, y) out to reach."""
    lx, ly = light
    ramp_at = lambda x, y: ramp(stops, min(1.0, math.hypot(x - lx, y - ly) / reach))
    paint = field(name + "-paint", w, h, box, ramp_at)
    shape = layer(name + "-shape", w, h, ["fill #ffffff"] + shape_body)
    return masked(name, paint, shape)


def fruit_still_life():
    w, h = 800, 600
    rng = random.Random(3303)
    edge = 392  # back edge of the table top
    wall = vgradient("fruit-wall", w, h, [(0.0, "#1c2424"), (0.6, "#2f3a36"), (1.0, "#2f3a36")])
    layers = [(glow("fruit-wall-light", w, h, 260, 180, 560, "#a4a07c", 0.7), "Screen")]

    # Wooden table: top surface with grain, then the darker front edge.
    top = field("fruit-table", w, h, (0, edge, w, h),
                lambda x, y: ramp([(0.0, "#6b3f22"), (0.6, "#8a5630"), (1.0, "#7a4a28")],
                                  (y - edge) / (h - edge)))
    layers.append(top)
    grain = []
    for _ in range(70):
        y = rng.uniform(edge + 4, 545)
        x = rng.uniform(-200, w)
        amp = rng.uniform(0.5, 2.5)
        grain += ["fill none", "stroke %s" % rng.choice(["#5a321a", "#9a6438", "#4e2b16"]),
                  "stroke-opacity %.2f" % rng.uniform(0.25, 0.6), "stroke-width %.1f" % rng.uniform(0.6, 1.6),
                  "path 'M %.1f,%.1f c %.1f,%.1f %.1f,%.1f %.1f,%.1f s %.1f,%.1f %.1f,%.1f'"
                  % (x, y, 80, -amp * 3, 160, amp * 3, 240, 0, 160, -amp * 3, 240, 0)]
    layers.append(layer("fruit-grain", w, h, grain))
    layers.append(layer("fruit-front", w, h, ["fill #3e2212", "rectangle 0,548 %d,%d" % (w, h),
                                              "fill #a8703e", "rectangle 0,%d %d,%d" % (edge, w, edge + 2),
                                              "fill #b57a46", "rectangle 0,546 %d,549" % w]))

    # A glazed jug at the back.
    jug = ["path 'M 560,410 C 520,380 518,300 560,262 L 566,220 C 556,214 556,200 570,198 "
           "L 660,198 C 674,200 674,214 664,220 L 670,262 C 712,300 710,380 670,410 Z'"]
    jug_paint = field("fruit-jug-paint", w, h, (510, 190, 720, 415),
                      lambda x, y: ramp([(0.0, "#1b3550"), (0.2, "#3f6f9a"), (0.34, "#9fc4de"),
                                         (0.42, "#4d7ea8"), (0.8, "#1f3c5a"), (1.0, "#122338")],
                                        (x - 518) / (710 - 518)))
    handle = ["fill none", "stroke #1f3c5a", "stroke-width 11", "stroke-linecap round",
              "path 'M 664,232 C 745,226 750,320 702,346'"]
    layers.append(layer("fruit-jug-handle", w, h, handle))
    layers.append(masked("fruit-jug", jug_paint, layer("fruit-jug-shape", w, h, ["fill #ffffff"] + jug)))

    # Soft shadows on the table, cast to the lower right.
    shadows = ["fill #140a04", "fill-opacity 0.55"]
    for cx, cy, rx, ry in [(335, 498, 78, 18), (470, 510, 72, 17), (225, 520, 80, 16), (640, 412, 80, 12),
                           (635, 528, 66, 14), (424, 554, 40, 9), (705, 470, 38, 10)]:
        shadows.append("ellipse %d,%d %d,%d 0,360" % (cx, cy, rx, ry))
    layers.append(layer("fruit-shadows", w, h, shadows, blur=9))

    # Pear, behind the others.
    pear_body = ["circle 705,380 705,334", "circle 702,318 702,292",
                 "polygon 664,370 746,370 726,316 680,316"]
    layers.append(shaded_ball("fruit-pear", w, h, pear_body, (650, 285, 760, 430), (684, 330), 120,
                              [(0.0, "#f2ec9a"), (0.35, "#c9c84a"), (0.75, "#8a9a2a"), (1.0, "#4e5a18")]))
    layers.append(layer("fruit-pear-stem", w, h, ["fill none", "stroke #4a2e14", "stroke-width 4",
                                                  "stroke-linecap round", "path 'M 702,294 q 2,-18 12,-26'"]))
    # Grapes, a loose bunch on the left.
    grapes = []
    spots = [(170, 420), (205, 412), (240, 420), (152, 452), (188, 448), (224, 450), (260, 452),
             (170, 484), (206, 482), (242, 486), (190, 514), (226, 516)]
    for k, (gx, gy) in enumerate(spots):
        gx += rng.uniform(-3, 3)
        gy += rng.uniform(-3, 3)
        grapes.append(shaded_ball("fruit-grape%d" % k, w, h, ["circle %.1f,%.1f %.1f,%.1f" % (gx, gy, gx, gy + 19)],
                                  (gx - 22, gy - 22, gx + 22, gy + 22), (gx - 7, gy - 8), 28,
                                  [(0.0, "#b88ac8"), (0.3, "#6a3580"), (0.8, "#3a1748"), (1.0, "#220a2c")]))
    layers.append(layer("fruit-grape-stem", w, h, ["fill none", "stroke #5a4a24", "stroke-width 4",
                                                   "stroke-linecap round", "path 'M 206,404 q -4,-22 10,-36'"]))
    layers += grapes
    # Apple.
    apple = ["path 'M 318,382 C 340,366 392,366 398,420 C 404,470 370,515 340,512 C 330,511 325,507 318,507 "
             "C 311,507 306,511 296,512 C 266,515 232,470 238,420 C 244,366 296,366 318,382 Z'"]
    layers.append(shaded_ball("fruit-apple", w, h, apple, (230, 362, 408, 520), (290, 410), 125,
                              [(0.0, "#ff8a7a"), (0.22, "#d8323a"), (0.65, "#9a1420"), (1.0, "#4a060c")]))
    layers.append(layer("fruit-apple-stem", w, h, [
        "fill none", "stroke #4a2e14", "stroke-width 4", "stroke-linecap round", "path 'M 318,378 q -2,-20 8,-32'",
        "stroke none", "fill #4f8a2a", "path 'M 326,360 q 26,-26 52,-8 q -24,22 -52,8 Z'",
        "fill none", "stroke #2f5a18", "stroke-width 1.5", "path 'M 328,359 q 22,-10 46,-6'"]))
    # Orange, with a dimpled skin.
    orange = shaded_ball("fruit-orange", w, h, ["circle 462,462 462,398"], (390, 390, 535, 535), (438, 436), 112,
                         [(0.0, "#ffd08a"), (0.25, "#f59a24"), (0.7, "#c8620c"), (1.0, "#6a2c04")])
    layers.append(orange)
    dimples = ["fill #7a3a06", "fill-opacity 0.18"]
    for _ in range(240):
        a = rng.uniform(0, 2 * math.pi)
        d = 60 * math.sqrt(rng.random())
        dimples.append("circle %.1f,%.1f %.1f,%.1f" % (462 + d * math.cos(a), 462 + d * math.sin(a),
                                                       462 + d * math.cos(a) + 1.1, 462 + d * math.sin(a)))
    layers.append(layer("fruit-orange-dimples", w, h, dimples))
    layers.append(layer("fruit-orange-navel", w, h, ["fill #5a7a20", "circle 468,402 468,398"]))
    # Lemon at the front right.
    lemon = ["path 'M 556,506 Q 562,498 570,494 C 584,472 606,466 624,466 C 648,466 668,474 676,492 "
             "Q 686,496 690,502 Q 684,508 676,512 C 666,532 646,542 622,542 C 598,542 578,532 570,518 "
             "Q 562,514 556,506 Z'"]
    layers.append(shaded_ball("fruit-lemon", w, h, lemon, (550, 460, 696, 548), (606, 486), 96,
                              [(0.0, "#fff6b0"), (0.3, "#f4d83a"), (0.75, "#c8a010"), (1.0, "#6a5204")]))
    # Two cherries at the front.
    for k, (cx, cy) in enumerate([(396, 540), (432, 546)]):
        layers.append(shaded_ball("fruit-cherry%d" % k, w, h, ["circle %d,%d %d,%d" % (cx, cy, cx, cy + 17)],
                                  (cx - 20, cy - 20, cx + 20, cy + 20), (cx - 6, cy - 7), 26,
                                  [(0.0, "#ff7a80"), (0.3, "#c0101e"), (0.8, "#5a0408"), (1.0, "#300204")]))
    layers.append(layer("fruit-cherry-stems", w, h, [
        "fill none", "stroke #3e5a1a", "stroke-width 2.5", "stroke-linecap round",
        "path 'M 396,524 q 8,-36 34,-50'", "path 'M 432,530 q 2,-32 -2,-56'"]))
    # Highlights on the glossy fruit.
    shine = ["fill #ffffff"]
    for cx, cy, rx, ry, o in [(286, 408, 16, 10, 0.55), (434, 430, 12, 8, 0.35), (196, 436, 5, 4, 0.5),
                              (680, 340, 10, 14, 0.35), (390, 533, 4, 3, 0.7), (426, 539, 4, 3, 0.7),
                              (600, 488, 12, 6, 0.4), (586, 290, 8, 40, 0.35)]:
        shine += ["fill-opacity %.2f" % o, "ellipse %d,%d %d,%d 0,360" % (cx, cy, rx, ry)]
    layers.append(layer("fruit-shine", w, h, shine, blur=3))
    out = tmp("fruit.png")
    stack(out, wall, *layers)
    convert(out, "(", "-size", "%dx%d" % (w, h), "radial-gradient:white-#707070", ")",
            "-compose", "Multiply", "-composite", "-strip", "-compress", "LZW",
            "-define", "tiff:predictor=2", os.path.join(SAMPLES, "fruit-still-life.tif"))


def cumulus(rng, cx, cy, width):
    """Circles of a fair-weather cloud with a flattish base around (cx, cy)."""
    puffs = []
    n = int(width / 28)
    for i in range(n):
        t = 0.1 + 0.8 * i / (n - 1)
        x = cx - width / 2 + t * width
        hump = math.sin(t * math.pi)
        r = width * (0.07 + 0.15 * hump) * rng.uniform(0.85, 1.15)
        puffs.append((x, cy - r * 0.55 - hump * width * 0.05 * rng.uniform(0.5, 1.2), r))
    return puffs


def star_points(cx, cy, outer, inner, n=5, turn=-math.pi / 2):
    out = []
    for i in range(2 * n):
        r = outer if i % 2 == 0 else inner
        a = turn + i * math.pi / n
        out.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return out


def seaside_waves():
    w, h = 1280, 960
    horizon = 380
    rng = random.Random(4404)
    sky = vgradient("sea-sky", w, horizon, [(0.0, "#3a88d4"), (0.6, "#86c2ec"), (1.0, "#d6eef8")])
    sky_layers = [(glow("sea-sun", w, horizon, 1060, 110, 420, "#fff6d8", 0.8), "Screen")]
    for k, (cx, cy, width) in enumerate([(260, 150, 360), (700, 230, 250), (1010, 300, 300), (470, 330, 210)]):
        puffs = cumulus(rng, cx, cy, width)
        shade = ["fill #b4c8dc"] + ["circle %.1f,%.1f %.1f,%.1f" % (x, y + r * 0.12, x, y + r * 1.12)
                                    for x, y, r in puffs]
        shade.append("ellipse %.1f,%.1f %.1f,%.1f 0,360" % (cx, cy - 6, width * 0.4, 14))
        lit = ["fill #ffffff"] + ["circle %.1f,%.1f %.1f,%.1f" % (x - r * 0.12, y - r * 0.1, x - r * 0.12, y + r * 0.75)
                                  for x, y, r in puffs]
        sky_layers.append(layer("sea-cloud%d-shade" % k, w, horizon, shade, blur=2.5))
        sky_layers.append(layer("sea-cloud%d" % k, w, horizon, lit, blur=2))
    flock = []
    for bx, by, s in [(820, 150, 12), (860, 170, 9), (790, 190, 8)]:
        flock += bird(bx, by, s, "#34404c")
    sky_layers.append(layer("sea-gulls", w, horizon, flock))
    upper = stack(tmp("sea-upper.png"), sky, *sky_layers)

    # Sea, with a headland, a lighthouse and a sail on the horizon.
    body = []
    land = ridge(rng, 430, horizon - 34, [(14, 500), (6, 160)], step=5)
    land = [(x, min(horizon + 2, y + max(0, x - 300) * 0.5)) for x, y in land]
    body += ["fill #5f7f96", "polygon " + pts(land + [(430, horizon + 2), (0, horizon + 2)])]
    lx, ly = 250, ridge_y(land, 250) + 4
    body += ["fill #f4f4f0", "polygon %s" % pts([(lx - 7, ly), (lx + 7, ly), (lx + 4, ly - 46), (lx - 4, ly - 46)]),
             "fill #c8322c", "polygon %s" % pts([(lx - 6.2, ly - 12), (lx + 6.2, ly - 12), (lx + 5.6, ly - 22), (lx - 5.6, ly - 22)]),
             "polygon %s" % pts([(lx - 4.9, ly - 32), (lx + 4.9, ly - 32), (lx + 4.4, ly - 40), (lx - 4.4, ly - 40)]),
             "fill #2a2a30", "rectangle %.1f,%.1f %.1f,%.1f" % (lx - 5, ly - 52, lx + 5, ly - 46),
             "fill #fff2a0", "rectangle %.1f,%.1f %.1f,%.1f" % (lx - 3.5, ly - 51, lx + 3.5, ly - 47),
             "fill #2a2a30", "polygon %s" % pts([(lx - 6, ly - 52), (lx + 6, ly - 52), (lx, ly - 58)])]
    sx, sy = 760, horizon + 4
    body += ["fill #ffffff", "polygon %s" % pts([(sx, sy - 6), (sx, sy - 40), (sx + 22, sy - 6)]),
             "fill #f0f4f8", "polygon %s" % pts([(sx - 2, sy - 6), (sx - 2, sy - 34), (sx - 16, sy - 6)]),
             "fill #3a3a44", "polygon %s" % pts([(sx - 18, sy - 5), (sx + 26, sy - 5), (sx + 20, sy), (sx - 13, sy)])]
    landmarks = layer("sea-landmarks", w, h, body)

    sea = vgradient("sea-water", w, h, [(0.0, "#1c5a88"), (0.395, "#1c5a88"), (0.52, "#2a85aa"),
                                        (0.72, "#45bcc2"), (1.0, "#5fd0c8")])
    waves = []
    y = horizon + 3.0
    while y < 760:
        depth = (y - horizon) / (760 - horizon)
        x = rng.uniform(-60, 0)
        while x < w:
            length = rng.uniform(18, 70) * (0.3 + 2.2 * depth)
            waves += ["fill none", "stroke %s" % rng.choice(["#e6f6ff", "#b6e2f0", "#0f4a70"]),
                      "stroke-opacity %.2f" % rng.uniform(0.25, 0.6), "stroke-width %.1f" % (0.7 + 2.2 * depth),
                      "stroke-linecap round",
                      "path 'M %.1f,%.1f q %.1f,%.1f %.1f,0'" % (x, y, length / 2, -(1 + 5 * depth), length)]
            x += length + rng.uniform(10, 90) * (0.4 + 2 * depth)
        y += 2.0 + 16 * depth
    sparkle = ["fill #ffffff"]
    for _ in range(160):
        yy = rng.uniform(horizon + 2, 640)
        spread = 30 + (yy - horizon) * 0.9
        xx = 1060 + rng.gauss(0, spread / 2)
        lw = rng.uniform(3, 14) * (0.4 + (yy - horizon) / 260)
        sparkle += ["fill-opacity %.2f" % rng.uniform(0.4, 0.95),
                    "rectangle %.1f,%.1f %.1f,%.1f" % (xx, yy, xx + lw, yy + 1.2)]
    sea_layers = [layer("sea-waves", w, h, waves), layer("sea-sparkle", w, h, sparkle, blur=0.6)]

    # Beach: wet band, foam, dry sand with grain, a starfish and pebbles.
    shore = [(x, 735 + 16 * math.sin(x / 190.0 + 0.7) + 7 * math.sin(x / 61.0)) for x in range(-10, w + 20, 8)]
    wet = [(x, y - 12) for x, y in shore]
    sand = field("sea-sand", w, h, (0, 680, w, h),
                 lambda x, y: ramp([(0.0, "#d9b986"), (0.3, "#ead4a4"), (1.0, "#e0bd86")], (y - 680) / (h - 680)))
    beach = [masked("sea-sand-cut", sand, layer("sea-sand-shape", w, h, hill_polygon(wet, w, h, "#ffffff")))]
    beach.append(layer("sea-wet", w, h, ["fill #b89468", "fill-opacity 0.55",
                                         "polygon " + pts(wet + [(x, y + 34) for x, y in reversed(shore)])], blur=6))
    grains = []
    for _ in range(9000):
        gx, gy = rng.uniform(0, w), rng.uniform(720, h)
        grains += ["fill %s" % rng.choice(["#b89868", "#f8ecd0", "#a88458", "#fff8e8"]),
                   "fill-opacity %.2f" % rng.uniform(0.25, 0.7),
                   "rectangle %.1f,%.1f %.1f,%.1f" % (gx, gy, gx + 1.2, gy + 1.2)]
    beach.append(layer("sea-grains", w, h, grains))
    foam = ["fill #ffffff", "fill-opacity 0.9",
            "polygon " + pts([(x, y - 26 - 6 * math.sin(x / 37.0)) for x, y in shore] +
                             [(x, y - 6) for x, y in reversed(shore)])]
    lace = ["fill #ffffff", "fill-opacity 0.55"]
    for _ in range(420):
        fx = rng.uniform(0, w)
        fy = ridge_y(shore, fx) - rng.uniform(26, 70)
        r = rng.uniform(2, 7)
        lace.append("ellipse %.1f,%.1f %.1f,%.1f 0,360" % (fx, fy, r * 2.2, r * 0.6))
    beach += [layer("sea-lace", w, h, lace, blur=1.2), layer("sea-foam", w, h, foam, blur=2.5)]
    things = ["fill #8a6a48", "fill-opacity 0.35", "ellipse 322,878 44,9 0,360", "fill-opacity 1"]
    things += ["fill #f08a3c", "stroke #c8602a", "stroke-width 2", "stroke-linejoin round",
               "polygon " + pts(star_points(318, 862, 40, 17, turn=-math.pi / 2 + 0.3)), "stroke none",
               "fill #ffc08a"]
    for i in range(5):
        a = -math.pi / 2 + 0.3 + i * 2 * math.pi / 5
        for d in (10, 18, 26):
            things.append("circle %.1f,%.1f %.1f,%.1f" % (318 + d * math.cos(a), 862 + d * math.sin(a),
                                                          318 + d * math.cos(a) + 1.8, 862 + d * math.sin(a)))
    for px, py, rx, ry, c in [(960, 880, 16, 10, "#8f8a84"), (986, 890, 10, 7, "#b0aaa2"),
                              (520, 920, 12, 8, "#a09688"), (1130, 820, 9, 6, "#7f7a74")]:
        things += ["fill %s" % c, "ellipse %d,%d %d,%d 0,360" % (px, py, rx, ry),
                   "fill #ffffff", "fill-opacity 0.35", "ellipse %d,%d %d,%d 0,360" % (px - rx / 3, py - ry / 3, rx / 3, ry / 4),
                   "fill-opacity 1"]
    beach.append(layer("sea-things", w, h, things))

    full = tmp("sea-full.png")
    convert(sea, upper, "-geometry", "+0+0", "-compose", "Over", "-composite", tmp("sea-base.png"))
    stack(full, tmp("sea-base.png"), landmarks, *sea_layers, *beach)
    convert(full, "-strip", "-quality", 85, "-sampling-factor", "4:2:0",
            os.path.join(SAMPLES, "seaside-waves.jpg"))


def flower(kind, x, y, s, rng):
    """MVG for one meadow flower of size s (about the petal radius) with its head at (x, y)."""
    body = []
    if s > 3.5:
        body += ["fill none", "stroke #3f7a22", "stroke-width %.1f" % max(1, s / 5),
                 "line %.1f,%.1f %.1f,%.1f" % (x, y, x + rng.uniform(-s, s) * 0.3, y + s * 3.2)]
    if s <= 2.2:
        colour = {"poppy": "#e0302a", "daisy": "#ffffff", "buttercup": "#f6d21c",
                  "cornflower": "#5070e0", "clover": "#c070c0"}[kind]
        return body + ["stroke none", "fill %s" % colour, "circle %.1f,%.1f %.1f,%.1f" % (x, y, x, y + s)]
    turn = rng.uniform(0, 360)
    body += ["stroke none", "push graphic-context", "translate %.1f,%.1f" % (x, y), "scale 1,0.78"]
    if kind == "poppy":
        body += ["fill #d8261e"]
        for i in range(4):
            body += ["push graphic-context", "rotate %.1f" % (turn + i * 90),
                     "circle 0,%.1f 0,%.1f" % (-s * 0.5, -s * 1.15), "pop graphic-context"]
        body += ["fill #ff5a40", "fill-opacity 0.5", "circle %.1f,%.1f %.1f,%.1f" % (-s * 0.25, -s * 0.3, -s * 0.25, -s * 0.8),
                 "fill-opacity 1", "fill #2a1410", "circle 0,0 0,%.1f" % (s * 0.28)]
    elif kind == "daisy":
        body += ["fill #fbfbf4"]
        for i in range(12):
            body += ["push graphic-context", "rotate %.1f" % (turn + i * 30),
                     "ellipse 0,%.1f %.1f,%.1f 0,360" % (-s * 0.62, s * 0.17, s * 0.5), "pop graphic-context"]
        body += ["fill #f2b818", "circle 0,0 0,%.1f" % (s * 0.3)]
    elif kind == "buttercup":
        body += ["fill #f6d21c"]
        for i in range(5):
            body += ["push graphic-context", "rotate %.1f" % (turn + i * 72),
                     "circle 0,%.1f 0,%.1f" % (-s * 0.45, -s * 0.9), "pop graphic-context"]
        body += ["fill #d89a08", "circle 0,0 0,%.1f" % (s * 0.22)]
    elif kind == "cornflower":
        body += ["fill #4a6ee0"]
        for i in range(8):
            body += ["push graphic-context", "rotate %.1f" % (turn + i * 45),
                     "ellipse 0,%.1f %.1f,%.1f 0,360" % (-s * 0.55, s * 0.22, s * 0.45), "pop graphic-context"]
        body += ["fill #2a3a90", "circle 0,0 0,%.1f" % (s * 0.25)]
    else:  # clover head
        body += ["fill #c86ab8"]
        for i in range(9):
            a = turn + i * 40
            body.append("circle %.1f,%.1f %.1f,%.1f" % (s * 0.45 * math.cos(math.radians(a)), s * 0.45 * math.sin(math.radians(a)),
                                                        s * 0.45 * math.cos(math.radians(a)), s * 0.45 * math.sin(math.radians(a)) + s * 0.4))
        body += ["fill #e6a0d8", "circle 0,0 0,%.1f" % (s * 0.4)]
    return body + ["pop graphic-context"]


def flower_meadow():
    w, h = 640, 480
    far = 212
    rng = random.Random(5505)
    sky = vgradient("meadow-sky", w, h, [(0.0, "#4f9de4"), (0.4, "#bfe2f6"), (0.44, "#bfe2f6"), (1.0, "#bfe2f6")])
    layers = [(glow("meadow-sun", w, h, 120, 60, 260, "#fffbe0", 0.7), "Screen")]
    for k, (cx, cy, width) in enumerate([(470, 90, 190), (260, 140, 120)]):
        puffs = cumulus(rng, cx, cy, width)
        layers.append(layer("meadow-cloud%d" % k, w, h, ["fill #ffffff"] + [
            "circle %.1f,%.1f %.1f,%.1f" % (x, y, x, y + r) for x, y, r in puffs], blur=1.5))
    hills = ridge(rng, w, far - 22, [(12, 420), (5, 130)], step=4)
    layers.append(layer("meadow-hills", w, h, hill_polygon(hills, w, h, "#7fa8a0")))
    trees = ["fill #2f6a34"]
    x = -10.0
    while x < w + 10:
        r = rng.uniform(5, 13)
        trees.append("circle %.1f,%.1f %.1f,%.1f" % (x, far - r * 0.6, x, far - r * 0.6 + r))
        x += r * rng.uniform(0.7, 1.6)
    trees.append("rectangle 0,%d %d,%d" % (far - 4, w, far + 2))
    layers.append(layer("meadow-trees", w, h, trees, blur=0.6))
    grass = field("meadow-grass", w, h, (0, far, w, h),
                  lambda x, y: ramp([(0.0, "#a6cc60"), (0.35, "#7eb646"), (1.0, "#3f7f26")], (y - far) / (h - far)))
    layers.append(grass)

    blades = []
    for _ in range(5200):
        y = far + (h - far) * (rng.random() ** 0.7)
        depth = (y - far) / (h - far)
        x = rng.uniform(-10, w + 10)
        length = 2 + 16 * depth * rng.uniform(0.6, 1.3)
        lean = rng.uniform(-0.4, 0.4) * length
        blades += ["stroke %s" % rng.choice(["#2f6a1c", "#5a9a30", "#8cc452", "#467f24", "#a8d46a"]),
                   "stroke-opacity %.2f" % rng.uniform(0.4, 0.9), "stroke-width %.1f" % (0.5 + 1.2 * depth),
                   "line %.1f,%.1f %.1f,%.1f" % (x, y, x + lean, y - length)]
    layers.append(layer("meadow-blades", w, h, blades))

    blooms = []
    kinds = ["poppy", "poppy", "daisy", "daisy", "daisy", "buttercup", "buttercup", "cornflower", "clover"]
    for _ in range(720):
        y = far + 4 + (h - far) * (rng.random() ** 1.3)
        blooms.append((y, rng.uniform(-10, w + 10), rng.choice(kinds)))
    blooms.sort()
    body = []
    for y, x, kind in blooms:
        depth = (y - far) / (h - far)
        body += flower(kind, x, y, 1.0 + 13 * depth ** 1.6 * rng.uniform(0.8, 1.2), rng)
    layers.append(layer("meadow-flowers", w, h, body))
    # A butterfly over the flowers.
    bx, by = 470, 300
    fly = ["push graphic-context", "translate %d,%d" % (bx, by), "rotate -15", "fill #f08a1c",
           "ellipse -9,-6 10,8 0,360", "ellipse 9,-6 10,8 0,360", "fill #e06a10",
           "ellipse -7,6 6,6 0,360", "ellipse 7,6 6,6 0,360", "fill #2a1a10", "ellipse 0,0 2,10 0,360",
           "fill #ffffff", "circle -12,-8 -12,-6", "circle 12,-8 12,-6", "pop graphic-context"]
    layers.append(layer("meadow-butterfly", w, h, fly))
    out = tmp("meadow.png")
    stack(out, sky, *layers)
    convert(out, "-alpha", "off", "-type", "TrueColor", "BMP3:" + os.path.join(SAMPLES, "flower-meadow.bmp"))


def night_sky():
    w, h = 1200, 800
    rng = random.Random(6606)
    sky = vgradient("night-sky", w, h, [(0.0, "#02040e"), (0.35, "#0a1430"), (0.68, "#1a2c58"),
                                        (0.8, "#2c4a72"), (1.0, "#2c4a72")])
    layers = []
    # Milky Way: fractal clouds kept to a soft diagonal band.
    band = layer("night-band", w, h, ["fill #ffffff", "push graphic-context", "translate 560,330", "rotate -28",
                                      "ellipse 0,0 820,95 0,360", "pop graphic-context"], blur=60)
    dust = tmp("night-dust.png")
    convert("-seed", "66", "-size", "%dx%d" % (w // 2, h // 2), "plasma:grey40-grey60", "-colorspace", "Gray",
            "-blur", "0x3", "-auto-level", "-resize", "%dx%d!" % (w, h), "-level", "30%,100%",
            "(", "-size", "%dx%d" % (w, h), "xc:#a8a8ff", ")", "-compose", "Multiply", "-composite",
            "(", band, "-alpha", "extract", "-evaluate", "multiply", "0.75", ")",
            "-alpha", "off", "-compose", "CopyOpacity", "-composite", "PNG32:" + dust)
    layers.append((dust, "Screen"))
    dots = ["fill #ffffff"]
    for i in range(2600):
        if i < 1300:  # crowd half of them into the band
            t = rng.uniform(-1, 1)
            off = rng.gauss(0, 60)
            a = math.radians(-28)
            x = 560 + t * 820 * math.cos(a) - off * math.sin(a)
            y = 330 + t * 820 * math.sin(a) + off * math.cos(a)
        else:
            x, y = rng.uniform(0, w), rng.uniform(0, 620)
        r = rng.choice([0.45, 0.55, 0.7, 0.7, 0.9, 1.1])
        dots += ["fill %s" % rng.choice(["#ffffff", "#ffffff", "#cfe0ff", "#fff0d0"]),
                 "fill-opacity %.2f" % (rng.uniform(0.3, 1.0) * max(0.15, 1 - y / 700)),
                 "circle %.1f,%.1f %.1f,%.1f" % (x, y, x, y + r)]
    layers.append(layer("night-stars", w, h, dots))
    bright = []
    shine = ["fill #bcd0ff", "fill-opacity 0.5"]
    for _ in range(26):
        x, y = rng.uniform(20, w - 20), rng.uniform(15, 520)
        r = rng.uniform(1.3, 2.2)
        bright += ["fill #ffffff", "circle %.1f,%.1f %.1f,%.1f" % (x, y, x, y + r),
                   "stroke #dfe8ff", "stroke-opacity 0.55", "stroke-width 0.8",
                   "line %.1f,%.1f %.1f,%.1f" % (x - r * 5, y, x + r * 5, y),
                   "line %.1f,%.1f %.1f,%.1f" % (x, y - r * 5, x, y + r * 5), "stroke none"]
        shine.append("circle %.1f,%.1f %.1f,%.1f" % (x, y, x, y + r * 3))
    layers += [layer("night-star-halos", w, h, shine, blur=3), layer("night-bright", w, h, bright)]
    # A shooting star.
    trail = []
    for i in range(40):
        t0, t1 = i / 40, (i + 1) / 40
        trail += ["stroke #ffffff", "stroke-opacity %.3f" % (t1 ** 2), "stroke-width %.2f" % (0.4 + 1.4 * t1),
                  "line %.1f,%.1f %.1f,%.1f" % (220 + 180 * t0, 90 + 70 * t0, 220 + 180 * t1, 90 + 70 * t1)]
    layers.append(layer("night-meteor", w, h, trail))
    # Crescent moon with a halo.
    mx, my, mr = 960, 160, 46
    layers.append((glow("night-moon-halo", w, h, mx, my, 260, "#8fa8e0", 0.45), "Screen"))
    disc = layer("night-moon-disc", w, h, ["fill #f6f0d6", "circle %d,%d %d,%d" % (mx, my, mx, my + mr),
                                           "fill #e2dabc", "circle %d,%d %d,%d" % (mx - 18, my + 10, mx - 18, my + 18),
                                           "circle %d,%d %d,%d" % (mx - 26, my - 16, mx - 26, my - 10)])
    bite = layer("night-moon-bite", w, h, ["fill #ffffff", "circle %d,%d %d,%d" % (mx + 24, my - 14, mx + 24, my - 14 + mr)])
    moon = tmp("night-moon.png")
    convert(disc, bite, "-compose", "DstOut", "-composite", "-channel", "RGBA", "-blur", "0x0.6", "+channel",
            "PNG32:" + moon)
    layers.append(moon)
    # Mountains, forest and a cabin with a lit window.
    far = ridge(rng, w, 600, [(70, 900), (30, 300), (8, 90)], step=5)
    far = [(x, y - 90 * math.exp(-((x - 380) / 170) ** 2)) for x, y in far]  # one tall peak
    layers.append(layer("night-far", w, h, hill_polygon(far, w, h, "#14213c")))
    snow = []
    for x, y in far:
        if y < 520:
            snow.append((x, y))
    if snow:
        cap = snow + [(x, y + 14 + 6 * math.sin(x / 9.0)) for x, y in reversed(snow)]
        layers.append(layer("night-snow", w, h, ["fill #8ea4c8", "fill-opacity 0.7", "polygon " + pts(cap)]))
    near = ridge(rng, w, 705, [(26, 800), (12, 260)], step=5)
    body = hill_polygon(near, w, h, "#04070f")
    for _ in range(70):
        x = rng.uniform(0, w)
        if 760 < x < 880:
            continue
        size = rng.uniform(40, 95)
        body += pine(x, ridge_y(near, x) + 6, size, "#04070f")
    cx, cy = 820, ridge_y(near, 820) + 4
    body += ["fill #04070f", "polygon %s" % pts([(cx - 40, cy), (cx - 40, cy - 34), (cx, cy - 62), (cx + 40, cy - 34), (cx + 40, cy)]),
             "rectangle %d,%d %d,%d" % (cx + 18, cy - 66, cx + 28, cy - 40),
             "fill #ffc462", "rectangle %d,%d %d,%d" % (cx - 24, cy - 26, cx - 8, cy - 12),
             "rectangle %d,%d %d,%d" % (cx + 8, cy - 26, cx + 24, cy - 12),
             "fill #04070f", "rectangle %d,%d %d,%d" % (cx - 17, cy - 26, cx - 15, cy - 12),
             "rectangle %d,%d %d,%d" % (cx - 24, cy - 20, cx - 8, cy - 18)]
    layers.append(layer("night-near", w, h, body))
    layers.append((glow("night-window-glow", w, h, cx, cy - 20, 70, "#ffb040", 0.35), "Screen"))
    smoke = ["fill #9aa8c0"]
    for i in range(7):
        smoke += ["fill-opacity %.2f" % (0.22 - i * 0.025),
                  "circle %.1f,%.1f %.1f,%.1f" % (cx + 23 + i * 6 + 3 * math.sin(i), cy - 74 - i * 13,
                                                  cx + 23 + i * 6 + 3 * math.sin(i), cy - 74 - i * 13 + 5 + i * 1.6)]
    layers.append(layer("night-smoke", w, h, smoke, blur=3))
    out = tmp("night.png")
    stack(out, sky, *layers)
    convert(out, "-strip", "-quality", 88, "-sampling-factor", "4:2:0", os.path.join(SAMPLES, "night-sky.jpg"))


def geometric_poster():
    w, h = 600, 800
    navy, mustard, coral, teal, cream, ink = "#1f2f4f", "#e8a33d", "#e5603f", "#2a8c82", "#f2e8d5", "#1a1a1a"
    body = ["fill %s" % cream, "rectangle 0,0 %d,%d" % (w, h),
            # Frame.
            "fill none", "stroke %s" % ink, "stroke-width 3", "rectangle 28,28 %d,%d" % (w - 28, h - 28),
            "stroke none",
            # Big sun and its quarter-circle shadow.
            "fill %s" % mustard, "circle 370,290 370,100",
            "fill %s" % coral, "path 'M 370,290 L 370,100 A 190,190 0 0,1 560,290 Z'",
            # Navy half disc rising from the left and a teal triangle.
            "fill %s" % navy, "path 'M 28,560 A 170,170 0 0,1 368,560 Z'",
            "fill %s" % cream, "path 'M 58,560 A 140,140 0 0,1 338,560 Z'",
            "fill %s" % navy, "path 'M 78,560 A 120,120 0 0,1 318,560 Z'",
            "fill %s" % mustard, "path 'M 128,560 A 70,70 0 0,1 268,560 Z'",
            "fill %s" % teal, "polygon 300,560 572,560 572,300",
            # Stripes.
            "fill %s" % ink]
    for i in range(6):
        body.append("rectangle 60,%d 250,%d" % (120 + i * 22, 128 + i * 22))
    body += ["fill %s" % navy]
    for r in range(6):  # dot grid
        for c in range(6):
            body.append("circle %d,%d %d,%d" % (470 + c * 16, 70 + r * 16, 470 + c * 16, 74 + r * 16))
    body += ["fill %s" % coral, "circle 120,360 120,318",
             "fill %s" % cream, "circle 120,360 120,340",
             "fill %s" % ink, "rectangle 28,560 %d,566" % (w - 28)]
    art = layer("poster-art", w, h, body)
    heading = font("URW Gothic:style=Demi")
    small = font("URW Gothic:style=Book", "DejaVu Sans")
    out = tmp("poster.png")
    convert(art, "-fill", ink, "-font", heading, "-pointsize", 118, "-kerning", 6,
            "-annotate", "+52+700", "FORM",
            "-fill", coral, "-pointsize", 40, "-kerning", 3, "-annotate", "+56+748", "& COLOUR",
            "-fill", navy, "-font", small, "-pointsize", 17, "-kerning", 2,
            "-annotate", "+428+640", "SHAPES IN",
            "-annotate", "+428+664", "FLAT LIGHT",
            "-annotate", "+428+688", "NO. 7",
            "-alpha", "off", out)
    convert(out, "+dither", "-colors", 48, "-strip", os.path.join(SAMPLES, "geometric-poster.gif"))


def balloon(name, w, h, cx, cy, r, colours, light):
    """A hot-air balloon: striped envelope (with soft shading), ropes and a basket."""
    neck = cy + 1.25 * r

    def half_width(y):
        if y <= cy:
            return math.sqrt(max(0.0, r * r - (y - cy) ** 2))
        t = (y - cy) / (neck - cy)
        return r * (0.26 + 0.74 * math.cos(t * math.pi / 2) ** 1.3)

    ys = [cy - r + (neck - cy + r) * i / 80 for i in range(81)]
    outline = [(cx - half_width(y), y) for y in ys] + [(cx + half_width(y), y) for y in reversed(ys)]
    gores = []
    n = 8
    for k in range(n):
        f0 = math.sin((-1 + 2 * k / n) * math.pi / 2)
        f1 = math.sin((-1 + 2 * (k + 1) / n) * math.pi / 2)
        side = [(cx + half_width(y) * f0, y) for y in ys] + [(cx + half_width(y) * f1, y) for y in reversed(ys)]
        gores += ["fill %s" % colours[k % len(colours)], "polygon " + pts(side)]
    stripes = layer(name + "-gores", w, h, gores)
    shape = layer(name + "-shape", w, h, ["fill #ffffff", "polygon " + pts(outline)])
    lx, ly = light
    shade = field(name + "-shade", w, h, (cx - r - 2, cy - r - 2, cx + r + 2, neck + 2),
                  lambda x, y: ramp([(0.0, "#ffffff"), (0.45, "#c8c8c8"), (1.0, "#5a5a6a")],
                                    min(1.0, math.hypot(x - lx, y - ly) / (1.9 * r))))
    lit = tmp(name + "-lit.png")
    convert(stripes, shade, "-compose", "Multiply", "-composite", shape, "-compose", "DstIn", "-composite",
            "PNG32:" + lit)
    bw, bh = r * 0.3, r * 0.26
    top = neck + r * 0.32
    rig = ["fill none", "stroke #5a4030", "stroke-width %.1f" % max(1, r / 45),
           "line %.1f,%.1f %.1f,%.1f" % (cx - r * 0.25, neck, cx - bw / 2, top),
           "line %.1f,%.1f %.1f,%.1f" % (cx + r * 0.25, neck, cx + bw / 2, top),
           "line %.1f,%.1f %.1f,%.1f" % (cx - r * 0.08, neck, cx - bw / 6, top),
           "line %.1f,%.1f %.1f,%.1f" % (cx + r * 0.08, neck, cx + bw / 6, top),
           "stroke none", "fill #8a5a2c",
           "path 'M %.1f,%.1f L %.1f,%.1f L %.1f,%.1f L %.1f,%.1f Z'"
           % (cx - bw / 2, top, cx + bw / 2, top, cx + bw * 0.4, top + bh, cx - bw * 0.4, top + bh),
           "fill #b07a40", "rectangle %.1f,%.1f %.1f,%.1f" % (cx - bw / 2 - 1, top - 1, cx + bw / 2 + 1, top + bh * 0.2)]
    return [layer(name + "-rig", w, h, rig), lit]


def hot_air_balloons():
    w, h = 640, 480  # drawn at twice the size, then halved for smooth edges
    rng = random.Random(7707)
    sky = vgradient("balloons-sky", w, h, [(0.0, "#6fb2ea"), (0.55, "#bfe0f2"), (0.8, "#fbe0b8"), (1.0, "#f8c890")])
    layers = [(glow("balloons-sun", w, h, 520, 390, 300, "#fff2c8", 0.8), "Screen")]
    for k, (cx, cy, width) in enumerate([(120, 110, 170), (500, 70, 120)]):
        puffs = cumulus(rng, cx, cy, width)
        layers.append(layer("balloons-cloud%d" % k, w, h, ["fill #ffffff"] + [
            "circle %.1f,%.1f %.1f,%.1f" % (x, y, x, y + r) for x, y, r in puffs], blur=2))
    far = ridge(rng, w, 400, [(18, 500), (6, 140)], step=4)
    near = ridge(rng, w, 445, [(14, 420), (5, 120)], step=4)
    layers += [layer("balloons-far", w, h, hill_polygon(far, w, h, "#8aa9a8")),
               layer("balloons-near", w, h, hill_polygon(near, w, h, "#5f8c5a"))]
    layers += balloon("balloons-c", w, h, 520, 250, 26, ["#3f7fd0", "#ffffff"], (510, 240))
    layers += balloon("balloons-b", w, h, 150, 230, 48, ["#f0c030", "#2aa080", "#f0c030", "#e0503a"], (135, 210))
    layers += balloon("balloons-a", w, h, 360, 150, 84, ["#e0403a", "#f6a030", "#f8e060", "#f6a030"], (335, 115))
    out = tmp("balloons.png")
    stack(out, sky, *layers)
    convert(out, "-resize", "50%", "-alpha", "off", *PNG_OUT, "PNG24:" + os.path.join(SAMPLES, "hot-air-balloons.png"))


# ----------------------------------------------------------------------------------------------
# Watermark: a logo on pure white. The program keys out exactly #FFFFFF, so every pixel must be
# either that white or one of the logo's few solid colours: each part is drawn large, scaled
# down, cut at half coverage and painted flat before it goes onto the white.

NAVY, BLUE, GOLD = "#0d2350", "#2f6fc0", "#f2a900"


def drop_path(cx, cy, r):
    """SVG path data of a drop standing on its round end (centre cx, cy; radius r), tip upwards."""
    tip = cy - 2.3 * r
    return ("M %.2f %.2f C %.2f %.2f %.2f %.2f %.2f %.2f A %.2f %.2f 0 0 1 %.2f %.2f "
            "C %.2f %.2f %.2f %.2f %.2f %.2f Z"
            % (cx, tip, cx + r * 0.25, tip + r * 0.75, cx + r, cy - r * 0.55, cx + r, cy,
               r, r, cx - r, cy, cx - r, cy - r * 0.55, cx - r * 0.25, tip + r * 0.75, cx, tip))


def text_width(font_file, size, text, kerning=0):
    result = subprocess.run(["convert", "-font", font_file, "-pointsize", str(size), "-kerning", str(kerning),
                             "label:" + text, "-format", "%w", "info:"], capture_output=True, text=True, check=True)
    return int(result.stdout)


def flat_part(name, big, w, h, colour):
    """big scaled down to w x h, its coverage cut at one half, painted in one colour."""
    out = tmp(name + "-flat.png")
    convert(big, "-resize", "%dx%d!" % (w, h), "-channel", "A", "-threshold", "50%", "+channel",
            "-fill", colour, "-colorize", "100", "PNG32:" + out)
    return out


def watermark():
    w, h, k = 300, 90, 4  # final size and drawing scale
    W, H = w * k, h * k
    cx, cy, r = 45 * k, 45 * k, 36 * k
    parts = [
        ("wm-ring", NAVY, ["fill #ffffff", "circle %d,%d %d,%d" % (cx, cy, cx, cy + r + 3.5 * k)]),
        ("wm-disc", BLUE, ["fill #ffffff", "circle %d,%d %d,%d" % (cx, cy, cx, cy + r - 1 * k)]),
        ("wm-inner", NAVY, ["fill none", "stroke #ffffff", "stroke-width %g" % (1.6 * k),
                            "circle %d,%d %d,%d" % (cx, cy, cx, cy + r - 6 * k)]),
        ("wm-drop-edge", NAVY, ["fill #ffffff", "stroke #ffffff", "stroke-width %g" % (5 * k),
                                "stroke-linejoin round", "path '%s'" % drop_path(cx, cy + 12 * k, 13 * k)]),
        ("wm-drop", GOLD, ["fill #ffffff", "path '%s'" % drop_path(cx, cy + 12 * k, 13 * k)]),
    ]
    layers = [flat_part(n, layer(n + "-big", W, H, body), w, h, c) for n, c, body in parts]

    face = font("URW Gothic:style=Demi")
    word = "Tintorel"
    room = (w - 96 - 8) * k
    size, kern = 10 * k, 2 * k
    while text_width(face, size + k, word, kern) <= room:
        size += k
    x, base = 94 * k, 62 * k
    for name, colour, stroke in [("wm-word-edge", NAVY, 4.5 * k), ("wm-word", BLUE, 0)]:
        big = tmp(name + "-big.png")
        args = ["-size", "%dx%d" % (W, H), "xc:none", "-font", face, "-pointsize", size, "-kerning", kern,
                "-fill", "#ffffff"]
        if stroke:
            args += ["-stroke", "#ffffff", "-strokewidth", stroke]
        convert(*args, "-annotate", "+%d+%d" % (x, base), word, "PNG32:" + big)
        layers.append(flat_part(name, big, w, h, colour))
    for name, colour, grow in [("wm-rule-edge", NAVY, 1), ("wm-rule", GOLD, 0)]:
        rule = ["fill #ffffff", "rectangle %d,%d %d,%d" % (x + (2 - grow) * k, (73 - grow) * k,
                                                          (w - 8 + grow) * k, (77 + grow) * k)]
        layers.append(flat_part(name, layer(name + "-big", W, H, rule), w, h, colour))
    out = os.path.join(WATERMARK, "watermark.bmp")
    convert("-size", "%dx%d" % (w, h), "xc:#ffffff", *sum(([p, "-compose", "Over", "-composite"] for p in layers), []),
            "-alpha", "off", "-type", "TrueColor", "BMP3:" + out)
    # Refuse to leave a watermark with stray colours behind.
    hist = subprocess.run(["convert", out, "-format", "%c", "histogram:info:-"], capture_output=True,
                          text=True, check=True).stdout
    found = {line.split("#")[1][:6].upper() for line in hist.splitlines() if "#" in line}
    allowed = {c.lstrip("#").upper() for c in ("#ffffff", NAVY, BLUE, GOLD)}
    if not found <= allowed:
        sys.exit("watermark has unexpected colours: %s" % sorted(found - allowed))


# ----------------------------------------------------------------------------------------------
# Pointers. Both files are written byte by byte: one 32 x 32 picture, 32 bits with alpha plus the
# 1-bit mask older readers use. A .cur differs from an .ico only in its type field (2) and in the
# directory entry holding the hotspot where an icon keeps planes and bit count.


def icon_file(path, size, rgba, hotspot=None):
    """Writes an ICO (hotspot None) or CUR file holding one size x size RGBA picture (rows top first)."""
    xor = bytearray()
    mask = bytearray()
    row_bytes = ((size + 31) // 32) * 4
    for y in reversed(range(size)):  # bitmaps are stored bottom row first
        bits = bytearray(row_bytes)
        for x in range(size):
            r, g, b, a = rgba[(y * size + x) * 4:(y * size + x) * 4 + 4]
            xor += bytes((b, g, r, a))
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + bytes(xor) + bytes(mask)
    kind, a, b = (1, 1, 32) if hotspot is None else (2, hotspot[0], hotspot[1])
    directory = struct.pack("<HHH", 0, kind, 1)
    entry = struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, a, b, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(directory + entry + image)


HAND = [  # K outline, W fill; the fingertip is the top of the first column of W's
    "......KKK.............",
    ".....KWWWK............",
    ".....KWWWK............",
    ".....KWWWK............",
    ".....KWWWK............",
    ".....KWWWK............",
    ".....KWWWKKKK.........",
    ".....KWWWKWWWK........",
    ".....KWWWKWWWKKKK.....",
    ".....KWWWKWWWKWWWK....",
    ".....KWWWKWWWKWWWKKK..",
    ".....KWWWKWWWKWWWKWWK.",
    ".KK..KWWWKWWWKWWWKWWK.",
    "KWWK.KWWWKWWWKWWWKWWK.",
    "KWWWKKWWWKWWWKWWWKWWK.",
    "KWWWWKWWWWWWWWWWWWWWK.",
    ".KWWWWWWWWWWWWWWWWWWK.",
    ".KWWWWWWWWWWWWWWWWWWK.",
    "..KWWWWWWWWWWWWWWWWWK.",
    "..KWWWWWWWWWWWWWWWWWK.",
    "...KWWWWWWWWWWWWWWWWK.",
    "...KWWWWWWWWWWWWWWWK..",
    "....KWWWWWWWWWWWWWWK..",
    "....KWWWWWWWWWWWWWK...",
    ".....KWWWWWWWWWWWWK...",
    ".....KKKKKKKKKKKKKK...",
]


def hand_cursor():
    size, ox, oy = 32, 4, 1
    pixels = bytearray(size * size * 4)

    def put(x, y, colour):
        i = (y * size + x) * 4
        pixels[i:i + 4] = bytes(colour)

    shade = (0, 0, 0, 72)
    for y, row in enumerate(HAND):  # a soft shadow to the lower right first
        for x, c in enumerate(row):
            if c != ".":
                put(ox + x + 2, oy + y + 2, shade)
    for y, row in enumerate(HAND):
        for x, c in enumerate(row):
            if c == "K":
                put(ox + x, oy + y, (0, 0, 0, 255))
            elif c == "W":
                put(ox + x, oy + y, (255, 255, 255, 255))
    tip = (ox + HAND[1].index("W") + 1, oy)
    icon_file(os.path.join(ASSETS, "HAND-M.CUR"), size, pixels, hotspot=tip)


def raster(path, size):
    """The RGBA bytes of a picture file, scaled to size x size."""
    return subprocess.run(["convert", path, "-resize", "%dx%d!" % (size, size), "-depth", "8", "RGBA:-"],
                          capture_output=True, check=True).stdout


def drag_icon():
    size, k = 32, 8
    S = size * k
    up = [(16, 1.5), (23, 9.5), (9, 9.5)]
    down = [(16, 30.5), (23, 22.5), (9, 22.5)]
    card = (5, 12, 27, 20)
    big = lambda p: [(x * k, y * k) for x, y in p]
    box = "roundrectangle %d,%d %d,%d %d,%d" % (card[0] * k, card[1] * k, card[2] * k, card[3] * k, 2 * k, 2 * k)
    body = [
        # A white rim under everything keeps the pointer readable on dark lists.
        "fill #ffffff", "stroke #ffffff", "stroke-width %d" % (2.4 * k), "stroke-linejoin round",
        "polygon " + pts(big(up)), "polygon " + pts(big(down)), box,
        "stroke none", "fill %s" % NAVY, "polygon " + pts(big(up)), "polygon " + pts(big(down)),
        "fill %s" % NAVY, box,
        "fill #e4eefc", "roundrectangle %d,%d %d,%d %d,%d" % ((card[0] + 1) * k, (card[1] + 1) * k,
                                                             (card[2] - 1) * k, (card[3] - 1) * k, k, k),
        "fill %s" % GOLD, "rectangle %d,%d %d,%d" % (7 * k, 14 * k, 12 * k, 18 * k),
        "fill %s" % BLUE, "rectangle %d,%d %d,%d" % (14 * k, 14.5 * k, 24 * k, 15.5 * k),
        "fill #8aa0c0", "rectangle %d,%d %d,%d" % (14 * k, 16.5 * k, 21 * k, 17.5 * k),
    ]
    big_png = layer("drag-big", S, S, body)
    icon_file(os.path.join(ASSETS, "drag.ico"), size, raster(big_png, size))


# ----------------------------------------------------------------------------------------------
# Application icon: a tilted instant photo with the drop badge of the watermark stamped on it.
# One list of flat shapes is written out as tintorel.svg and rendered (with the same path data)
# into the PNGs. The tilt is applied to the coordinates themselves, so the SVG needs no
# transforms and looks the same in every renderer.


def icon_shapes():
    turn = math.radians(-8)
    pivot = (120, 112)

    def rot(x, y):
        dx, dy = x - pivot[0], y - pivot[1]
        return (pivot[0] + dx * math.cos(turn) - dy * math.sin(turn),
                pivot[1] + dx * math.sin(turn) + dy * math.cos(turn))

    def path(*commands):
        """commands: ('M'|'L', x, y), ('C', x1, y1, x2, y2, x, y), ('A', r, x, y), ('Z',)"""
        out = []
        for c in commands:
            if c[0] in "ML":
                out.append("%s %.2f %.2f" % ((c[0],) + rot(c[1], c[2])))
            elif c[0] == "C":
                out.append("C %.2f %.2f %.2f %.2f %.2f %.2f" % (rot(c[1], c[2]) + rot(c[3], c[4]) + rot(c[5], c[6])))
            elif c[0] == "A":
                out.append("A %g %g 0 0 1 %.2f %.2f" % ((c[1], c[1]) + rot(c[2], c[3])))
            else:
                out.append("Z")
        return " ".join(out)

    def rounded(x, y, w, h, r):
        return path(("M", x + r, y), ("L", x + w - r, y), ("A", r, x + w, y + r), ("L", x + w, y + h - r),
                    ("A", r, x + w - r, y + h), ("L", x + r, y + h), ("A", r, x, y + h - r),
                    ("L", x, y + r), ("A", r, x + r, y), ("Z",))

    def box(x, y, w, h):
        return path(("M", x, y), ("L", x + w, y), ("L", x + w, y + h), ("L", x, y + h), ("Z",))

    def circle(cx, cy, r):
        return "M %.2f %.2f A %g %g 0 1 1 %.2f %.2f A %g %g 0 1 1 %.2f %.2f Z" % (
            cx - r, cy, r, r, cx + r, cy, r, r, cx - r, cy)

    sun = rot(150, 78)
    shapes = [  # (path data, fill, opacity)
        (rounded(32, 44, 176, 156, 12), "#0d2350", 0.3),                 # shadow
        (rounded(24, 34, 180, 160, 12), "#b8c4d6", 1),                   # rim
        (rounded(27, 37, 174, 154, 10), "#ffffff", 1),                   # card
        (box(38, 48, 152, 110), "#9fd2f4", 1),                           # sky
        (box(38, 112, 152, 46), "#cfe9f8", 1),                           # haze
        (circle(sun[0], sun[1], 15), "#ffc93c", 1),
        (path(("M", 38, 132), ("L", 78, 92), ("L", 104, 116), ("L", 134, 86), ("L", 190, 136),
              ("L", 190, 158), ("L", 38, 158), ("Z",)), "#4f8fb8", 1),   # mountains
        (path(("M", 38, 146), ("C", 70, 128, 100, 126, 128, 138), ("C", 150, 146, 172, 140, 190, 132),
              ("L", 190, 158), ("L", 38, 158), ("Z",)), "#3d8c4e", 1),   # meadow
        (circle(186, 186, 56), "#ffffff", 1),                            # badge
        (circle(186, 186, 51), NAVY, 1),
        (circle(186, 186, 45), BLUE, 1),
        (circle(186, 186, 38.5), NAVY, 1),
        (circle(186, 186, 35.5), BLUE, 1),
        (drop_path(186, 199, 18), NAVY, 1),
        (drop_path(186, 199, 14.5), GOLD, 1),
    ]
    return shapes


def app_icon():
    shapes = icon_shapes()
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             '<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">',
             '  <title>Tintorel</title>']
    for d, fill, opacity in shapes:
        extra = ' fill-opacity="%g"' % opacity if opacity < 1 else ""
        lines.append('  <path d="%s" fill="%s"%s stroke="none"/>' % (d, fill, extra))
    lines.append("</svg>")
    with open(os.path.join(ASSETS, "tintorel.svg"), "w") as f:
        f.write("\n".join(lines) + "\n")

    k = 4  # rendered four times larger, then scaled down
    body = ["affine %d,0,0,%d,0,0" % (k, k)]
    for d, fill, opacity in shapes:
        body += ["fill %s" % fill, "fill-opacity %g" % opacity, "path '%s'" % d]
    big = layer("icon-big", 256 * k, 256 * k, body)
    for size, name in [(256, "tintorel.png"), (48, "tintorel-48.png")]:
        convert(big, "-filter", "Lanczos", "-resize", "%dx%d" % (size, size), *PNG_OUT,
                "PNG32:" + os.path.join(ASSETS, name))


# ----------------------------------------------------------------------------------------------

DESKTOP_ENTRY = """[Desktop Entry]
Type=Application
Name=Tintorel
GenericName=Batch Watermarker
Comment=Stamp one watermark picture onto many images at once
Exec=tintorel
Icon=tintorel
Terminal=false
Categories=Graphics;Photography;
Keywords=watermark;batch;stamp;
"""


def desktop_entry():
    with open(os.path.join(ASSETS, "tintorel.desktop"), "w") as f:
        f.write(DESKTOP_ENTRY)

# ----------------------------------------------------------------------------------------------

ITEMS = {
    "sunset-hills": sunset_hills,
    "city-dusk": city_dusk,
    "fruit-still-life": fruit_still_life,
    "seaside-waves": seaside_waves,
    "flower-meadow": flower_meadow,
    "night-sky": night_sky,
    "geometric-poster": geometric_poster,
    "hot-air-balloons": hot_air_balloons,
    "watermark": watermark,
    "hand-cursor": hand_cursor,
    "drag-icon": drag_icon,
    "app-icon": app_icon,
    "desktop-entry": desktop_entry,
}


def main():
    global TMP
    names = sys.argv[1:] or list(ITEMS)
    unknown = [n for n in names if n not in ITEMS]
    if unknown:
        sys.exit("unknown item(s): %s; known: %s" % (" ".join(unknown), " ".join(ITEMS)))
    if shutil.which("convert") is None:
        sys.exit("ImageMagick's `convert` is required")
    for folder in (ASSETS, SAMPLES, WATERMARK):
        os.makedirs(folder, exist_ok=True)
    TMP = tempfile.mkdtemp(prefix="tintorel-assets-")
    try:
        for name in names:
            print("making", name)
            ITEMS[name]()
    finally:
        if os.environ.get("KEEP_TMP"):
            print("scratch files kept in", TMP)
        else:
            shutil.rmtree(TMP)


if __name__ == "__main__":
    main()
