"""with_desktop.py [--no-panel] COMMAND [ARGS...]: COMMAND on a private
desktop (desktop.py's), exiting with its status; 125 when the desktop did
not start, so that this is not taken for the command's failure."""

import signal
import sys

from desktop import Desktop


def main(args):
    panel = args[:1] != ["--no-panel"]
    desktop = Desktop(panel=panel, accessibility=False)
    try:
        desktop.__enter__()
    except Exception as error:
        print(f"with_desktop.py: no desktop: {error}", *desktop.final_logs.values(), file=sys.stderr)
        return 125
    # CTest's TERM at a timeout stops the command and the desktop
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        command = desktop.procs.spawn("command", args[0 if panel else 1:], desktop.env, stdin=None,
                                      stdout=None, stderr=None)
        status = command.wait()
        return status if status >= 0 else 128 - status
    finally:
        desktop.__exit__(None, None, None)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
