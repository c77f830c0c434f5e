/*
 * Tiny Xlib helper of the end-to-end driver (desktop.py, dovo.py).
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
 *   x11probe queries           until killed, one line per pointer question
 *                              any client asks the server (see below)
 *   x11probe ping WINDOW       _NET_WM_PING the window's client and wait for
 *                              its answer
 *   x11probe wm-sync           ask the window manager for frame extents and
 *                              wait until it has set them
 *
 * ping and wm-sync are how a test knows that nothing happened rather than
 * not yet: a client answers a ping in its turn after every event the server
 * sent it before, and the window manager sets the extents in its turn after
 * every request it was sent before.
 *
 * xdotool mousemove warps the pointer (XWarpPointer), which no input device
 * reports; a program that wakes on pointer motion only sees XTest motion,
 * as it sees a real mouse.
 *
 * "queries" is how a test sees Dovo sample the pointer without waiting by
 * the clock: through the RECORD extension it hears every QueryPointer reply
 * and every XInput 2 request that opens or arms a motion watch, of every
 * client, and names the client's process through X-Resource.  Lines:
 *
 *   PID CLIENT pointer X Y     the server told the client the pointer is at
 *                              (X, Y), in the screen's pixels
 *   PID CLIENT xi2             the client asked for XInput 2 (XIQueryVersion)
 *   PID CLIENT raw-motion on   it selected raw motion on some window (off:
 *                              it deselected it)
 *
 * PID is 0 when the client was gone before it could be named.  The first
 * line, "recording", says that everything after it is heard.
 */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xlibint.h>
#include <X11/Xproto.h>
#include <X11/extensions/XI2.h>
#include <X11/extensions/XI2proto.h>
#include <X11/extensions/XResproto.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/record.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <unistd.h>

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
    fputs("usage: x11probe owner SELECTION | delete WINDOW | motion X Y | queries | ping WINDOW | "
          "wm-sync\n",
          stderr);
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

static int ping(Display* d, const char* id)
{
    char* end = NULL;
    Window w = (Window)strtoul(id, &end, 0);
    if (!end || *end || w == None)
        return usage();
    Window root = DefaultRootWindow(d);
    Atom protocols = XInternAtom(d, "WM_PROTOCOLS", False);
    Atom net_ping = XInternAtom(d, "_NET_WM_PING", False);
    /* The answer is sent to the root window for its structure listeners. */
    XSelectInput(d, root, StructureNotifyMask);
    XSetErrorHandler(on_x_error);
    XEvent ev;
    memset(&ev, 0, sizeof ev);
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = protocols;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = (long)net_ping;
    /* the time field, here a token no other ping carries */
    ev.xclient.data.l[1] = (long)getpid();
    ev.xclient.data.l[2] = (long)w;
    XSendEvent(d, w, False, NoEventMask, &ev);
    XSync(d, False);
    if (x_failed) {
        fprintf(stderr, "x11probe: no such window %s\n", id);
        return 1;
    }
    for (;;) {
        XEvent got;
        XNextEvent(d, &got);
        if (got.type == ClientMessage && got.xclient.message_type == protocols &&
            (Atom)got.xclient.data.l[0] == net_ping && got.xclient.data.l[1] == (long)getpid() &&
            (Window)got.xclient.data.l[2] == w)
            return 0;
    }
}

static int wm_sync(Display* d)
{
    Window root = DefaultRootWindow(d);
    Atom request = XInternAtom(d, "_NET_REQUEST_FRAME_EXTENTS", False);
    Atom extents = XInternAtom(d, "_NET_FRAME_EXTENTS", False);
    Window w = XCreateSimpleWindow(d, root, 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(d, w, PropertyChangeMask);
    XEvent ev;
    memset(&ev, 0, sizeof ev);
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = request;
    ev.xclient.format = 32;
    XSendEvent(d, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    for (;;) {
        XEvent got;
        XNextEvent(d, &got);
        if (got.type == PropertyNotify && got.xproperty.atom == extents)
            return 0;
    }
}

/* Clients are named once; a slot the server hands to a new client after
 * one died is forgotten with it. */
struct named_client
{
    XID base;
    long pid;
};

static struct
{
    Display* control;
    int xi_opcode;
    int res_opcode;
    struct named_client names[256];
    int count;
} rec;

/* X-Resource's QueryClientIds for one client's process id, sent by hand:
 * libXRes is one more library to install for a single request. */
static long ask_pid(XID base)
{
    Display* dpy = rec.control; /* the name Xlib's request macros use */
    xXResQueryClientIdsReq* req;
    xXResQueryClientIdsReply rep;
    long client[2] = {(long)base, X_XResLocalClientPIDMask};
    long pid = 0;
    LockDisplay(dpy);
    GetReq(XResQueryClientIds, req);
    req->reqType = (CARD8)rec.res_opcode;
    req->XResReqType = X_XResQueryClientIds;
    req->numSpecs = 1;
    req->length += sz_xXResClientIdSpec / 4;
    Data32(dpy, client, sz_xXResClientIdSpec);
    if (_XReply(dpy, (xReply*)&rep, 0, xFalse)) {
        unsigned long left = 4UL * rep.length;
        for (CARD32 i = 0; i < rep.numIds && left >= sz_xResClientIdValue; ++i) {
            xXResClientIdValue value;
            _XRead(dpy, (char*)&value, sz_xResClientIdValue);
            left -= sz_xResClientIdValue;
            unsigned long size = value.length;
            if (size > left)
                size = left;
            /* The value begins with the client and mask it answers for. */
            const xXResClientIdSpec* id = (const xXResClientIdSpec*)&value;
            if ((id->mask & X_XResLocalClientPIDMask) && size == 4) {
                CARD32 p;
                _XRead(dpy, (char*)&p, 4);
                pid = (long)p;
            } else {
                _XEatData(dpy, size);
            }
            left -= size;
        }
        _XEatData(dpy, left);
    }
    UnlockDisplay(dpy);
    SyncHandle();
    return pid;
}

static long client_pid(XID base)
{
    for (int i = 0; i < rec.count; ++i)
        if (rec.names[i].base == base)
            return rec.names[i].pid;
    long pid = ask_pid(base);
    if (pid > 0 && rec.count < (int)(sizeof rec.names / sizeof rec.names[0]))
        rec.names[rec.count++] = (struct named_client){base, pid};
    return pid;
}

static void forget_client(XID base)
{
    for (int i = 0; i < rec.count; ++i)
        if (rec.names[i].base == base)
            rec.names[i] = rec.names[--rec.count];
}

static int raw_motion_selected(const unsigned char* req, unsigned long len)
{
    const xXISelectEventsReq* head = (const xXISelectEventsReq*)req;
    const unsigned char* p = req + sizeof *head;
    const unsigned char* end = req + len;
    for (int m = 0; m < head->num_masks && p + sizeof(xXIEventMask) <= end; ++m) {
        const xXIEventMask* mask = (const xXIEventMask*)p;
        const unsigned char* bits = p + sizeof *mask;
        p = bits + 4 * mask->mask_len;
        if (XI_RawMotion / 8 < 4 * mask->mask_len && bits + XI_RawMotion / 8 < end &&
            (bits[XI_RawMotion / 8] & (1 << (XI_RawMotion % 8))))
            return 1;
    }
    return 0;
}

static void heard(XPointer closure, XRecordInterceptData* d)
{
    (void)closure;
    const unsigned char* data = d->data;
    unsigned long len = 4 * d->data_len;
    switch (d->category) {
    case XRecordStartOfData:
        printf("recording\n");
        break;
    case XRecordClientDied:
        forget_client(d->id_base);
        break;
    case XRecordFromServer:
        /* only QueryPointer replies are asked for */
        if (len >= sizeof(xQueryPointerReply) && data[0] == X_Reply) {
            const xQueryPointerReply* r = (const xQueryPointerReply*)data;
            printf("%ld 0x%lx pointer %d %d\n", client_pid(d->id_base), (unsigned long)d->id_base,
                   (short)r->rootX, (short)r->rootY);
        }
        break;
    case XRecordFromClient:
        if (len >= 2 && data[0] == rec.xi_opcode && data[1] == X_XIQueryVersion)
            printf("%ld 0x%lx xi2\n", client_pid(d->id_base), (unsigned long)d->id_base);
        else if (len >= sizeof(xXISelectEventsReq) && data[0] == rec.xi_opcode &&
                 data[1] == X_XISelectEvents)
            printf("%ld 0x%lx raw-motion %s\n", client_pid(d->id_base), (unsigned long)d->id_base,
                   raw_motion_selected(data, len) ? "on" : "off");
        break;
    }
    fflush(stdout);
    XRecordFreeData(d);
}

static int queries(void)
{
    Display* data = XOpenDisplay(NULL);
    rec.control = XOpenDisplay(NULL);
    if (!data || !rec.control) {
        fputs("x11probe: cannot open display\n", stderr);
        return 3;
    }
    int major, minor, event, error;
    if (!XRecordQueryVersion(rec.control, &major, &minor)) {
        fputs("x11probe: the X server has no RECORD extension\n", stderr);
        return 1;
    }
    if (!XQueryExtension(rec.control, "X-Resource", &rec.res_opcode, &event, &error)) {
        fputs("x11probe: the X server has no X-Resource extension\n", stderr);
        return 1;
    }
    if (!XQueryExtension(rec.control, "XInputExtension", &rec.xi_opcode, &event, &error))
        rec.xi_opcode = -1;

    XRecordRange* ranges[2] = {XRecordAllocRange(), XRecordAllocRange()};
    if (!ranges[0] || !ranges[1])
        return 1;
    ranges[0]->core_replies.first = ranges[0]->core_replies.last = X_QueryPointer;
    ranges[0]->client_died = True;
    int n = 1;
    if (rec.xi_opcode > 0) {
        ranges[1]->ext_requests.ext_major.first = ranges[1]->ext_requests.ext_major.last =
            (unsigned char)rec.xi_opcode;
        ranges[1]->ext_requests.ext_minor.first = X_XISelectEvents;
        ranges[1]->ext_requests.ext_minor.last = X_XIQueryVersion;
        n = 2;
    }
    XRecordClientSpec all = XRecordAllClients;
    XRecordContext context = XRecordCreateContext(rec.control, 0, &all, 1, ranges, n);
    if (!context) {
        fputs("x11probe: cannot create a RECORD context\n", stderr);
        return 1;
    }
    XSync(rec.control, False);
    if (!XRecordEnableContextAsync(data, context, heard, NULL)) {
        fputs("x11probe: cannot enable the RECORD context\n", stderr);
        return 1;
    }
    /* The server hands over what it recorded only when it flushes its output
     * to some client: a request without a reply (XISelectEvents) may wait
     * there for the next reply to anyone.  A round trip of our own whenever
     * nothing came for 20 ms makes that reply. */
    int fd = ConnectionNumber(data);
    for (;;) {
        XRecordProcessReplies(data);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        struct timeval wait = {0, 20000};
        int ready = select(fd + 1, &readable, NULL, NULL, &wait);
        if (ready < 0 && errno != EINTR) {
            perror("x11probe: select");
            return 1;
        }
        if (ready == 0)
            XSync(rec.control, False);
    }
}

int main(int argc, char** argv)
{
    if (argc == 2 && !strcmp(argv[1], "queries"))
        return queries();
    if (argc == 4 && !strcmp(argv[1], "motion")) {
        Display* d = XOpenDisplay(NULL);
        if (!d)
            return 3;
        int rc = motion(d, argv[2], argv[3]);
        XCloseDisplay(d);
        return rc;
    }
    if (argc == 2 && !strcmp(argv[1], "wm-sync")) {
        Display* d = XOpenDisplay(NULL);
        if (!d)
            return 3;
        int rc = wm_sync(d);
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
    else if (!strcmp(argv[1], "ping"))
        rc = ping(d, argv[2]);
    else
        rc = usage();
    XCloseDisplay(d);
    return rc;
}
