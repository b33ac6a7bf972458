#!/usr/bin/python3
"""Drives one dialog-mode restore as a person would, through the real zenity.

Started by ./scripts/real-zenity-check inside its own display, session bus
and accessibility bus. Windows are found and read through the accessibility
tree (at-spi); the password is typed and the checklist row unticked with the
keyboard through xdotool; buttons are pressed through their accessibility
action. The zenity wrapper on PATH stops the program when a progress window
opens and at every "# " line, and notes it in the hold folder: each is
looked at (and photographed) before the program goes on.

usage: real-zenity-driver.py PROGRAM DRIVE HOLD SHOTS PASSWORD
Prints one line per check; exits 1 when any failed.
"""
import os
import re
import signal
import subprocess
import sys
import time

import pyatspi

PROGRAM, DRIVE, HOLD, SHOTS, PASSWORD = sys.argv[1:6]
PATIENCE = 60.0

BILLS = "C:\\Users\\alex\\Documents\\Bills & Letters\\Grüße\\tax 2024.pdf"
HOLIDAY = "C:\\Users\\alex\\Videos\\holiday.mp4"
# The bytes (and, once it can be told, the time left) over the file's path.
AMOUNT = r"[0-9.]+ (bytes?|kB|MB) of 400\.0 MB"
TIME_LEFT = r" · (less than a minute left|about [0-9]+ minutes? left)"
# Each row says what it installs; the last one's name, from the backup,
# would be an option to zenity if it went as it is.
HOSTILE_ROW = "--ok-label=Skip — instead of Notepad (a different app) — apt: gedit"
ROWS = [
    ("GIMP (you had Adobe Photoshop & Lightroom) — apt: gimp", True),
    ("VLC (you had Windows Media Player) — apt: vlc", True),
    ("LibreOffice — instead of Microsoft Office (a different app) — apt: libreoffice", False),
    (HOSTILE_ROW, False),
]
WORD_JOINER = "\u2060"  # the invisible prefix that keeps a value beginning with "-" a value
UNTICK = 1
REPORT_START = ("Done — welcome to Ubuntu!\n\n3 files are back in the Restored folder on your desktop.\n\n"
                "400.0 MB in ")
REPORT_APPS = "Apps installed: GIMP."

failures = []
shot_count = 0


def check(what, ok, detail=""):
    print(("ok    " if ok else "FAIL  ") + what + ("" if ok or not detail else f"\n      {detail}"), flush=True)
    if not ok:
        failures.append(what)
    return ok


def wait_for(what, probe, patience=PATIENCE):
    deadline = time.monotonic() + patience
    while time.monotonic() < deadline:
        try:
            value = probe()
        except Exception:  # the tree changes under our feet while windows come and go
            value = None
        if value:
            return value
        time.sleep(0.1)
    raise TimeoutError(what)


def zenity_windows():
    windows = []
    for app in pyatspi.Registry.getDesktop(0):
        if app is None or app.name != "zenity":
            continue
        for window in app:
            if window is not None and window.getState().contains(pyatspi.STATE_SHOWING):
                windows.append(window)
    return windows


def descendants(node, roles):
    return pyatspi.findAllDescendants(node, lambda o: o is not None and o.getRoleName() in roles)


def text_of(node):
    try:
        return node.queryText().getText(0, -1)
    except NotImplementedError:
        return node.name


def labels(window):
    return [text_of(label) for label in descendants(window, ("label",))]


def window_with_label(text):
    for window in zenity_windows():
        if text in labels(window):
            return window
    return None


def window_with_label_matching(pattern):
    for window in zenity_windows():
        if any(re.fullmatch(pattern, label, re.DOTALL) for label in labels(window)):
            return window
    return None


def checklist_window():
    return next((w for w in zenity_windows() if descendants(w, ("table", "tree table", "list"))), None)


def x_window():
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Korvo$"], capture_output=True,
                           text=True).stdout.split()
    return found[-1] if found else None


def screenshot(name):
    global shot_count
    shot_count += 1
    path = os.path.join(SHOTS, f"{shot_count:02d}-{name}.png")
    xid = x_window()
    time.sleep(0.3)  # the frame after the last change
    subprocess.run(["import", "-window", xid or "root", path], check=True)
    print(f"      screenshot {path}", flush=True)


def press(window, button_name):
    for button in descendants(window, ("push button", "button")):
        if button.name == button_name:
            action = button.queryAction()
            for i in range(action.nActions):
                if action.getName(i) in ("click", "press", "activate"):
                    action.doAction(i)
                    return True
    return False


def pointer_into(window):
    xid = x_window()
    subprocess.run(["xdotool", "mousemove", "--window", xid, "40", "40"], check=True)


def key(*names):
    for name in names:
        subprocess.run(["xdotool", "key", name], check=True)
        time.sleep(0.15)


def hold_note(name):
    path = os.path.join(HOLD, name)
    wait_for(f"hold note {name}", lambda: os.path.exists(path))
    with open(path, encoding="utf-8") as note:
        return note.read()


def release(name):
    open(os.path.join(HOLD, name + ".go"), "w").close()


def progress_window(number, text, shot):
    hold_note(f"open-{number}")
    window = wait_for(f"progress window '{text}'", lambda: window_with_label(text))
    check(f"progress window {number} shows '{text}'", window is not None)
    screenshot(shot)
    release(f"open-{number}")
    os.kill(child.pid, signal.SIGCONT)


def progress_line(number, line_number, expected=None, shot=None):
    line = hold_note(f"line-{number}-{line_number}").rstrip("\n")
    if expected is not None:
        window = wait_for(f"line {expected!r}", lambda: window_with_label(expected), patience=20)
        check(f"progress window {number} shows {expected!r}", window is not None,
              f"labels: {[labels(w) for w in zenity_windows()]}")
    if shot:
        screenshot(shot)
    release(f"line-{number}-{line_number}")
    os.kill(child.pid, signal.SIGCONT)
    return line


def rows_of(window):
    """(label, ticked, focused row) of each checklist row, from the table's cells."""
    table = descendants(window, ("table", "tree table", "list", "tree"))[0]
    rows = []
    if table.getRoleName() in ("table", "tree table") and any(
            c.getRoleName() == "table cell" for c in table if c is not None):
        cells = [c for c in table if c is not None and c.getRoleName() == "table cell"]
        for toggle, label in zip(cells[0::2], cells[1::2]):  # GTK 3: a toggle cell, then the text
            focused = any(c.getState().contains(pyatspi.STATE_FOCUSED) for c in (toggle, label))
            rows.append((text_of(label).replace(WORD_JOINER, ""), toggle.getState().contains(pyatspi.STATE_CHECKED),
                         focused))
        return rows
    for row in descendants(table, ("table row", "list item", "row")):  # GTK 4: rows holding a check box
        boxes = descendants(row, ("check box",))
        if not boxes:
            continue  # the column headers
        texts = [t for t in (text_of(c) for c in descendants(row, ("label", "table cell"))) if t]
        focused = row.getState().contains(pyatspi.STATE_FOCUSED) or any(
            d.getState().contains(pyatspi.STATE_FOCUSED) for d in descendants(row, ("check box", "table cell")))
        rows.append(((texts[-1] if texts else "").replace(WORD_JOINER, ""),
                     bool(boxes) and boxes[0].getState().contains(pyatspi.STATE_CHECKED), focused))
    return rows


def untick_with_keyboard(window, index):
    pointer_into(window)
    for _ in range(40):
        rows = rows_of(window)
        if not rows[index][1]:
            return True
        focus = next((i for i, row in enumerate(rows) if row[2]), None)
        if focus is None or focus < index:
            key("Down")
        elif focus > index:
            key("Up")
        else:
            key("space")
            if rows_of(window)[index][1]:
                key("Right")
    return False


child = subprocess.Popen([PROGRAM, "--gui", DRIVE], stdin=subprocess.DEVNULL)
try:
    # The password window: typed into, then Enter.
    window = wait_for("password window", lambda: next(
        (w for w in zenity_windows() if "Type your password" in labels(w)), None))
    check("password window has a password field", bool(descendants(window, ("password text", "text", "entry"))))
    screenshot("password")
    pointer_into(window)
    subprocess.run(["xdotool", "type", "--delay", "40", PASSWORD], check=True)
    key("Return")

    progress_window(1, "Decrypting your backup…", "decrypting")
    progress_window(2, "Restoring your files…", "restoring")
    # Ten lines a second at most, until the checklist comes: the path with "&",
    # "\\" and "ü" under the bytes, then the big file with the time left.
    wanted = {"bills": (AMOUNT + "\n" + re.escape(BILLS), "restoring-bills"),
              "time left": (AMOUNT + TIME_LEFT + "\n" + re.escape(HOLIDAY), "restoring-time-left")}
    line_number = 0
    held_for_time_left = False
    while True:
        line_number += 1
        note = os.path.join(HOLD, f"line-2-{line_number}")
        wait_for(f"line {line_number} or the checklist", lambda: os.path.exists(note) or checklist_window())
        if not os.path.exists(note):
            break
        line = hold_note(f"line-2-{line_number}")
        which = "bills" if "tax 2024.pdf" in line else "time left" if " · " in line and "holiday" in line else None
        if which in wanted:
            pattern, shot = wanted.pop(which)
            window = wait_for(f"a label matching {pattern!r}", lambda: window_with_label_matching(pattern), patience=20)
            check(f"restoring window shows the {which} line", window is not None)
            screenshot(shot)
        elif "holiday" in line and "time left" in wanted and not held_for_time_left:
            # The program's clock goes on while it is stopped: five seconds
            # here let the time left be told at its next line.
            held_for_time_left = True
            time.sleep(6)
        release(f"line-2-{line_number}")
        os.kill(child.pid, signal.SIGCONT)
    check("restoring window showed the bills and the time left", not wanted, f"never seen: {list(wanted)}")

    # The checklist: rows and ticks as offered, one unticked, OK.
    window = wait_for("checklist", checklist_window)
    rows = wait_for("checklist rows", lambda: len(rows_of(window)) == len(ROWS) and rows_of(window))
    check("checklist rows and ticks", [(r[0], r[1]) for r in rows] == ROWS, f"got {[(r[0], r[1]) for r in rows]}")
    buttons = [b.name for b in descendants(window, ("push button", "button"))]
    check("a row named --ok-label=Skip is text: the OK button keeps its label", "OK" in buttons and "Skip" not in buttons,
          f"buttons {buttons}")
    screenshot("checklist")
    check("unticked one row with the keyboard", untick_with_keyboard(window, UNTICK))
    expected = [(label, ticked and i != UNTICK) for i, (label, ticked) in enumerate(ROWS)]
    rows = rows_of(window)
    check("checklist ticks after unticking", [(r[0], r[1]) for r in rows] == expected, f"got {rows}")
    screenshot("checklist-unticked")
    check("OK pressed through its accessibility action", press(window, "OK"))

    progress_window(3, "Installing apps — enter your Ubuntu password when asked…", "installing")
    progress_line(3, 1, "Updating the package list…")
    progress_line(3, 2, "Installing gimp…", "installing-gimp")
    open(os.path.join(HOLD, "apt-go"), "w").close()

    # The final report.
    window = wait_for("final report", lambda: next(
        (w for w in zenity_windows() if any(t.startswith("Done — ") for t in labels(w))), None))
    report = next(t for t in labels(window) if t.startswith("Done — "))
    check("final report text", report.startswith(REPORT_START) and REPORT_APPS in report.split("\n"),
          f"got {report!r}")
    screenshot("report")
    check("report closed through its OK action", press(window, "OK"))
    status = child.wait(timeout=PATIENCE)
    check("exit status 0", status == 0, f"got {status}")
    time.sleep(0.5)
    left = subprocess.run(["/usr/bin/pgrep", "-x", "zenity"], capture_output=True, text=True).stdout.split()
    check("no zenity left running", not left, f"pids {left}")
except TimeoutError as error:
    check(f"waited in vain for: {error}", False,
          f"windows: {[(w.name, labels(w)) for w in zenity_windows()]}")
finally:
    if child.poll() is None:
        child.kill()
        child.wait()

sys.exit(1 if failures else 0)
