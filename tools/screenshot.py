#!/usr/bin/python3
"""Makes the README's screenshots from the real program under Xvfb: the main window as it opens,
and the preview window with a sample image and the sample watermark, reached by clicking through
the window as a person would, the box that ends a run in which pictures failed, its details
shown, and the "More Options" dialog's Mark and Output pages with a text mark (needs Xvfb, xdotool
and ImageMagick's import).

With --dark the desktop has a dark palette (a KDE desktop with dark colours, which Qt reads from
kdeglobals) and the pictures are named *-dark.png.

usage: tools/screenshot.py BUILD_BIN_DIR OUTPUT_DIR [--dark]"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from xserver import start_xvfb  # noqa: E402

# Control centres in the main window's client area, in pixels (the designed twips / 15).
SAMPLES_BUTTON = (400, 182)
FIRST_ENTRY = (100, 38)
PREVIEW_BUTTON = (268, 509)
START_BUTTON = (268, 544)
MORE_OPTIONS_BUTTON = (436, 409)


def run(*args, env):
    return subprocess.run(args, env=env, check=True, capture_output=True, text=True).stdout.strip()


def wait_for_window(title, env, timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{title}$"],
                               env=env, capture_output=True, text=True).stdout.split()
        if found:
            return found[0]
        time.sleep(0.2)
    raise SystemExit(f"no window titled {title}")


def click(window, point, env):
    run("xdotool", "mousemove", "--window", window, str(point[0]), str(point[1]), "click", "1",
        env=env)
    time.sleep(0.5)


# A dark desktop palette as KDE keeps it: background and text of windows, views, buttons and
# selections, as red,green,blue.
DARK_COLOURS = """[Colors:Window]
BackgroundNormal=42,46,50
ForegroundNormal=230,232,234
[Colors:View]
BackgroundNormal=27,30,32
ForegroundNormal=230,232,234
[Colors:Button]
BackgroundNormal=49,54,59
ForegroundNormal=230,232,234
[Colors:Selection]
BackgroundNormal=61,174,233
ForegroundNormal=255,255,255
[Colors:Tooltip]
BackgroundNormal=49,54,59
ForegroundNormal=230,232,234
"""


def dark_desktop(env):
    env.update(XDG_CURRENT_DESKTOP="KDE", KDE_SESSION_VERSION="5")
    with open(os.path.join(env["XDG_CONFIG_HOME"], "kdeglobals"), "w") as colours:
        colours.write(DARK_COLOURS)


def run_with_failures(bin_dir, out_dir, suffix, env, home):
    """A folder of samples with three files that are no pictures, stamped: the box at the end
    counts them and lists them in its details."""
    folder = os.path.join(home, "Holiday")
    os.makedirs(folder)
    samples = os.path.join(bin_dir, "Samples")
    for name in sorted(os.listdir(samples))[:5]:
        with open(os.path.join(samples, name), "rb") as source, \
                open(os.path.join(folder, name), "wb") as copy:
            copy.write(source.read())
    for name in ("IMG_0412.jpg", "IMG_0413.jpg", "IMG_0419.jpg"):
        with open(os.path.join(folder, name), "wb") as broken:
            broken.write(b"\xff\xd8\xff\xe0 cut off while copying from the card")
    out = os.path.join(home, "Stamped")
    os.makedirs(out)
    with open(os.path.join(env["XDG_CONFIG_HOME"], "Varnholt.conf"), "w") as settings:
        settings.write(f"[Tintorel]\nCombo1=8\nText2={out}\n"
                       f"Text1={os.path.join(bin_dir, 'Watermark', 'watermark.bmp')}\n")
    # The server resets once its last client is gone, and takes no new one meanwhile.
    time.sleep(2)
    app = subprocess.Popen([os.path.join(bin_dir, "tintorel"), folder], env=env)
    try:
        main_window = wait_for_window("Tintorel", env)
        time.sleep(1)
        click(main_window, START_BUTTON, env)
        deadline = time.time() + 30
        while True:
            boxes = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Tintorel$"],
                                   env=env, capture_output=True, text=True).stdout.split()
            boxes = [b for b in boxes if b != main_window]
            if boxes or time.time() > deadline:
                break
            time.sleep(0.2)
        if not boxes:
            raise SystemExit("no box at the end of the run")
        # By keyboard, as anyone may: Tab from OK to "Show Details...", then Space.
        run("xdotool", "windowfocus", "--sync", boxes[0], env=env)
        run("xdotool", "key", "Tab", "space", env=env)
        time.sleep(1)
        run("import", "-window", boxes[0],
            os.path.join(out_dir, f"run-end-failures{suffix}.png"), env=env)
    finally:
        app.terminate()
        app.wait(timeout=10)


def more_options(bin_dir, out_dir, suffix, env):
    """The dialog with a text mark as a user would set it, over a sample photograph."""
    with open(os.path.join(env["XDG_CONFIG_HOME"], "Varnholt.conf"), "w") as settings:
        settings.write("[Tintorel]\nCombo1=8\nText2=/home/ada/Pictures/Stamped/\n"
                       "MarkKind=text\nMarkText=(c) {year} Ada Lovelace\nMarkTextSize=5\n"
                       "MarkTextShadow=true\nMarkOpacity=85\nMarkMargin=24\nJpegQuality=90\n"
                       "StripMetadata=true\nNamePattern={name}-web\nMark2Text={name}\n"
                       "Mark2Placement=6\n")
    time.sleep(2)
    photo = os.path.join(bin_dir, "Samples", "sunset-hills.jpg")
    app = subprocess.Popen([os.path.join(bin_dir, "tintorel"), photo], env=env)
    try:
        main_window = wait_for_window("Tintorel", env)
        time.sleep(1)
        click(main_window, MORE_OPTIONS_BUTTON, env)
        dialog = wait_for_window("More Options", env)
        time.sleep(1.5)
        run("import", "-window", dialog, os.path.join(out_dir, f"more-options-mark{suffix}.png"),
            env=env)
        run("xdotool", "windowfocus", "--sync", dialog, env=env)
        run("xdotool", "key", "alt+o", env=env)
        time.sleep(0.5)
        run("import", "-window", dialog,
            os.path.join(out_dir, f"more-options-output{suffix}.png"), env=env)
    finally:
        app.terminate()
        app.wait(timeout=10)


def main():
    bin_dir, out_dir = sys.argv[1], sys.argv[2]
    dark = "--dark" in sys.argv[3:]
    suffix = "-dark" if dark else ""
    xvfb, display = start_xvfb()
    with tempfile.TemporaryDirectory() as home:
        env = dict(os.environ, DISPLAY=display, HOME=home, XDG_RUNTIME_DIR=home,
                   XDG_CONFIG_HOME=os.path.join(home, "config"))
        env.pop("QT_QPA_PLATFORM", None)
        # Remembered choices as a user would have them: an output folder and the bottom-right place.
        os.makedirs(env["XDG_CONFIG_HOME"])
        with open(os.path.join(env["XDG_CONFIG_HOME"], "Varnholt.conf"), "w") as settings:
            settings.write("[Tintorel]\nCombo1=8\nText2=/home/ada/Pictures/Stamped/\n")
        if dark:
            dark_desktop(env)
        app = subprocess.Popen([os.path.join(bin_dir, "tintorel")], env=env)
        try:
            main_window = wait_for_window("Tintorel", env)
            time.sleep(1)
            click(main_window, SAMPLES_BUTTON, env)
            run("xdotool", "key", "Escape", env=env)  # "No": do not open the samples folder
            time.sleep(0.5)
            click(main_window, FIRST_ENTRY, env)
            run("import", "-window", main_window, os.path.join(out_dir, f"main-window{suffix}.png"), env=env)

            click(main_window, PREVIEW_BUTTON, env)
            preview = wait_for_window("Preview", env)
            time.sleep(1)
            run("import", "-window", preview, os.path.join(out_dir, f"preview-window{suffix}.png"), env=env)
        finally:
            app.terminate()
            app.wait(timeout=10)
        try:
            more_options(bin_dir, out_dir, suffix, env)
            run_with_failures(bin_dir, out_dir, suffix, env, home)
        finally:
            xvfb.terminate()
            xvfb.wait()


if __name__ == "__main__":
    main()
