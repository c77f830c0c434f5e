/*
 * Tiny Xlib helper of the end-to-end driver (desktop.py, dovo.py).
 *
 *   owner SELECTION   exit 0 iff the selection has an owner: none of the X
 *                     tools can ask, and it is the only race-free sign that a
 *                     tray or window manager has taken over (tint2 sets its
 *                     tray properties *before* it claims _NET_SYSTEM_TRAY_S0)
 *   delete WINDOW     send WM_DELETE_WINDOW straight to the client; exit 2 if
 *                     it does not take part.  openbox ignores wmctrl -c for a
 *                     window it no longer manages (withdrawn to the tray).
 *   motion X Y        XTest motion, as a device reports it: a program that
 *                     wakes on motion never sees xdotool's XWarpPointer
 *   ping WINDOW       _NET_WM_PING the client and wait for its answer
 *   wm-sync           ask the window manager for frame extents and wait
 *                     until it has set them
 *   queries           until killed, one line per pointer question any client
 *                     asks (below)
 *
 * ping and wm-sync tell "nothing happened" from "not yet": a client answers a
 * ping after every event sent it before, and the window manager sets the
 * extents after every request it was sent before.
 *
 * queries lets a test see Dovo sample the pointer without waiting by the
 * clock: through RECORD it hears every QueryPointer reply and every XInput 2
 * request that opens or arms a motion watch, and names the client's process
 * through X-Resource (PID 0: gone before it was named).  After a first line
 * "recording", lines are:
 *
 *   PID CLIENT pointer X Y       the server told the client the pointer is at (X, Y)
 *   PID CLIENT xi2               the client asked for XInput 2 (XIQueryVersion)
 *   PID CLIENT raw-motion on|off it (de)selected raw motion on some window
 */
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

static int fail(int rc, const char* why)
{
    fprintf(stderr, "x11probe: %s\n", why);
    return rc;
}

static int usage(void)
{
    return fail(64, "usage: owner SELECTION | delete WINDOW | motion X Y | queries | ping WINDOW "
                    "| wm-sync");
}

static Window window_arg(const char* id)
{
    char* end = NULL;
    Window w = (Window)strtoul(id, &end, 0);
    return end && !*end ? w : None;
}

/* 1, said, if a request since the last sync named a window that is gone. */
static int window_gone(Display* d, const char* id)
{
    XSync(d, False);
    if (x_failed)
        fprintf(stderr, "x11probe: no such window %s\n", id);
    return x_failed;
}

static void send_message(Display* d, Window to, long mask, Window w, Atom type, long l0, long l1,
                         long l2)
{
    XEvent ev = {.xclient = {.type = ClientMessage,
                             .window = w,
                             .message_type = type,
                             .format = 32,
                             .data.l = {l0, l1, l2}}};
    XSendEvent(d, to, False, mask, &ev);
}

static int owner(Display* d, const char* name)
{
    return XGetSelectionOwner(d, XInternAtom(d, name, False)) != None ? 0 : 1;
}

static int delete_window(Display* d, const char* id)
{
    Window w = window_arg(id);
    if (w == None)
        return usage();
    Atom del = XInternAtom(d, "WM_DELETE_WINDOW", False);
    Atom* list = NULL;
    int n = 0, supported = 0;
    XSetErrorHandler(on_x_error);
    if (XGetWMProtocols(d, w, &list, &n)) {
        for (int i = 0; i < n; ++i)
            supported |= list[i] == del;
        XFree(list);
    }
    if (window_gone(d, id))
        return 1;
    if (!supported) {
        fprintf(stderr, "x11probe: window %s does not accept WM_DELETE_WINDOW\n", id);
        return 2;
    }
    send_message(d, w, NoEventMask, w, XInternAtom(d, "WM_PROTOCOLS", False), (long)del,
                 CurrentTime, 0);
    return window_gone(d, id);
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
    Window w = window_arg(id);
    if (w == None)
        return usage();
    Atom protocols = XInternAtom(d, "WM_PROTOCOLS", False);
    Atom net_ping = XInternAtom(d, "_NET_WM_PING", False);
    /* The answer is sent to the root window for its structure listeners. */
    XSelectInput(d, DefaultRootWindow(d), StructureNotifyMask);
    XSetErrorHandler(on_x_error);
    /* the time field, here a token no other ping carries */
    send_message(d, w, NoEventMask, w, protocols, (long)net_ping, (long)getpid(), (long)w);
    if (window_gone(d, id))
        return 1;
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
    Atom extents = XInternAtom(d, "_NET_FRAME_EXTENTS", False);
    Window w = XCreateSimpleWindow(d, root, 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(d, w, PropertyChangeMask);
    send_message(d, root, SubstructureRedirectMask | SubstructureNotifyMask, w,
                 XInternAtom(d, "_NET_REQUEST_FRAME_EXTENTS", False), 0, 0, 0);
    for (;;) {
        XEvent got;
        XNextEvent(d, &got);
        if (got.type == PropertyNotify && got.xproperty.atom == extents)
            return 0;
    }
}

/* Clients are named once; a slot the server hands to a new client after
 * one died is forgotten with it. */
static struct
{
    Display* control;
    int xi_opcode;
    int res_opcode;
    struct
    {
        XID base;
        long pid;
    } names[256];
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
    if (pid > 0 && rec.count < (int)(sizeof rec.names / sizeof rec.names[0])) {
        rec.names[rec.count].base = base;
        rec.names[rec.count++].pid = pid;
    }
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
    if (!data || !rec.control)
        return fail(3, "cannot open display");
    int major, minor, event, error;
    if (!XRecordQueryVersion(rec.control, &major, &minor))
        return fail(1, "the X server has no RECORD extension");
    if (!XQueryExtension(rec.control, "X-Resource", &rec.res_opcode, &event, &error))
        return fail(1, "the X server has no X-Resource extension");
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
    if (!context)
        return fail(1, "cannot create a RECORD context");
    XSync(rec.control, False);
    if (!XRecordEnableContextAsync(data, context, heard, NULL))
        return fail(1, "cannot enable the RECORD context");
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
    Display* d = XOpenDisplay(NULL);
    if (!d)
        return fail(3, "cannot open display");
    int rc;
    if (argc == 2 && !strcmp(argv[1], "wm-sync"))
        rc = wm_sync(d);
    else if (argc == 4 && !strcmp(argv[1], "motion"))
        rc = motion(d, argv[2], argv[3]);
    else if (argc == 3 && !strcmp(argv[1], "owner"))
        rc = owner(d, argv[2]);
    else if (argc == 3 && !strcmp(argv[1], "delete"))
        rc = delete_window(d, argv[2]);
    else if (argc == 3 && !strcmp(argv[1], "ping"))
        rc = ping(d, argv[2]);
    else
        rc = usage();
    XCloseDisplay(d);
    return rc;
}
