"""Reads a program's window as a screen reader does, through AT-SPI: one request a line on stdin, one
JSON answer a line on stdout ("texts PID": {"labels": [...], "buttons": [...]}; "press PID NAME":
{"pressed": true}).  A child of the desktop, not a module of the test process: libatspi connects to the
accessibility bus once per process, and every desktop has a bus of its own."""

import json
import sys
import warnings

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def application(pid):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_process_id() == pid:
            # The labels change at every tick; a cached name would be the one read first, since nothing
            # here listens for Qt's property-change events that would refresh it.
            app.set_cache_mask(Atspi.Cache.NONE)
            return app


def walk(node):
    if node is not None:
        yield node
        for i in range(node.get_child_count()):
            yield from walk(node.get_child_at_index(i))


def controls(pid):
    found, buttons = {"labels": [], "buttons": []}, {}
    for node in walk(application(pid)):
        role = node.get_role()
        if role == Atspi.Role.LABEL:
            found["labels"].append(node.get_name())
        elif role == Atspi.Role.FILLER:  # the window: Qt gives its tooltip as its description
            found.setdefault("tooltip", node.get_description())
        elif role == Atspi.Role.PUSH_BUTTON:
            found["buttons"].append(node.get_name())
            buttons[node.get_name()] = node
    return found, buttons


def press(pid, name):
    button = controls(pid)[1].get(name)
    if button is None:
        return {"pressed": False, "why": f"no button {name!r}"}
    for i in range(button.get_n_actions()):
        # get_action_name is deprecated, but atspi_action_get_name is not in Debian 12's bindings.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            name = button.get_action_name(i)
        if name.lower() in ("press", "click"):
            return {"pressed": bool(button.do_action(i))}
    return {"pressed": False, "why": "the button offers no press action"}


def main():
    Atspi.init()
    requests = {"texts": lambda pid: controls(int(pid))[0],
                "press": lambda pid, name: press(int(pid), name.strip())}
    for line in sys.stdin:
        op, *args = line.split(maxsplit=2)
        try:
            answer = requests[op](*args)
        except Exception as e:  # the window may go away between two calls; or an unknown request
            answer = {"error": repr(e)}
        print(json.dumps(answer), flush=True)


if __name__ == "__main__":
    main()
