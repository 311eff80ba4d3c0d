"""Runs the updater on a pseudo-terminal, plays the player's keys and prints the terminal's states.

Usage: terminal-capture.py UPDATER DATA_FOLDER (see scripts/terminal-captures)."""
import fcntl
import os
import pty
import select
import struct
import sys
import termios
import time

COLUMNS = 80


def start(updater, data, locale, arguments):
    pid, master = pty.fork()
    if pid == 0:
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TMPDIR": data, "HALCYNE_UI": "console",
               "LC_ALL": locale, "HOME": os.environ.get("HOME", "/tmp")}
        os.execve(updater, [updater] + arguments, env)
    fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 24, COLUMNS, 0, 0))
    return pid, master


def read(master, output, seconds, until=None):
    """Reads for `seconds`, or until `until` appears in the output (bytes); returns the output."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if until is not None and until in output:
            break
        ready, _, _ = select.select([master], [], [], 0.05)
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            output += chunk
    return output


def screen(output):
    """The lines as the terminal shows them: each line's last drawing after a carriage return."""
    lines = []
    for line in output.decode("utf-8", "replace").split("\n"):
        drawings = [d for d in line.split("\r") if d.strip()]
        if drawings:
            lines.append(drawings[-1].rstrip())
    return lines


def last_drawing(output, marker):
    """The last drawing of the progress line that shows `marker`."""
    found = ""
    for line in output.decode("utf-8", "replace").split("\n"):
        for drawing in line.split("\r"):
            if marker in drawing:
                found = drawing.rstrip()
    return found


def show(title, lines):
    print("--- " + title)
    for line in lines:
        print(line)
    print()


def main():
    updater, data = sys.argv[1], sys.argv[2]
    # 1. German locale: prompt, progress, pause, resume, launch.
    pid, master = start(updater, data, "de_DE.UTF-8", ["limit=32768"])
    output = read(master, b"", 30, b"[1]: ")
    show("German locale: the language prompt", screen(output))
    os.write(master, b"2\n")
    output = read(master, output, 30, "MB/s".encode())
    output = read(master, output, 1.5)
    show("downloading", screen(output)[-3:])
    os.write(master, b"p")
    output = read(master, output, 10, "Pausiert".encode())
    output = read(master, output, 1)
    show("paused (p)", [last_drawing(output, "Pausiert")])
    os.write(master, b"p")
    output = read(master, output, 120, b"Demo downloader started")
    output = read(master, output, 2)
    os.waitpid(pid, 0)
    lines = screen(output)
    done = max(i for i, line in enumerate(lines) if "100%" in line)
    show("resumed (p) and launched", lines[done:done + 3])
    # 2. Japanese locale, the same data folder: the files on disk are verified before anything is fetched.
    pid, master = start(updater, data, "ja_JP.UTF-8", [])
    output = read(master, b"", 30, b"[1]: ")
    show("Japanese locale: the language prompt", screen(output))
    os.write(master, b"2\n")
    output = read(master, output, 120, b"Demo downloader started")
    output = read(master, output, 2)
    os.waitpid(pid, 0)
    show("verifying the files on disk", [last_drawing(output, "überprüft")])


main()
