"""The benchmark's pictures: photographs from Debian's wallpaper packages scaled by ImageMagick 6,
and the project's own logo. Every file is made once and kept, so reruns start at once."""
import os
import subprocess

# Photographs, picked by eye from Debian 12's wallpaper packages; the drawings and gradients that the
# same packages ship are left out, because their flat areas code far cheaper than a photo does.
PHOTOS = {
    "lomiri-wallpapers-16.04": ["/usr/share/backgrounds/" + name for name in (
        "Bridge_by_Sander_Klootwijk.jpg", "Dragonfly_by_Bolly.jpg", "Picture_0B_by_freespace.jpg",
        "Picture_1A_by_freespace.jpg", "Wine_by_Jakkub_Mede.jpg", "aitzgorri_by_Aitzol_Berasategi.jpg",
        "analogpattern_by_Peter_Nerlich.jpg", "free_by_Peter_Nerlich.jpg",
        "friends_by_Aitzol_Berasategi.jpg", "greentock_by_Peter_Nerlich.jpg",
        "life_by_Aitzol_Berasategi.jpg", "picosdeeuropa_by_Aitzol_Berasategi.jpg",
        "seeding_by_Clements_Engelhardt.jpg", "sunset_by_Aitzol_Berasategi.jpg")],
    "lomiri-wallpapers-20.04": ["/usr/share/backgrounds/Kleiber_by_Lukas_Baubkus.jpg"],
    "mate-backgrounds": ["/usr/share/backgrounds/mate/nature/" + name for name in (
        "Aqua.jpg", "Blinds.jpg", "Dune.jpg", "FreshFlower.jpg", "Garden.jpg", "GreenMeadow.jpg",
        "LadyBird.jpg", "RainDrops.jpg", "Storm.jpg", "TwoWings.jpg", "Wood.jpg", "YellowFlower.jpg")],
}
TOOLS = ["imagemagick", "libvips-tools", "libjpeg-turbo-progs", "fonts-dejavu-core", "time"]
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
# The real ImageMagick 6, never a wrapper that may stand earlier on PATH.
CONVERT = "/usr/bin/convert-im6.q16"

SETS = {  # name: (count, width, height, extension)
    "jpeg12": (24, 4000, 3000, "jpg"),
    "png2": (24, 1600, 1200, "png"),
    "jpeg108": (2, 12000, 9000, "jpg"),
}
LOGO_SIZE = (400, 150)

# Debian's ImageMagick policy caps the pixel cache at 256 MiB of memory and 1 GiB of disk, too little
# for a 108-megapixel picture; this one lets ImageMagick use the machine's memory.
POLICY = """<policymap>
  <policy domain="resource" name="memory" value="16GiB"/>
  <policy domain="resource" name="map" value="16GiB"/>
  <policy domain="resource" name="area" value="1GP"/>
  <policy domain="resource" name="disk" value="16GiB"/>
</policymap>
"""


def install(packages):
    """Installs the Debian packages that are missing (through sudo when not root)."""
    missing = [p for p in packages if subprocess.run(
        ["dpkg-query", "-W", "-f=${Status}", p], capture_output=True, text=True
    ).stdout != "install ok installed"]
    if not missing:
        return
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    print("Installing:", " ".join(missing), flush=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(sudo + ["apt-get", "update", "-qq"], check=True, env=env)
    subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "--no-install-recommends"] + missing,
                   check=True, env=env, stdout=subprocess.DEVNULL)


def magick_env(folder):
    path = os.path.join(folder, "magick")
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, "policy.xml"), "w") as f:
        f.write(POLICY)
    return dict(os.environ, MAGICK_CONFIGURE_PATH=path)


def photos():
    """The photographs found, largest first, so the 12-megapixel set is the least enlarged."""
    found = [p for paths in PHOTOS.values() for p in paths if os.path.exists(p)]
    if not found:
        raise SystemExit("no photographs found; are the wallpaper packages installed?")

    def area(path):
        w, h = subprocess.run(["identify", "-format", "%w %h", path], capture_output=True,
                              text=True, check=True).stdout.split()
        return int(w) * int(h)
    return sorted(found, key=area, reverse=True)


def _make(target, command, env):
    """Runs an ImageMagick command that writes target through a temporary name, so an interrupted
    build never leaves a half file that a rerun would take as made."""
    temporary = target + ".part"
    subprocess.run([CONVERT] + command + [f"{os.path.splitext(target)[1][1:].upper()}:{temporary}"],
                   check=True, env=env)
    os.replace(temporary, target)


def make_logo(folder, env):
    """The project's logo on white (Tintorel leaves its white out), and the same logo with the white
    made transparent for the tools that composite by alpha: both then stamp the same pixels."""
    logo, keyed = os.path.join(folder, "logo.png"), os.path.join(folder, "logo-alpha.png")
    w, h = LOGO_SIZE
    if not os.path.exists(logo):
        _make(logo, ["-size", f"{w}x{h}", "xc:white",
                     "-fill", "#1d3557", "-draw", f"roundrectangle 6,6 {w - 7},{h - 7} 18,18",
                     "-fill", "white", "-draw", f"roundrectangle 14,14 {w - 15},{h - 15} 12,12",
                     "-fill", "#e63946", "-draw", "circle 75,75 75,30",
                     "-font", FONT, "-pointsize", "46", "-fill", "#1d3557",
                     "-annotate", "+130+92", "Tintorel", "-alpha", "off", "-depth", "8",
                     "-define", "png:color-type=2"], env)
    if not os.path.exists(keyed):
        _make(keyed, [logo, "-transparent", "white", "-depth", "8",
                      "-define", "png:color-type=6"], env)
    return logo, keyed


def make_corpus(folder, counts):
    """Makes what is missing of the sets (as many pictures of each as counts asks) and returns
    {set: [paths]} plus the two logos."""
    install(TOOLS + list(PHOTOS))
    folder = os.path.abspath(folder)
    env = magick_env(folder)
    sources = photos()

    def make_set(name, count):
        total, w, h, ext = SETS[name]
        os.makedirs(os.path.join(folder, name), exist_ok=True)
        paths = [os.path.join(folder, name, f"{name}-{i + 1:02d}.{ext}") for i in range(count)]
        for i, target in enumerate(paths):
            if os.path.exists(target):
                continue
            print("making", target, flush=True)
            if name == "jpeg108":
                # Nine different 12-megapixel frames, three by three: one photo enlarged three
                # times would hold far less detail than a camera's 108 megapixels.
                frames = make_set("jpeg12", 9 * (i + 1))[9 * i:]
                rows = [["("] + frames[r * 3:r * 3 + 3] + ["+append", ")"] for r in range(3)]
                command = sum(rows, []) + ["-append"]
            else:
                # Filled and cropped to the frame: no stretching, no borders.
                command = [sources[i % len(sources)], "-auto-orient", "-resize", f"{w}x{h}^",
                           "-gravity", "center", "-extent", f"{w}x{h}"]
            command += ["-strip", "-alpha", "off", "-depth", "8"]
            if ext == "jpg":
                command += ["-sampling-factor", "2x2", "-quality", "90"]  # as cameras write
            else:
                command += ["-define", "png:color-type=2"]  # opaque 8-bit RGB
            _make(target, command, env)
        return paths

    corpus = {name: make_set(name, min(counts.get(name, total), total))
              for name, (total, *_) in SETS.items()}
    corpus["logo"], corpus["logo-alpha"] = make_logo(folder, env)
    return corpus
