#!/usr/bin/python3
"""Starts the real program under Xvfb as a person would meet it: finds its window titled
"Tintorel", checks its client size, closes it through the window manager's close request
(WM_DELETE_WINDOW) and expects a clean exit with no process left behind."""
import os
import subprocess
import sys
import tempfile
import time

from Xlib import X, display, protocol

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from xserver import start_xvfb  # noqa: E402

EXPECTED_SIZE = (536, 601)  # 8040 x 9015 twips


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


def find_window(dpy, title, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        for window in dpy.screen().root.query_tree().children:
            try:
                if window.get_wm_name() == title and window.get_attributes().map_state == X.IsViewable:
                    return window
            except Exception:
                pass
        time.sleep(0.1)
    return None


def close_like_a_user(dpy, window):
    wm_protocols = dpy.intern_atom("WM_PROTOCOLS")
    delete = dpy.intern_atom("WM_DELETE_WINDOW")
    event = protocol.event.ClientMessage(window=window, client_type=wm_protocols,
                                         data=(32, [delete, X.CurrentTime, 0, 0, 0]))
    window.send_event(event, event_mask=X.NoEventMask)
    dpy.flush()


def main():
    program = sys.argv[1]
    xvfb, name = start_xvfb()
    failures = []
    with tempfile.TemporaryDirectory() as home:
        env = dict(os.environ, DISPLAY=name, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                   XDG_RUNTIME_DIR=home)
        env.pop("QT_QPA_PLATFORM", None)
        app = subprocess.Popen([program], env=env)
        try:
            dpy = connect(name)
            window = find_window(dpy, "Tintorel", 30)
            if window is None:
                failures.append("no window titled Tintorel appeared")
            else:
                geometry = window.get_geometry()
                if (geometry.width, geometry.height) != EXPECTED_SIZE:
                    failures.append(f"client size {geometry.width}x{geometry.height}, "
                                    f"expected {EXPECTED_SIZE[0]}x{EXPECTED_SIZE[1]}")
                close_like_a_user(dpy, window)
            try:
                code = app.wait(timeout=20)
                if code != 0:
                    failures.append(f"exit code {code}")
            except subprocess.TimeoutExpired:
                failures.append("the program did not end after the close request")
            leftovers = subprocess.run(["pgrep", "-P", str(app.pid)], capture_output=True, text=True)
            if leftovers.stdout.strip():
                failures.append("processes left behind: " + leftovers.stdout.strip())
        finally:
            if app.poll() is None:
                app.kill()
            xvfb.terminate()
            xvfb.wait()
    for failure in failures:
        print("FAIL:", failure)
    print(f"{0 if failures else 1} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
