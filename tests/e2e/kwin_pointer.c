/* kwin_pointer X Y [X Y...]: puts the pointer of the KWin on $WAYLAND_DISPLAY
 * at each logical position (X, Y) in turn, a millisecond apart like a
 * 1000 Hz mouse, through KWin's fake-input protocol, and returns once KWin
 * has handled the last.  KWin offers the protocol to any client only
 * when started with KWIN_WAYLAND_NO_PERMISSION_CHECKS=1. */
#include "fake-input-client-protocol.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <wayland-client.h>

static struct org_kde_kwin_fake_input* fake;

static void global(void* data, struct wl_registry* registry, uint32_t name, const char* interface,
                   uint32_t version)
{
    (void)data;
    if (strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0 && version >= 3)
        fake = wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 3);
}

static void global_remove(void* data, struct wl_registry* registry, uint32_t name)
{
    (void)data;
    (void)registry;
    (void)name;
}

static const struct wl_registry_listener listener = {global, global_remove};

int main(int argc, char** argv)
{
    if (argc < 3 || argc % 2 == 0) {
        fprintf(stderr, "usage: %s X Y [X Y...]\n", argv[0]);
        return 2;
    }
    struct wl_display* display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "kwin_pointer: no Wayland display\n");
        return 1;
    }
    struct wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &listener, NULL);
    wl_display_roundtrip(display);
    if (!fake) {
        fprintf(stderr, "kwin_pointer: the compositor offers no fake input\n");
        return 1;
    }
    org_kde_kwin_fake_input_authenticate(fake, "dovo tests", "moves the pointer");
    int rc = 0;
    for (int i = 1; i + 1 < argc && rc == 0; i += 2) {
        if (i > 1)
            usleep(1000);
        org_kde_kwin_fake_input_pointer_motion_absolute(fake, wl_fixed_from_int(atoi(argv[i])),
                                                        wl_fixed_from_int(atoi(argv[i + 1])));
        rc = wl_display_roundtrip(display) < 0;
    }
    wl_display_disconnect(display);
    return rc;
}
