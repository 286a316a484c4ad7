#!/usr/bin/python3
"""Times tintorel-cli against libvips, ImageMagick 6 and the libjpeg-turbo codec floor on real
photographs: the same stamp at the bottom right, JPEG quality 75, PNG kept PNG. Each tool runs one
process per image, one and two at a time, and tintorel-cli also as one process over the whole set;
the cases take turns round after round so that a busy machine slows all of them alike.
Prints a Markdown report (also written to --report). Run with --help for the options."""
import argparse
import os
import platform
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus as corpus_mod  # noqa: E402
import webjob  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
QUICK_COUNTS = {"jpeg12": 4, "png2": 4, "jpeg108": 1}
SET_KINDS = {"jpeg12": "JPEGs of 12 MP", "png2": "PNGs of 2 MP", "jpeg108": "JPEGs of 108 MP"}
TOOL_TITLES = {"tintorel": "tintorel-cli", "lossless": "tintorel-cli --jpeg lossless",
               "lossless-centre": "tintorel-cli --jpeg lossless, logo at the centre",
               "vips": "vips composite2", "im6": "ImageMagick 6 convert",
               "floor": "djpeg \\| cjpeg (no stamp)",
               "tiled": "tintorel-cli, logo tiled and turned",
               "text-tiled": "tintorel-cli, logo tiled and turned, text at the bottom right"}
# The marks of the tiled cases: the logo at a tenth of the width, turned 30 degrees, staggered
# over the whole picture; and a text with its variables over it.
TILE_OPTIONS = ["--tile", "--tile-stagger", "--scale", "0.1", "--rotate", "30"]
TEXT_MARK = {"--text": "(c) {year} {name}", "--text-size": "3", "--text-shadow": ""}
HOW_TITLES = {"1": "1 process per image, 1 at a time", "2": "1 process per image, 2 at a time",
              "all": "1 process for all images, its default workers"}


# ---------------------------------------------------------------- the commands of one image

def image_command(tool, src, dst, size, c):
    """argv of one tool stamping src into dst; size is the picture's (width, height)."""
    jpeg = dst.endswith(".jpg")
    x, y = (str(v) for v in logo_at(tool, size))
    if tool in ("tintorel", "lossless", "lossless-centre"):
        return tintorel_command(c, [src], os.path.dirname(dst), tool) + ["--jobs", "1"]
    if tool == "vips":
        if jpeg:  # the alpha that compositing adds is dropped by the JPEG writer
            return ["vips", "composite2", src, c["logo-alpha"], dst + "[Q=75]", "over", "--x", x, "--y", y]
        # Compositing adds an alpha band, which vips would write into the PNG; the opaque RGB the
        # job asks for takes a second vips in a pipe, the way a vips user would do it in a shell.
        return ["sh", "-c", 'vips composite2 "$1" "$2" ".png[compression=0]" over --x "$3" --y "$4"'
                ' | vips extract_band stdin "$5" 0 --n 3', "sh", src, c["logo-alpha"], x, y, dst]
    if tool == "im6":
        return ([corpus_mod.CONVERT, src, "-gravity", "southeast", c["logo-alpha"], "-composite"]
                + (["-quality", "75"] if jpeg else []) + [dst])
    if tool == "floor":
        return ["sh", "-c", 'djpeg "$1" | cjpeg -quality 75 > "$2"', "sh", src, dst]
    raise ValueError(tool)


def tintorel_command(c, sources, out, tool="tintorel"):
    """The normal way re-encodes at quality 75; the lossless way keeps every block the logo
    leaves alone and encodes those under it with the picture's own tables."""
    way = ["--jpeg", "lossless"] if tool.startswith("lossless") else ["--quality", "75"]
    placement = "middle-middle" if tool == "lossless-centre" else "bottom-right"
    marks = list(TILE_OPTIONS) if tool in ("tiled", "text-tiled") else []
    if tool == "text-tiled":
        marks += ["--preset", text_preset(c)]
    return [c["cli"], "--watermark", c["logo"], "--output", out, "--placement", placement,
            "--quiet"] + way + marks + sources


def text_preset(c):
    """A preset whose second mark is the text at the bottom right, in the scratch folder."""
    path = os.path.join(c["scratch"], "text-mark.ini")
    with open(path, "w") as f:
        f.write(f"[Mark 1]\nwatermark = {c['logo']}\n\n[Mark 2]\nplacement = bottom-right\n"
                "margin = 2%\n" +
                "".join(f"{k[2:]} = {v}\n" if v else f"{k[2:]} = true\n"
                        for k, v in TEXT_MARK.items()))
    return path


def logo_at(tool, size):
    """Where the logo's top-left corner stands: at the bottom right, or for one case centred."""
    lw, lh = corpus_mod.LOGO_SIZE
    if tool == "lossless-centre":
        return (size[0] - lw) // 2, (size[1] - lh) // 2
    return size[0] - lw, size[1] - lh


# ---------------------------------------------------------------- running and measuring

def spawn(argv, log, env):
    actions = [(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
               (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, log, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)]
    return os.posix_spawnp(argv[0], argv, env, file_actions=actions)


def run_pool(commands, at_once, log, env):
    """Runs the commands, at_once at a time. Returns wall seconds, the peak resident set of the
    largest single process (KiB), CPU seconds of all processes, and the failed exit codes.
    GNU time takes each peak: a child forked from this script would start its count at the
    script's own size (the kernel keeps the high-water mark across exec), GNU time's is ~2 MiB.
    A shell's figure is the largest process of the pipeline it waited for."""
    peaks = log + ".peaks"
    if os.path.exists(peaks):
        os.remove(peaks)
    pending = [["/usr/bin/time", "-f", "%M", "-a", "-o", peaks] + argv for argv in commands]
    running, cpu, failed = set(), 0.0, []
    start = time.monotonic()
    while pending or running:
        while pending and len(running) < at_once:
            running.add(spawn(pending.pop(0), log, env))
        pid, status, usage = os.wait4(-1, 0)
        running.discard(pid)
        cpu += usage.ru_utime + usage.ru_stime
        code = os.waitstatus_to_exitcode(status)
        if code != 0:
            failed.append(code)
    wall = time.monotonic() - start
    with open(peaks) as f:
        peak = max(int(line) for line in f if line.strip().isdigit())
    return wall, peak, cpu, failed


# ---------------------------------------------------------------- checking what was written

def png_info(path):
    """(width, height, colour type, bit depth), after inflating every row: a PNG that does not
    decode raises."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat, header = 8, [], None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if zlib.crc32(kind + body) != struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]:
            raise ValueError(f"bad CRC in {kind!r}")
        if kind == b"IHDR":
            header = struct.unpack(">IIBB", body[:10])
        elif kind == b"IDAT":
            idat.append(body)
        pos += 12 + length
    w, h, depth, ctype = header
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[ctype]
    if len(zlib.decompress(b"".join(idat))) != h * (1 + (w * channels * depth + 7) // 8):
        raise ValueError("row data has the wrong length")
    return w, h, ctype, depth


def jpeg_size(path):
    """(width, height) from the frame header; djpeg then decodes the whole file."""
    with open(path, "rb") as f:
        data = f.read()
    pos = 2
    while pos < len(data):
        marker, length = data[pos + 1], struct.unpack(">H", data[pos + 2:pos + 4])[0]
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            h, w = struct.unpack(">HH", data[pos + 5:pos + 9])
            return w, h
        pos += 2 + length
    raise ValueError("no frame header")


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields, pos = [], 0
    while len(fields) < 4:  # magic, width, height, maximum; comments may come between them
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


def corner(path, at, scratch):
    """The RGB bytes of the logo's rectangle in a picture."""
    lw, lh = corpus_mod.LOGO_SIZE
    ppm = os.path.join(scratch, "corner.ppm")
    subprocess.run(["vips", "extract_area", path, ppm, str(at[0]), str(at[1]),
                    str(lw), str(lh)], check=True, capture_output=True)
    return read_ppm(ppm)


def expected_corner(src, at, c, scratch):
    """The input's corner with the logo's pixels that are not white on top: Tintorel's colour key
    and the other tools' alpha logo both come to this."""
    plain = corner(src, at, scratch)
    if "logo-rgb" not in c:
        ppm = os.path.join(scratch, "logo.ppm")
        subprocess.run(["vips", "copy", c["logo"], ppm], check=True, capture_output=True)
        c["logo-rgb"] = read_ppm(ppm)
    logo, stamped = c["logo-rgb"], bytearray(plain)
    for i in range(0, len(logo), 3):
        if logo[i:i + 3] != b"\xff\xff\xff":
            stamped[i:i + 3] = logo[i:i + 3]
    return plain, bytes(stamped)


def decoded_rows(path, width, scratch):
    """The picture as djpeg decodes it, a row of RGB bytes at a time."""
    ppm = os.path.join(scratch, "whole.ppm")
    subprocess.run(["djpeg", "-outfile", ppm, path], check=True, capture_output=True)
    data = read_ppm(ppm)
    return [data[i:i + 3 * width] for i in range(0, len(data), 3 * width)]


def untouched_problems(src, dst, size, at, scratch):
    """A lossless copy must decode to the input's pixels everywhere but in the 16 x 16 MCUs under
    the logo and the MCUs around them, which the chroma's smooth upsampling reaches."""
    lw, lh = corpus_mod.LOGO_SIZE
    left, top = max(0, at[0] // 16 * 16 - 16), max(0, at[1] // 16 * 16 - 16)
    right, bottom = (at[0] + lw + 15) // 16 * 16 + 16, (at[1] + lh + 15) // 16 * 16 + 16
    was, now = decoded_rows(src, size[0], scratch), decoded_rows(dst, size[0], scratch)
    for y, (a, b) in enumerate(zip(was, now)):
        inside = top <= y < bottom
        if (not inside and a != b) or (inside and (a[:3 * left] != b[:3 * left]
                                                   or a[3 * right:] != b[3 * right:])):
            return [f"{os.path.basename(dst)}: row {y} differs from the input outside the logo"]
    return []


def mean_difference(a, b):
    return sum(abs(x - y) for x, y in zip(a, b)) / len(a)


def check_outputs(tool, sources, out, size, c, scratch):
    """Problems with the files a case wrote: missing, wrong size or kind, not decodable, or no
    logo in the corner. An empty list when all is well."""
    problems = []
    for src in sources:
        dst = os.path.join(out, os.path.basename(src))
        name = os.path.basename(dst)
        try:
            if not os.path.exists(dst):
                raise ValueError("missing")
            if dst.endswith(".png"):
                w, h, ctype, depth = png_info(dst)
                if (ctype, depth) != (2, 8):
                    problems.append(f"{name}: PNG colour type {ctype}, depth {depth}, not 8-bit RGB")
            else:
                w, h = jpeg_size(dst)
                decode = subprocess.run(["djpeg", "-outfile", os.devnull, dst], capture_output=True,
                                        text=True)
                if decode.returncode != 0 or decode.stderr:
                    raise ValueError("djpeg: " + (decode.stderr.strip() or f"exit {decode.returncode}"))
            if (w, h) != size:
                raise ValueError(f"{w}x{h}, expected {size[0]}x{size[1]}")
            if tool in ("floor", "tiled", "text-tiled"):
                continue
            at = logo_at(tool, size)
            plain, stamped = expected_corner(src, at, c, scratch)
            got = corner(dst, at, scratch)
            if tool.startswith("lossless"):
                problems += untouched_problems(src, dst, size, at, scratch)
            off, unstamped = mean_difference(got, stamped), mean_difference(got, plain)
            lossless = dst.endswith(".png")
            if (lossless and off != 0) or (not lossless and (off > 6 or off > unstamped / 4)):
                problems.append(f"{name}: corner differs from the stamped input by {off:.2f} "
                                f"on average (from the unstamped input by {unstamped:.2f})")
        except (ValueError, OSError, KeyError, struct.error, zlib.error,
                subprocess.CalledProcessError) as e:
            problems.append(f"{name}: {e}")
    return problems


# ---------------------------------------------------------------- the report

def machine():
    def first(path, key):
        with open(path) as f:
            for line in f:
                if line.startswith(key):
                    return line.split(":", 1)[1].strip()
        return "?"

    def version(argv, pattern=r"(\d+\.\d+(\.\d+)?)"):
        try:
            text = subprocess.run(argv, capture_output=True, text=True)
            match = re.search(pattern, text.stdout + text.stderr)
            return match.group(1) if match else "?"
        except OSError:
            return "?"
    memory = int(first("/proc/meminfo", "MemTotal").split()[0]) / 2**20
    return [f"CPU: {first('/proc/cpuinfo', 'model name')}, {os.cpu_count()} cores; "
            f"memory {memory:.1f} GiB; kernel {platform.release()}; "
            f"load average at the start {os.getloadavg()[0]:.2f}",
            f"Tools: libvips {version(['vips', '--version'])}, "
            f"ImageMagick {version([corpus_mod.CONVERT, '-version'])}, "
            f"libjpeg-turbo {version(['cjpeg', '-version'])}"]


def ratio(results, a, b, what="rate"):
    """Median over rounds of a/b, each round's two figures taken together."""
    pairs = [x[what] / y[what] for x, y in zip(results.get(a, []), results.get(b, [])) if y[what]]
    return statistics.median(pairs) if pairs else None


# The comparisons the report makes: (tintorel-cli's tool and way, peer, peer's way, what), all on
# one set.
COMPARISONS = [("tintorel", "1", peer, "1", "rate") for peer in ("vips", "im6", "floor")] + \
    [("tintorel", "2", peer, "2", "rate") for peer in ("vips", "im6", "floor")] + \
    [("tintorel", "all", peer, "2", "rate") for peer in ("vips", "im6", "floor")] + \
    [("tintorel", "all", "tintorel", "2", "rate"), ("tintorel", "1", "vips", "1", "peak"),
     ("tintorel", "1", "im6", "1", "peak"), ("tintorel", "all", "vips", "2", "peak"),
     ("lossless", "1", "tintorel", "1", "rate"), ("lossless", "all", "tintorel", "all", "rate"),
     ("lossless", "all", "vips", "2", "rate"), ("lossless", "all", "im6", "2", "rate"),
     ("lossless-centre", "all", "tintorel", "all", "rate"),
     ("tiled", "all", "tintorel", "all", "rate"), ("tiled", "all", "tintorel", "all", "peak"),
     ("text-tiled", "all", "tintorel", "all", "rate"),
     ("text-tiled", "all", "tintorel", "all", "peak")]
WAYS = {"1": "per image, 1 at a time", "2": "per image, 2 at a time", "all": "one process"}


def report(results, sizes, problems, sets, args, lines):
    out = ["## Benchmark", "", *[f"- {line}" for line in lines],
           f"- Mode: {'quick' if args.quick else 'full'}, {args.reps} counted round(s)"
           f"{'' if args.quick else ' after one warm-up round that also checks every output'}. "
           "Figures are medians over rounds, images/s with its min-max; CPU is user + system "
           "time of all processes; peak RSS is the largest single process.", "",
           "| pictures | tool | how | images/s | CPU s per image | peak RSS MiB | output MiB per image |",
           "|---|---|---|---|---|---|---|"]
    for (set_name, tool, how), runs in results.items():
        count = len(sets[set_name])
        rates = [r["rate"] for r in runs]
        speed = "failed" if problems.get((set_name, tool, how)) else \
            f"{statistics.median(rates):.2f} ({min(rates):.2f}-{max(rates):.2f})"
        cpu = statistics.median(r["cpu"] for r in runs) / count
        peak = max(r["peak"] for r in runs) / 1024
        size = sizes.get((set_name, tool, how), 0) / count / 2**20
        figures = "- | - | -" if speed == "failed" else f"{cpu:.2f} | {peak:.0f} | {size:.2f}"
        out.append(f"| {count} {SET_KINDS[set_name]} | {TOOL_TITLES[tool]} | {HOW_TITLES[how]} "
                   f"| {speed} | {figures} |")
    out += ["", "tintorel-cli against each peer, round by round (speed: above 1 is faster; "
            "memory: above 1 uses more):", "",
            "| pictures | tintorel-cli | peer | speed | peak memory |", "|---|---|---|---|---|"]
    for set_name in sets:
        for tool, how, peer, peer_how, what in COMPARISONS:
            a, b = (set_name, tool, how), (set_name, peer, peer_how)
            if a in problems or b in problems:
                continue
            r = ratio(results, a, b, what)
            if r is not None:
                cells = [f"{r:.2f}", ""] if what == "rate" else ["", f"{r:.2f}"]
                out.append(f"| {SET_KINDS[set_name]} | {TOOL_TITLES[tool]} {WAYS[how]} "
                           f"| {TOOL_TITLES[peer]} "
                           f"{WAYS[peer_how]} | {' | '.join(cells)} |")
    if problems:
        out += ["", "Failed checks (those cases' speeds are left out):", ""]
        for key, items in problems.items():
            out += [f"- {' / '.join(key)}: {item}" for item in items[:3]]
    return "\n".join(out) + "\n"


# ---------------------------------------------------------------- main

def output_check(key, sources, out, c):
    """Problems with a case's outputs, and their total size."""
    set_name, tool, _ = key
    _, w, h, _ = corpus_mod.SETS[set_name]
    with tempfile.TemporaryDirectory() as scratch:
        problems = check_outputs(tool, sources, out, (w, h), c, scratch)
    written = [os.path.join(out, os.path.basename(s)) for s in sources]
    return problems, sum(os.path.getsize(p) for p in written if os.path.exists(p))


def run_case(key, sources, base, c, env):
    """Runs one case into a fresh folder; returns wall, peak, CPU, problems and that folder."""
    set_name, tool, how = key
    _, w, h, _ = corpus_mod.SETS[set_name]
    out = os.path.join(base, "-".join(key))
    log = os.path.join(base, "logs", "-".join(key) + ".log")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    if how == "all":
        commands, at_once = [tintorel_command(c, sources, out, tool)], 1
    else:
        commands = [image_command(tool, s, os.path.join(out, os.path.basename(s)), (w, h), c)
                    for s in sources]
        at_once = int(how)
    wall, peak, cpu, failed = run_pool(commands, at_once, log, env)
    problems = []
    if failed:
        with open(log, errors="replace") as f:
            said = next((line.strip() for line in f if line.strip()), "")
        problems.append(f"exit codes {failed}; first words: {said}")
    return wall, peak, cpu, problems, out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--job", choices=("stamp", "web"), default="stamp",
                        help="stamp: the sets as they are; web: the 12 MP photos resized to 2048 "
                             "and written as JPEG and WebP (see webjob.py)")
    parser.add_argument("--quick", action="store_true",
                        help="a few pictures of each set, one round, no warm-up: checks that it works")
    parser.add_argument("--reps", type=int, help="counted rounds (default 3; 1 with --quick)")
    parser.add_argument("--sets", default="jpeg12,png2,jpeg108", help="which picture sets")
    parser.add_argument("--corpus", default=os.path.join(HERE, "corpus"), help="the cached pictures")
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "bin"),
                        help="the folder holding tintorel-cli")
    parser.add_argument("--out", help="scratch folder for the outputs (default: under /dev/shm)")
    parser.add_argument("--report", default=os.path.join(HERE, "last-report.md"))
    parser.add_argument("--tools", help="only these tools, such as tintorel,tiled (default: all)")
    args = parser.parse_args()
    args.reps = args.reps or (1 if args.quick else 3)
    if args.job == "web":
        args.sets = "jpeg12"

    # Only the sets asked for are made.
    counts = dict(QUICK_COUNTS if args.quick else {})
    counts.update({name: 0 for name in corpus_mod.SETS if name not in args.sets.split(",")})
    c = corpus_mod.make_corpus(args.corpus, counts)
    c["cli"] = os.path.abspath(os.path.join(args.bin, "tintorel-cli"))
    if not os.access(c["cli"], os.X_OK):
        raise SystemExit(f"no tintorel-cli at {c['cli']}; build first")
    sets = {name: c[name] for name in corpus_mod.SETS if name in args.sets.split(",")}
    env = corpus_mod.magick_env(os.path.abspath(args.corpus))
    base = args.out or tempfile.mkdtemp(prefix="tintorel-bench-",
                                        dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    os.makedirs(os.path.join(base, "logs"), exist_ok=True)
    c["scratch"] = base
    version = subprocess.run([c["cli"], "--version"], capture_output=True, text=True).stdout
    lines = machine() + [f"Measured: {c['cli']} ({version.strip()})"]
    if args.job == "web":
        text, ok = webjob.run(args, c, run_pool, env, base)
        text = "\n".join(f"- {line}" for line in lines) + "\n\n" + text
        with open(args.report, "w") as f:
            f.write(text)
        print(text)
        if not args.out:
            shutil.rmtree(base, ignore_errors=True)
        return 0 if ok else 1

    help_text = subprocess.run([c["cli"], "--help"], capture_output=True, text=True).stdout
    cases = []
    for set_name in sets:
        tools = ["tintorel", "vips", "im6"] + (["floor"] if set_name.startswith("jpeg") else [])
        cases += [(set_name, tool, how) for how in ("1", "2") for tool in tools]
        cases.append((set_name, "tintorel", "all"))
        if set_name.startswith("jpeg"):
            cases += [(set_name, "lossless", "1"), (set_name, "lossless", "all"),
                      (set_name, "lossless-centre", "all"), (set_name, "tiled", "all")]
        if set_name == "jpeg12" and "--text " in help_text:
            cases.append((set_name, "text-tiled", "all"))
    if args.tools:
        cases = [key for key in cases if key[1] in args.tools.split(",")]

    results, sizes, problems = {}, {}, {}
    rounds = args.reps + (0 if args.quick else 1)
    for round_no in range(rounds):
        counted, checked = args.quick or round_no > 0, round_no == 0
        print(f"round {round_no + 1} of {rounds}{'' if counted else ' (warm-up, checks outputs)'}",
              file=sys.stderr, flush=True)
        for key in cases:
            sources = sets[key[0]]
            wall, peak, cpu, found, out = run_case(key, sources, base, c, env)
            if checked:
                more, sizes[key] = output_check(key, sources, out, c)
                found += more
            if found:
                problems.setdefault(key, []).extend(found)
            if counted:
                results.setdefault(key, []).append({"rate": len(sources) / wall, "peak": peak,
                                                    "cpu": cpu})
            print(f"  {'/'.join(key)}: {len(sources) / wall:.2f} images/s, peak {peak / 1024:.0f} "
                  f"MiB{' FAILED' if key in problems else ''}", file=sys.stderr, flush=True)
            shutil.rmtree(out, ignore_errors=True)
    lines.append(f"Load average at the end {os.getloadavg()[0]:.2f}")
    text = report(results, sizes, problems, sets, args, lines)
    with open(args.report, "w") as f:
        f.write(text)
    print(text)
    if not args.out:
        shutil.rmtree(base, ignore_errors=True)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
