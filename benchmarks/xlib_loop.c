/*
 * The cheapest way to poll the pointer on X11, as a measuring anchor for
 * scripts/bench: XQueryPointer every 200 ms and three strings drawn, with
 * nothing but Xlib.  It never sleeps longer than one tick, shown or not, so
 * it marks what polling costs at the least; a program that watches for
 * motion instead can go below it.
 */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum
{
    TICK_MS = 200,
    WIDTH = 312,
    HEIGHT = 168
};

static long long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

static void draw(Display* d, Window w, GC gc, long long travelled)
{
    /* the same readouts as the Qt baseline, in twips at 15 per pixel */
    char lines[3][32];
    snprintf(lines[0], sizeof lines[0], "%lld cm", travelled * 15 / 567);
    snprintf(lines[1], sizeof lines[1], "%lld m", travelled * 15 / 56700);
    snprintf(lines[2], sizeof lines[2], "%lld km", travelled * 15 / 567000);
    XClearWindow(d, w);
    for (int i = 0; i < 3; ++i) {
        XDrawString(d, w, gc, 120, 64 + 24 * i, lines[i], (int)strlen(lines[i]));
    }
}

int main(void)
{
    Display* d = XOpenDisplay(NULL);
    if (d == NULL) {
        fputs("xlib_loop: cannot open the display\n", stderr);
        return 1;
    }
    const int screen = DefaultScreen(d);
    const Window root = RootWindow(d, screen);
    const Window w = XCreateSimpleWindow(d, root, 0, 0, WIDTH, HEIGHT, 0, BlackPixel(d, screen),
                                         WhitePixel(d, screen));
    XStoreName(d, w, "Dovo xlib loop");
    XSizeHints size = {.flags = PMinSize | PMaxSize,
                       .min_width = WIDTH,
                       .max_width = WIDTH,
                       .min_height = HEIGHT,
                       .max_height = HEIGHT};
    XSetWMNormalHints(d, w, &size);
    Atom wm_delete = XInternAtom(d, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(d, w, &wm_delete, 1);
    XSelectInput(d, w, ExposureMask | StructureNotifyMask);
    GC gc = XCreateGC(d, w, 0, NULL);
    XSetForeground(d, gc, BlackPixel(d, screen));
    XMapWindow(d, w);

    Window r, c;
    int x, y, last_x, last_y, wx, wy;
    unsigned mask;
    XQueryPointer(d, root, &r, &c, &last_x, &last_y, &wx, &wy, &mask);
    long long travelled = 0;
    int mapped = 0;
    long long next = now_ms() + TICK_MS;
    struct pollfd fd = {.fd = ConnectionNumber(d), .events = POLLIN};

    for (;;) {
        XFlush(d);
        while (XPending(d) == 0) {
            const long long wait = next - now_ms();
            if (wait <= 0) {
                break;
            }
            poll(&fd, 1, (int)wait);
        }
        while (XPending(d) > 0) {
            XEvent e;
            XNextEvent(d, &e);
            if (e.type == MapNotify) {
                mapped = 1;
            } else if (e.type == UnmapNotify) {
                mapped = 0;
            } else if (e.type == Expose && e.xexpose.count == 0) {
                draw(d, w, gc, travelled);
            } else if (e.type == ClientMessage && (Atom)e.xclient.data.l[0] == wm_delete) {
                XCloseDisplay(d);
                return 0;
            }
        }
        if (now_ms() < next) {
            continue;
        }
        next += TICK_MS;
        XQueryPointer(d, root, &r, &c, &x, &y, &wx, &wy, &mask);
        travelled += abs(x - last_x) + abs(y - last_y);
        last_x = x;
        last_y = y;
        /* an unmapped window shows nothing, so drawing there is waste */
        if (mapped) {
            draw(d, w, gc, travelled);
        }
    }
}
