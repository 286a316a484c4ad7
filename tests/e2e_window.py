#!/usr/bin/python3
"""A session with the real program under Xvfb, driven as a person drives it: real pointer clicks and
key presses (XTEST) on the main window and on every kind of real dialog it opens (question,
message box, text input, folder picker, file dialog, colour dialog). It loads the samples, starts
a run and waits for "Done.", checks that every written image carries the watermark exactly where
the placement puts it, opens the preview and checks its size, and closes the program through the
window manager's close request (WM_DELETE_WINDOW), expecting a clean exit. Then the window is
closed at 20 moments of a run, boxes open or not, and at 200 % scale it must lie on the screen.

Set TINTOREL_E2E_SHOTS to a folder to keep a screenshot of each step there."""
import os
import shutil
import subprocess
import sys
import tempfile
import time

from Xlib import X, display, protocol

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_images import check_output, make_image  # noqa: E402
from xserver import start_xvfb  # noqa: E402

SCREEN = (1280, 1024)
MAIN_SIZE = (536, 601)  # 8040 x 9015 twips
SHORT_TITLE = "Tintorel"
ADD_FILES_TITLE = "Add File(s) - Hold Ctrl or Shift to select multiple files"
FOLDER_TITLE = "Please select folder:"
COLOUR_TITLE = "Select Color"
# Centres of the main window's controls, in pixels from its top-left corner (the twips layout).
LOAD_SAMPLES = (400, 182)
ADD_FILES = (136, 148)
ADD_FOLDER = (400, 148)
FIRST_ENTRY = (100, 40)
WATERMARK_PATH = (244, 233)
ADVICE = (452, 291)
PLACEMENT = (268, 353)
PNG_FORMAT = (292, 410)
OUTPUT_FOLDER = (492, 465)
PREVIEW = (268, 509)
START = (268, 544)
# The watermark's blue fill, chosen as the transparent colour: the run must leave it out.
TRANSPARENT = (0x2F, 0x6F, 0xC0)
BOTTOM_RIGHT = 8


class Failed(Exception):
    pass


class Session:
    """The X connection, the program's main window and the ways a person acts on windows."""

    def __init__(self, name, env, shots, program):
        self.env = env
        self.shots = shots
        self.step = 0
        self.dpy = connect(name)
        self.main = None
        self.watermark = os.path.join(os.path.dirname(program), "Watermark", "watermark.bmp")

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True, capture_output=True)

    def shot(self, label):
        if self.shots:
            self.step += 1
            path = os.path.join(self.shots, f"{self.step:02d}-{label}.png")
            subprocess.run(["import", "-window", "root", path], env=self.env, check=False)

    def windows(self):
        found = {}
        for window in self.dpy.screen().root.query_tree().children:
            try:
                if window.get_attributes().map_state == X.IsViewable:
                    found[window.id] = (window, window.get_wm_name())
            except Exception:
                pass
        return found

    def wait_window(self, title=None, exclude=(), timeout=15):
        """The first viewable window, other than those excluded, with that title (any title)."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            for wid, (window, name) in self.windows().items():
                if wid not in exclude and (title is None or name == title):
                    return window
            time.sleep(0.05)
        raise Failed(f"no window titled {title!r} appeared")

    def wait_gone(self, window, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if window.id not in self.windows():
                return
            time.sleep(0.05)
        raise Failed(f"window {window.get_wm_name()!r} stayed open")

    def origin(self, window):
        at = window.translate_coords(self.dpy.screen().root, 0, 0)
        return -at.x, -at.y

    def click(self, offset, window=None):
        x, y = self.origin(window or self.main)
        # Without --sync: when the pointer is already there, xdotool would wait for a move.
        self.xdotool("mousemove", str(x + offset[0]), str(y + offset[1]), "click", "1")

    def keys(self, window, *keys):
        self.xdotool("windowfocus", "--sync", str(window.id))
        for key in keys:
            self.xdotool("key", key)

    def type(self, window, text):
        self.xdotool("windowfocus", "--sync", str(window.id))
        self.xdotool("type", "--delay", "2", text)

    def box_after(self, action, title=SHORT_TITLE, timeout=15):
        """Does the action and returns the dialog that it opens."""
        action()
        return self.wait_window(title, exclude={self.main.id}, timeout=timeout)

    def answer_name(self, dialog, text):
        """Types a name into a file or folder dialog and presses Return, as a person does while
        the name field's completion list is open."""
        self.type(dialog, text)
        self.shot("typed")
        self.keys(dialog, "Return")
        self.wait_gone(dialog)


def connect(name, timeout=10):
    # The server may take a moment to accept clients after it has named its display.
    deadline = time.time() + timeout
    while True:
        try:
            return display.Display(name)
        except Exception:
            if time.time() > deadline:
                raise
            time.sleep(0.1)


def close_like_a_user(dpy, window):
    wm_protocols = dpy.intern_atom("WM_PROTOCOLS")
    delete = dpy.intern_atom("WM_DELETE_WINDOW")
    event = protocol.event.ClientMessage(window=window, client_type=wm_protocols,
                                         data=(32, [delete, X.CurrentTime, 0, 0, 0]))
    window.send_event(event, event_mask=X.NoEventMask)
    dpy.flush()


def fill_the_list(s, home):
    """Samples (question answered No), a folder scan for "png" (text input, folder picker) and a
    typed name of a file that does not exist yet (file dialog)."""
    question = s.box_after(lambda: s.click(LOAD_SAMPLES))
    s.shot("samples-question")
    s.keys(question, "alt+n")
    s.wait_gone(question)

    extension = s.box_after(lambda: s.click(ADD_FOLDER))
    s.shot("extension")
    s.keys(extension, "ctrl+a")
    s.type(extension, "png")
    s.keys(extension, "Return")
    s.wait_gone(extension)
    picker = s.wait_window(FOLDER_TITLE)
    s.answer_name(picker, os.path.join(home, "scan"))

    files = s.box_after(lambda: s.click(ADD_FILES), ADD_FILES_TITLE)
    s.shot("add-files")
    s.answer_name(files, os.path.join(home, "later.png"))


def set_the_options(s, home):
    """The advice box, the colour by keyboard (colour dialog), the bottom-right placement, PNG and
    the output folder (folder picker)."""
    advice = s.box_after(lambda: s.click(ADVICE))
    s.shot("advice")
    s.keys(advice, "Return")
    s.wait_gone(advice)

    s.click(WATERMARK_PATH)
    s.keys(s.main, "Tab", "Tab")
    time.sleep(0.2)
    s.shot("colour-focus")
    colour = s.box_after(lambda: s.keys(s.main, "space"), COLOUR_TITLE)
    s.shot("colour-dialog")
    s.keys(colour, "alt+h", "ctrl+a")
    s.type(colour, "#%02x%02x%02x" % TRANSPARENT)
    s.keys(colour, "Return")
    s.wait_gone(colour)

    s.click(PLACEMENT)
    time.sleep(0.3)
    s.keys(s.main, "End", "Return")
    s.click(PNG_FORMAT)
    picker = s.box_after(lambda: s.click(OUTPUT_FOLDER), FOLDER_TITLE)
    s.answer_name(picker, os.path.join(home, "out"))
    s.shot("options-set")


def run_and_check(s, inputs, out):
    done = s.box_after(lambda: s.click(START), None, timeout=60)
    s.shot("done")
    if done.get_wm_name() != SHORT_TITLE:
        raise Failed(f"the run ended with a box titled {done.get_wm_name()!r}")
    s.keys(done, "Return")
    s.wait_gone(done)
    written = sorted(os.listdir(out))
    expected = sorted(os.path.splitext(os.path.basename(p))[0] + ".png" for p in inputs)
    if written != expected:
        raise Failed(f"written {written}, expected {expected}")
    for path in inputs:
        name = os.path.splitext(os.path.basename(path))[0] + ".png"
        problem = check_output(path, s.watermark, os.path.join(out, name), BOTTOM_RIGHT,
                               TRANSPARENT)
        if problem:
            raise Failed(f"{name}: {problem}")


def check_preview(s, size):
    """The first entry (given at start) is larger than the screen: the preview shows it scaled to
    fit, proportions kept, wholly on the screen."""
    s.click(FIRST_ENTRY)
    s.click(PREVIEW)
    preview = s.wait_window("Preview")
    time.sleep(0.3)
    s.shot("preview")
    geometry = preview.get_geometry()
    x, y = s.origin(preview)
    scale = min(SCREEN[0] / size[0], SCREEN[1] / size[1])
    expected = (round(size[0] * scale), round(size[1] * scale))
    if (geometry.width, geometry.height) != expected:
        raise Failed(f"preview {geometry.width}x{geometry.height}, expected {expected}")
    if x < 0 or y < 0 or x + geometry.width > SCREEN[0] or y + geometry.height > SCREEN[1]:
        raise Failed(f"preview at {x},{y} leaves the screen")
    close_like_a_user(s.dpy, preview)
    s.wait_gone(preview)


# The moments of a run at which the window is closed, 20 tries in all: with the click on Start
# (the close queued first, at the same instant, or just after), some time after it, while a box
# of the run shows (its end with a damaged picture listed among failures, "Done."), and just
# before the end
# (once so many copies are written).
RUN_PHOTOS = 36
CLOSE_MOMENTS = ([("with start", t) for t in (-1, 0, 0.02, 0.05)] +
                 [("after", t) for t in (0.1, 0.15, 0.2, 0.3, 0.4, 0.5, 0.7, 0.9)] +
                 [("damaged box", SHORT_TITLE), ("damaged box", SHORT_TITLE),
                  ("box", SHORT_TITLE), ("box", SHORT_TITLE)] +
                 [("written", n) for n in (RUN_PHOTOS - 6, RUN_PHOTOS - 3, RUN_PHOTOS - 1,
                                           RUN_PHOTOS)])


def make_run_folders(home):
    """Photographs for the runs that are closed: one folder of whole pictures, and one with a
    damaged picture in the middle, whose failure the run's end lists."""
    whole = os.path.join(home, "photos")
    damaged = os.path.join(home, "photos-damaged")
    os.mkdir(whole)
    make_image(os.path.join(whole, "p00.jpg"), (1600, 1200), (180, 140, 90))
    for i in range(1, RUN_PHOTOS):
        shutil.copy(os.path.join(whole, "p00.jpg"), os.path.join(whole, "p%02d.jpg" % i))
    shutil.copytree(whole, damaged)
    # Its name reads as markup; the error report shows it as it is (seen in the screenshots).
    with open(os.path.join(damaged, "<b>BIG<i>x.jpg"), "wb") as broken:
        broken.write(b"\xff\xd8\xff\xe0 not a picture")
    return whole, damaged


def only_whole_copies(out):
    """The names written, each a complete JPEG and nothing left half made beside them."""
    written = sorted(os.listdir(out))
    for name in written:
        if name.startswith("."):
            raise Failed(f"left behind: {name}")
        with open(os.path.join(out, name), "rb") as copy:
            data = copy.read()
        if not (data.startswith(b"\xff\xd8") and data.rstrip(b"\0").endswith(b"\xff\xd9")):
            raise Failed(f"{name} is not a complete picture")
    return written


def close_at(s, moment, out):
    """Starts the run and closes the window at the moment."""
    kind, value = moment
    if kind == "with start" and value < 0:
        # The click is aimed first: the window may be gone by the time it lands.
        x, y = s.origin(s.main)
        close_like_a_user(s.dpy, s.main)
        s.xdotool("mousemove", str(x + START[0]), str(y + START[1]), "click", "1")
        return
    s.click(START)
    if kind == "with start" or kind == "after":
        time.sleep(value)
    elif kind in ("box", "damaged box"):
        s.wait_window(value, exclude={s.main.id}, timeout=20)
        s.shot("box-before-close")
    else:
        deadline = time.time() + 20
        while len(os.listdir(out)) < value and time.time() < deadline:
            time.sleep(0.005)
    close_like_a_user(s.dpy, s.main)


def close_during_runs(name, env, shots, program, home):
    """The window closed at many moments of a run, as a window manager's close button does: each
    time the run stops as Stop stops it and the program ends within 5 s with exit code 0, leaving
    only whole copies. No box is answered: the close answers them."""
    whole, damaged = make_run_folders(home)
    for number, moment in enumerate(CLOSE_MOMENTS):
        out = os.path.join(home, "closing-%02d" % number)
        os.mkdir(out)
        with open(os.path.join(env["XDG_CONFIG_HOME"], "Varnholt.conf"), "w") as config:
            config.write(f"[Tintorel]\nText2={out}\nSave Option=1\n"
                         f"Text1={os.path.join(os.path.dirname(program), 'Watermark', 'watermark.bmp')}\n")
        folder = damaged if moment[0] == "damaged box" else whole
        app = subprocess.Popen([program, folder], env=env)
        try:
            s = Session(name, env, shots, program)
            s.step = 100 + 10 * number  # each try's screenshots by their own names
            s.main = s.wait_window("Tintorel", timeout=30)
            # The folder named at start is listed once the window shows.
            time.sleep(0.3)
            close_at(s, moment, out)
            closed = time.time()
            try:
                code = app.wait(timeout=5)
            except subprocess.TimeoutExpired:
                s.shot("not-ended")
                raise Failed(f"closed {moment}: the program still runs 5 s later")
            took = time.time() - closed
            s.dpy.close()
        finally:
            if app.poll() is None:
                app.kill()
                app.wait()
        if code != 0:
            raise Failed(f"closed {moment}: exit code {code}")
        written = only_whole_copies(out)
        print(f"closed {moment}: ended after {took:.2f} s, {len(written)} copies written")


def forty_failures_in_one_box(name, env, shots, program, home):
    """Forty pictures that cannot be read among two whole ones: the run goes on through them and
    ends with one box, which Return closes; no further box follows, and the whole two are
    written."""
    folder = os.path.join(home, "unreadable")
    out = os.path.join(home, "unreadable-out")
    os.mkdir(folder)
    os.mkdir(out)
    make_image(os.path.join(folder, "a-whole.jpg"), (400, 300), (180, 140, 90))
    shutil.copy(os.path.join(folder, "a-whole.jpg"), os.path.join(folder, "z-whole.jpg"))
    for i in range(40):
        with open(os.path.join(folder, "bad%02d.jpg" % i), "wb") as broken:
            broken.write(b"\xff\xd8\xff\xe0 not a picture")
    with open(os.path.join(env["XDG_CONFIG_HOME"], "Varnholt.conf"), "w") as config:
        config.write(f"[Tintorel]\nText2={out}\nSave Option=1\n"
                     f"Text1={os.path.join(os.path.dirname(program), 'Watermark', 'watermark.bmp')}\n")
    app = subprocess.Popen([program, folder], env=env)
    try:
        s = Session(name, env, shots, program)
        s.step = 400
        s.main = s.wait_window("Tintorel", timeout=30)
        time.sleep(0.3)
        box = s.box_after(lambda: s.click(START), None, timeout=60)
        s.shot("forty-failures")
        if box.get_wm_name() != SHORT_TITLE:
            raise Failed(f"the run with 40 failures showed a box titled {box.get_wm_name()!r}")
        s.keys(box, "Return")
        s.wait_gone(box)
        try:
            extra = s.wait_window(None, exclude={s.main.id}, timeout=1.5)
            raise Failed(f"a second box {extra.get_wm_name()!r} followed the run's end")
        except Failed as none_followed:
            if "second box" in str(none_followed):
                raise
        close_like_a_user(s.dpy, s.main)
        if app.wait(timeout=10) != 0:
            raise Failed("the program did not end cleanly after the run with 40 failures")
        s.dpy.close()
    finally:
        if app.poll() is None:
            app.kill()
            app.wait()
    if sorted(os.listdir(out)) != ["a-whole.jpg", "z-whole.jpg"]:
        raise Failed(f"after 40 failures written {sorted(os.listdir(out))}")
    print("40 unreadable pictures: one box at the end, the 2 whole ones written")


def fits_at_double_scale(program, home):
    """At 200 % on a 1920 x 1080 screen the designed window is taller than the screen: it must
    lie wholly on it, title bar and progress bar included, and still close as usual."""
    xvfb, name = start_xvfb("1920x1080x24")
    env = dict(os.environ, DISPLAY=name, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
               XDG_RUNTIME_DIR=home, QT_SCALE_FACTOR="2")
    env.pop("QT_QPA_PLATFORM", None)
    app = subprocess.Popen([program], env=env)
    try:
        s = Session(name, env, None, program)
        s.main = s.wait_window("Tintorel", timeout=30)
        time.sleep(0.3)
        geometry = s.main.get_geometry()
        x, y = s.origin(s.main)
        if x < 0 or y < 0 or x + geometry.width > 1920 or y + geometry.height > 1080:
            raise Failed(f"at 200 % the window lies at {x},{y} {geometry.width}x{geometry.height}")
        close_like_a_user(s.dpy, s.main)
        if app.wait(timeout=10) != 0:
            raise Failed("at 200 % the program did not end cleanly")
        s.dpy.close()
    finally:
        if app.poll() is None:
            app.kill()
            app.wait()
        xvfb.terminate()
        xvfb.wait()


def session(s, home, program):
    s.main = s.wait_window("Tintorel", timeout=30)
    geometry = s.main.get_geometry()
    if (geometry.width, geometry.height) != MAIN_SIZE:
        raise Failed(f"client size {geometry.width}x{geometry.height}, expected {MAIN_SIZE}")
    s.shot("start")
    fill_the_list(s, home)
    set_the_options(s, home)
    # The typed name now names a file; the run takes the list as it stands.
    make_image(os.path.join(home, "later.png"), (500, 300), (90, 160, 60))
    samples = os.path.join(os.path.dirname(program), "Samples")
    inputs = [os.path.join(home, "given.png"), os.path.join(home, "scan", "blue.png"),
              os.path.join(home, "later.png")]
    inputs += [os.path.join(samples, n) for n in os.listdir(samples)]
    run_and_check(s, inputs, os.path.join(home, "out"))
    check_preview(s, (2000, 1500))
    close_like_a_user(s.dpy, s.main)


def main():
    program = os.path.abspath(sys.argv[1])
    shots = os.environ.get("TINTOREL_E2E_SHOTS")
    xvfb, name = start_xvfb("%dx%dx24" % SCREEN)
    failures = []
    started = time.time()
    with tempfile.TemporaryDirectory() as home:
        for folder in ("config", "scan", "out"):
            os.mkdir(os.path.join(home, folder))
        make_image(os.path.join(home, "given.png"), (2000, 1500), (200, 120, 40))
        make_image(os.path.join(home, "scan", "blue.png"), (120, 80), (30, 60, 220))
        shutil.copy(__file__, os.path.join(home, "scan", "not-listed.txt"))
        env = dict(os.environ, DISPLAY=name, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                   XDG_RUNTIME_DIR=home)
        env.pop("QT_QPA_PLATFORM", None)
        env.pop("QT_QPA_PLATFORMTHEME", None)
        # "Open with": a file named on the command line is the list's first entry.
        app = subprocess.Popen([program, os.path.join(home, "given.png")], env=env)
        s = None
        try:
            s = Session(name, env, shots, program)
            session(s, home, program)
            code = app.wait(timeout=20)
            if code != 0:
                failures.append(f"exit code {code}")
            close_during_runs(name, env, shots, program, home)
            forty_failures_in_one_box(name, env, shots, program, home)
            fits_at_double_scale(program, home)
        except (Failed, subprocess.CalledProcessError) as failure:
            failures.append(str(failure))
            if s:
                s.shot("failed")
        except subprocess.TimeoutExpired:
            failures.append("the program did not end after the close request")
        finally:
            leftovers = subprocess.run(["pgrep", "-P", str(app.pid)], capture_output=True, text=True)
            if leftovers.stdout.strip():
                failures.append("processes left behind: " + leftovers.stdout.strip())
            if app.poll() is None:
                app.kill()
            xvfb.terminate()
            xvfb.wait()
    for failure in failures:
        print("FAIL:", failure)
    print(f"{0 if failures else 1} passed, {len(failures)} failed in {time.time() - started:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
