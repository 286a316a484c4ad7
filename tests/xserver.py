"""A private X server (Xvfb) for tests and screenshots of the real program."""
import os
import subprocess
import time


def start_xvfb(size="1280x1024x24", timeout=20):
    """Starts Xvfb on the first free display from 90 up; returns the process and ":N"."""
    for number in range(90, 190):
        if os.path.exists(f"/tmp/.X{number}-lock") or os.path.exists(f"/tmp/.X11-unix/X{number}"):
            continue
        server = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", size, "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + timeout
        while server.poll() is None and time.time() < deadline:
            if os.path.exists(f"/tmp/.X11-unix/X{number}"):
                return server, f":{number}"
            time.sleep(0.05)
        if server.poll() is None:
            server.kill()
        server.wait()
    raise RuntimeError("no X display could be started")
