#!/usr/bin/python3
"""Reads the client's accessibility tree over AT-SPI, as a screen reader does, for the tests.

  atspi_probe.py tree          one line per object of the application "Pellomarquin":
                               depth, role, states, name, description, actions (tab-separated)
  atspi_probe.py press ROW     runs the default action (the first) of entry ROW of the list
                               "Open cases" and prints that action's name

Exit status 2 when the application or the entry is not there (after waiting for it).
"""
import sys
import time

import pyatspi

APPLICATION = "Pellomarquin"
STATES = {
    pyatspi.STATE_SHOWING: "showing",
    pyatspi.STATE_VISIBLE: "visible",
    pyatspi.STATE_FOCUSED: "focused",
    pyatspi.STATE_SELECTED: "selected",
}


def application(seconds=15):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == APPLICATION:
                return app
        time.sleep(0.2)
    sys.exit(2)


def flat(text):
    return (text or "").replace("\t", " ").replace("\n", " ")


def actions(acc):
    try:
        action = acc.queryAction()
    except NotImplementedError:
        return []
    return [action.getName(i) for i in range(action.nActions)]


def walk(acc, depth, out):
    states = acc.getState()
    shown = ",".join(name for state, name in STATES.items() if states.contains(state))
    out.append("\t".join([str(depth), acc.getRoleName(), shown, flat(acc.name),
                          flat(acc.description), ",".join(actions(acc))]))
    for i in range(acc.childCount):
        child = acc.getChildAtIndex(i)
        if child is not None:
            walk(child, depth + 1, out)


def find_list(acc):
    if acc.getRole() == pyatspi.ROLE_LIST and acc.name == "Open cases":
        return acc
    for i in range(acc.childCount):
        child = acc.getChildAtIndex(i)
        found = find_list(child) if child is not None else None
        if found is not None:
            return found
    return None


def main(argv):
    app = application()
    if argv[1:] == ["tree"]:
        # An object may go while it is read (the list refreshes itself): read again.
        for _ in range(5):
            out = []
            try:
                walk(app, 0, out)
            except Exception:  # pyatspi raises GLib and D-Bus errors of several kinds
                time.sleep(0.2)
                continue
            print("\n".join(out))
            return 0
        return 1
    if len(argv) == 3 and argv[1] == "press":
        cases = find_list(app)
        row = int(argv[2])
        if cases is None or row >= cases.childCount:
            return 2
        action = cases.getChildAtIndex(row).queryAction()
        print(action.getName(0))
        return 0 if action.doAction(0) else 1
    print(__doc__, file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
