/* wlr_pointer: moves the pointer of the wlroots compositor on $WAYLAND_DISPLAY
 * to each logical position "X Y" read from standard input, one a line, and
 * answers "at X Y" once the compositor has handled the move.
 *
 * One virtual pointer lives for the whole run: the seat has a pointer only
 * while some pointing device exists, and a cursor session needs it. */
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <wayland-client.h>

struct output
{
    struct wl_output* output;
    struct zxdg_output_v1* xdg;
    uint32_t name;
    int x, y, width, height;
};

static struct output outputs[16];
static struct zxdg_output_manager_v1* xdg_manager;
static struct zwlr_virtual_pointer_manager_v1* pointer_manager;
static struct wl_seat* seat;

static void logical_position(void* data, struct zxdg_output_v1* xdg, int32_t x, int32_t y)
{
    (void)xdg;
    ((struct output*)data)->x = x;
    ((struct output*)data)->y = y;
}

static void logical_size(void* data, struct zxdg_output_v1* xdg, int32_t width, int32_t height)
{
    (void)xdg;
    ((struct output*)data)->width = width;
    ((struct output*)data)->height = height;
}

static void ignore(void* data, struct zxdg_output_v1* xdg)
{
    (void)data;
    (void)xdg;
}
static void ignore_text(void* data, struct zxdg_output_v1* xdg, const char* text)
{
    (void)data;
    (void)xdg;
    (void)text;
}

static const struct zxdg_output_v1_listener xdg_listener = {logical_position, logical_size, ignore,
                                                            ignore_text, ignore_text};

static void describe(struct output* o)
{
    if (xdg_manager && o->output && !o->xdg) {
        o->xdg = zxdg_output_manager_v1_get_xdg_output(xdg_manager, o->output);
        zxdg_output_v1_add_listener(o->xdg, &xdg_listener, o);
    }
}

static void global(void* data, struct wl_registry* registry, uint32_t name, const char* interface,
                   uint32_t version)
{
    (void)data;
    (void)version;
    if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
        pointer_manager =
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
    } else if (strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
        xdg_manager = wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, 2);
        for (int i = 0; i < 16; i++)
            describe(&outputs[i]);
    } else if (strcmp(interface, wl_seat_interface.name) == 0 && !seat) {
        seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    } else if (strcmp(interface, wl_output_interface.name) == 0) {
        for (int i = 0; i < 16; i++) {
            if (!outputs[i].output) {
                outputs[i] = (struct output){0};
                outputs[i].name = name;
                outputs[i].output = wl_registry_bind(registry, name, &wl_output_interface, 1);
                describe(&outputs[i]);
                break;
            }
        }
    }
}

static void global_remove(void* data, struct wl_registry* registry, uint32_t name)
{
    (void)data;
    (void)registry;
    for (int i = 0; i < 16; i++) {
        if (outputs[i].output && outputs[i].name == name) {
            if (outputs[i].xdg)
                zxdg_output_v1_destroy(outputs[i].xdg);
            wl_output_destroy(outputs[i].output);
            outputs[i] = (struct output){0};
        }
    }
}

static const struct wl_registry_listener registry_listener = {global, global_remove};

int main(void)
{
    struct wl_display* display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "wlr_pointer: no Wayland display\n");
        return 1;
    }
    struct wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registry_listener, NULL);
    wl_display_roundtrip(display);
    wl_display_roundtrip(display);
    if (!pointer_manager || !xdg_manager) {
        fprintf(stderr, "wlr_pointer: the compositor offers no virtual pointer or xdg-output\n");
        return 1;
    }
    struct zwlr_virtual_pointer_v1* pointer =
        zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointer_manager, seat);
    wl_display_roundtrip(display);
    printf("ready\n");
    fflush(stdout);

    int x, y;
    uint32_t time = 0;
    while (scanf("%d %d", &x, &y) == 2) {
        /* Outputs that came or went: their globals, then their places. */
        if (wl_display_roundtrip(display) < 0 || wl_display_roundtrip(display) < 0)
            return 1;
        int x0 = INT_MAX, y0 = INT_MAX, x1 = INT_MIN, y1 = INT_MIN;
        for (int i = 0; i < 16; i++) {
            const struct output* o = &outputs[i];
            if (!o->output || o->width <= 0)
                continue;
            x0 = o->x < x0 ? o->x : x0;
            y0 = o->y < y0 ? o->y : y0;
            x1 = o->x + o->width > x1 ? o->x + o->width : x1;
            y1 = o->y + o->height > y1 ? o->y + o->height : y1;
        }
        if (x0 > x1 || x < x0 || y < y0 || x >= x1 || y >= y1) {
            fprintf(stderr, "wlr_pointer: %d %d is off the layout\n", x, y);
            return 1;
        }
        /* Absolute over the layout's bounding box, as wlroots maps it. */
        zwlr_virtual_pointer_v1_motion_absolute(pointer, time += 10, x - x0, y - y0, x1 - x0,
                                                y1 - y0);
        zwlr_virtual_pointer_v1_frame(pointer);
        if (wl_display_roundtrip(display) < 0)
            return 1;
        printf("at %d %d\n", x, y);
        fflush(stdout);
    }
    zwlr_virtual_pointer_v1_destroy(pointer);
    wl_display_roundtrip(display);
    wl_display_disconnect(display);
    return 0;
}
