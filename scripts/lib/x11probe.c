/*
 * Tiny Xlib helper that desktop.sh compiles into its temporary folder.
 *
 * None of the installed X tools (xprop, xwininfo, xdotool, wmctrl) can ask
 * who owns a selection, and that is the only race-free signal that a system
 * tray or a window manager has finished taking over the screen: tint2 sets
 * its tray properties *before* it claims _NET_SYSTEM_TRAY_S0.
 *
 * wmctrl -i -c only asks the window manager to close a window, and openbox
 * silently ignores that for a window it no longer manages (one the program
 * withdrew to the tray).  "delete" sends the same WM_DELETE_WINDOW message a
 * window manager would send, straight to the client.
 *
 *   x11probe owner SELECTION   print owner window (0x0 if none); exit 0 iff owned
 *   x11probe delete WINDOW     send WM_DELETE_WINDOW; exit 2 if the window
 *                              does not take part in that protocol
 *   x11probe motion X Y        move the pointer to (X, Y) as a device would
 *
 * xdotool mousemove warps the pointer (XWarpPointer), which no input device
 * reports; a program that wakes on pointer motion only sees XTest motion,
 * as it sees a real mouse.
 */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int x_failed;

static int on_x_error(Display* d, XErrorEvent* e)
{
    (void)d;
    (void)e;
    x_failed = 1;
    return 0;
}

static int usage(void)
{
    fputs("usage: x11probe owner SELECTION | delete WINDOW | motion X Y\n", stderr);
    return 64;
}

static int owner(Display* d, const char* name)
{
    Window w = XGetSelectionOwner(d, XInternAtom(d, name, False));
    printf("0x%lx\n", (unsigned long)w);
    return w != None ? 0 : 1;
}

static int delete_window(Display* d, const char* id)
{
    char* end = NULL;
    Window w = (Window)strtoul(id, &end, 0);
    if (!end || *end || w == None)
        return usage();

    Atom protocols = XInternAtom(d, "WM_PROTOCOLS", False);
    Atom del = XInternAtom(d, "WM_DELETE_WINDOW", False);
    Atom* list = NULL;
    int n = 0, supported = 0;
    XSetErrorHandler(on_x_error);
    if (XGetWMProtocols(d, w, &list, &n)) {
        for (int i = 0; i < n; ++i)
            supported |= list[i] == del;
        XFree(list);
    }
    XSync(d, False);
    if (x_failed) {
        fprintf(stderr, "x11probe: no such window %s\n", id);
        return 1;
    }
    if (!supported) {
        fprintf(stderr, "x11probe: window %s does not accept WM_DELETE_WINDOW\n", id);
        return 2;
    }

    XEvent ev;
    memset(&ev, 0, sizeof ev);
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = protocols;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = (long)del;
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &ev);
    XSync(d, False);
    return x_failed ? 1 : 0;
}

static int motion(Display* d, const char* xs, const char* ys)
{
    char *endx = NULL, *endy = NULL;
    long x = strtol(xs, &endx, 10), y = strtol(ys, &endy, 10);
    if (!endx || *endx || !endy || *endy)
        return usage();
    if (!XTestFakeMotionEvent(d, -1, (int)x, (int)y, CurrentTime))
        return 1;
    XSync(d, False);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 4 && !strcmp(argv[1], "motion")) {
        Display* d = XOpenDisplay(NULL);
        if (!d)
            return 3;
        int rc = motion(d, argv[2], argv[3]);
        XCloseDisplay(d);
        return rc;
    }
    if (argc != 3)
        return usage();
    Display* d = XOpenDisplay(NULL);
    if (!d) {
        fputs("x11probe: cannot open display\n", stderr);
        return 3;
    }
    int rc;
    if (!strcmp(argv[1], "owner"))
        rc = owner(d, argv[2]);
    else if (!strcmp(argv[1], "delete"))
        rc = delete_window(d, argv[2]);
    else
        rc = usage();
    XCloseDisplay(d);
    return rc;
}
