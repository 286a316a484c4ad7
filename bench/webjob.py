"""The web job of bench.py (--job web): the 24 photographs of 12 MP resized to 2048 pixels on the
long edge, the logo stamped at the bottom right of the resized picture, written as JPEG quality 80
and as WebP quality 80. tintorel-cli in one process against `vips thumbnail | vips composite2`
(one process per image, one and two at a time) and ImageMagick 6 `-resize 2048x2048 ... -composite`
(two at a time). Before timing, how close Tintorel's resized picture comes to vips's Lanczos-3, and
whether anything rings along the mark's edge."""
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

import corpus as corpus_mod

EDGE = 2048
QUALITY = "80"
WEB_SIZE = (2048, 1536)  # the 4000 x 3000 photographs at 2048 on the long edge
TITLES = {"tintorel": "tintorel-cli --resize 2048", "vips": "vips thumbnail \\| vips composite2",
          "im6": "ImageMagick 6 convert -resize"}
HOWS = {"1": "1 process per image, 1 at a time", "2": "1 process per image, 2 at a time",
        "all": "1 process for all images, its default workers"}
CASES = [("tintorel", "all"), ("vips", "1"), ("vips", "2"), ("im6", "2")]


def logo_at():
    lw, lh = corpus_mod.LOGO_SIZE
    return WEB_SIZE[0] - lw, WEB_SIZE[1] - lh


def tintorel_command(c, sources, out, fmt):
    return [c["cli"], "--watermark", c["logo"], "--output", out, "--placement", "bottom-right",
            "--resize", str(EDGE), "--quality", QUALITY, "--format", fmt, "--quiet"] + sources


def peer_command(tool, src, dst, c):
    """vips: the thumbnail goes down a pipe as PPM to composite2; compositing adds an alpha band,
    which the JPEG writer drops and a third vips takes off for WebP."""
    x, y = (str(v) for v in logo_at())
    if tool == "vips":
        if dst.endswith(".jpg"):
            script = ('vips thumbnail "$1" .ppm "$5" | vips composite2 stdin "$2" "$6[Q=$7]" over '
                      '--x "$3" --y "$4"')
        else:
            script = ('vips thumbnail "$1" .ppm "$5" | vips composite2 stdin "$2" .ppm over '
                      '--x "$3" --y "$4" | vips extract_band stdin "$6[Q=$7]" 0 --n 3')
        return ["sh", "-c", script, "sh", src, c["logo-alpha"], x, y, str(EDGE), dst, QUALITY]
    if tool == "im6":
        return [corpus_mod.CONVERT, src, "-resize", f"{EDGE}x{EDGE}", "-gravity", "southeast",
                c["logo-alpha"], "-composite", "-quality", QUALITY, dst]
    raise ValueError(tool)


def ppm_of(path, scratch, name, area=None):
    """The picture's RGB bytes (or those of area = x, y, w, h), decoded by vips."""
    ppm = os.path.join(scratch, name + ".ppm")
    argv = ["vips", "extract_area", path, ppm, *map(str, area)] if area else ["vips", "copy",
                                                                               path, ppm]
    subprocess.run(argv, check=True, capture_output=True)
    with open(ppm, "rb") as f:
        data = f.read()
    # "P6", width, height, maximum, each after white space or a comment line, then the bytes.
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    return data[pos + 1:]


def psnr(a, b):
    squares = sum((x - y) * (x - y) for x, y in zip(a, b))
    return 99.0 if squares == 0 else 10 * math.log10(255 * 255 * len(a) / squares)


def closeness(c, sources, scratch):
    """PSNR of Tintorel's resized picture (no mark: a white pixel, which the key leaves out)
    against `vips resize --kernel lanczos3`, and the largest change that the mark makes in the
    two pixels around its rectangle (0: no ring)."""
    blank = os.path.join(scratch, "blank.png")
    subprocess.run(["vips", "black", blank, "1", "1", "--bands", "3"], check=True)
    subprocess.run(["vips", "invert", blank, blank + ".png"], check=True)
    lines, scores, rings = [], [], []
    for src in sources:
        name = os.path.splitext(os.path.basename(src))[0]
        plain_dir, marked_dir = os.path.join(scratch, "plain"), os.path.join(scratch, "marked")
        base = ["--resize", str(EDGE), "--format", "png", "--quiet", src]
        subprocess.run([c["cli"], "--watermark", blank + ".png", "--output", plain_dir] + base,
                       check=True, stderr=subprocess.DEVNULL)
        subprocess.run([c["cli"], "--watermark", c["logo"], "--output", marked_dir,
                        "--placement", "bottom-right"] + base, check=True,
                       stderr=subprocess.DEVNULL)
        reference = os.path.join(scratch, "reference.png")
        subprocess.run(["vips", "resize", src, reference, str(EDGE / 4000), "--kernel",
                        "lanczos3"], check=True)
        plain = os.path.join(plain_dir, name + ".png")
        scores.append(psnr(ppm_of(plain, scratch, "a"), ppm_of(reference, scratch, "b")))
        lw, lh = corpus_mod.LOGO_SIZE
        x, y = logo_at()
        # The two columns left of the logo and the two rows above it, in the plain and the marked.
        for area in ((x - 2, y - 2, 2, lh + 2), (x - 2, y - 2, lw + 2, 2)):
            a = ppm_of(plain, scratch, "ra", area)
            b = ppm_of(os.path.join(marked_dir, name + ".png"), scratch, "rb", area)
            rings.append(max(abs(p - q) for p, q in zip(a, b)))
    lines.append(f"Closeness on {len(sources)} photographs: PSNR of tintorel-cli --resize {EDGE} "
                 f"(no mark) against `vips resize --kernel lanczos3`: min {min(scores):.1f} dB, "
                 f"median {statistics.median(scores):.1f} dB")
    lines.append(f"Ring along the mark's edge: the largest change the mark makes in the two pixels "
                 f"around its rectangle: {max(rings)} (0: none)")
    return lines, min(scores) >= 35 and max(rings) == 0


def check(out, sources, fmt, c, scratch):
    """Every copy 2048 x 1536, decoded whole, with the logo's coloured pixels in its corner."""
    problems = []
    lw, lh = corpus_mod.LOGO_SIZE
    if "logo-rgb" not in c:
        c["logo-rgb"] = ppm_of(c["logo"], scratch, "logo")
    logo = c["logo-rgb"]
    for src in sources:
        dst = os.path.join(out, os.path.splitext(os.path.basename(src))[0] + "." + fmt)
        try:
            size = subprocess.run(["vipsheader", "-f", "width", dst], capture_output=True,
                                  text=True, check=True).stdout.strip(), \
                subprocess.run(["vipsheader", "-f", "height", dst], capture_output=True,
                               text=True, check=True).stdout.strip()
            if tuple(map(int, size)) != WEB_SIZE:
                raise ValueError(f"{size[0]}x{size[1]}")
            corner = ppm_of(dst, scratch, "corner", (*logo_at(), lw, lh))
            coloured = [i for i in range(0, len(logo), 3) if logo[i:i + 3] != b"\xff\xff\xff"]
            off = sum(abs(corner[i + k] - logo[i + k]) for i in coloured for k in range(3))
            if off / (3 * len(coloured)) > 12:
                raise ValueError(f"logo's pixels off by {off / (3 * len(coloured)):.1f}")
        except (ValueError, OSError, subprocess.CalledProcessError) as e:
            problems.append(f"{os.path.basename(dst)}: {e}")
    return problems


def run(args, c, run_pool, env, base):
    """Runs the web job; returns the Markdown report and whether every check passed."""
    sources = c["jpeg12"]
    lines = []
    with tempfile.TemporaryDirectory() as scratch:
        close_lines, close_ok = closeness(c, sources[:3], scratch)
    lines += close_lines
    results, problems = {}, {}
    rounds = args.reps + (0 if args.quick else 1)
    for round_no in range(rounds):
        counted = args.quick or round_no > 0
        print(f"web round {round_no + 1} of {rounds}", file=sys.stderr, flush=True)
        for fmt in ("jpg", "webp"):
            for tool, how in CASES:
                key = (fmt, tool, how)
                out = os.path.join(base, "web-" + "-".join(key))
                shutil.rmtree(out, ignore_errors=True)
                os.makedirs(out)
                log = os.path.join(base, "logs", "web-" + "-".join(key) + ".log")
                if how == "all":
                    commands, at_once = [tintorel_command(c, sources, out, fmt)], 1
                else:
                    commands = [peer_command(tool, s, os.path.join(
                        out, os.path.splitext(os.path.basename(s))[0] + "." + fmt), c)
                        for s in sources]
                    at_once = int(how)
                wall, peak, cpu, failed = run_pool(commands, at_once, log, env)
                found = [f"exit codes {failed}"] if failed else []
                if round_no == 0:
                    with tempfile.TemporaryDirectory() as scratch:
                        found += check(out, sources, fmt, c, scratch)
                if found:
                    problems.setdefault(key, []).extend(found)
                if counted:
                    results.setdefault(key, []).append({"rate": len(sources) / wall,
                                                        "peak": peak, "cpu": cpu})
                print(f"  {'/'.join(key)}: {len(sources) / wall:.2f} images/s, peak "
                      f"{peak / 1024:.0f} MiB", file=sys.stderr, flush=True)
                shutil.rmtree(out, ignore_errors=True)
    return table(results, problems, len(sources), lines), close_ok and not problems


def table(results, problems, count, lines):
    out = ["## The web job: resize to 2048, stamp, JPEG or WebP at quality 80", "",
           *[f"- {line}" for line in lines], "",
           "| out | tool | how | images/s | CPU s per image | peak RSS MiB |", "|---|---|---|---|---|---|"]
    for (fmt, tool, how), runs in results.items():
        rates = [r["rate"] for r in runs]
        speed = "failed" if (fmt, tool, how) in problems else \
            f"{statistics.median(rates):.2f} ({min(rates):.2f}-{max(rates):.2f})"
        cpu = statistics.median(r["cpu"] for r in runs) / count
        peak = max(r["peak"] for r in runs) / 1024
        out.append(f"| {fmt} | {TITLES[tool]} | {HOWS[how]} | {speed} | {cpu:.2f} | {peak:.0f} |")
    out += ["", "| out | tintorel-cli, one process, against | speed (above 1: faster) |", "|---|---|---|"]
    for fmt in ("jpg", "webp"):
        ours = results.get((fmt, "tintorel", "all"), [])
        for tool, how in CASES[1:]:
            pairs = [a["rate"] / b["rate"] for a, b in zip(ours, results.get((fmt, tool, how), []))]
            if pairs:
                out.append(f"| {fmt} | {TITLES[tool]}, {HOWS[how]} | {statistics.median(pairs):.2f} |")
    for key, items in problems.items():
        out += [f"- failed {' / '.join(key)}: {item}" for item in items[:3]]
    return "\n".join(out) + "\n"
