/* Asks X11 windows to close, as a window manager's close button does: each
 * window given gets the WM_DELETE_WINDOW message of the WM_PROTOCOLS it takes
 * part in, so that the program ends it the way it ends a window the user
 * closes. scripts/package-check.sh uses it on its virtual X server, where no
 * window manager runs.
 *
 *   x11-close-window WINDOW...      (ids in decimal or 0x hex; DISPLAY names the server)
 */
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  Display* display = XOpenDisplay(NULL);
  if (!display) {
    fprintf(stderr, "x11-close-window: cannot open the display '%s'\n",
            getenv("DISPLAY") ? getenv("DISPLAY") : "");
    return 1;
  }
  const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    char* end = NULL;
    const Window window = (Window)strtoul(argv[i], &end, 0);
    if (!window || !end || *end) {
      fprintf(stderr, "x11-close-window: '%s' is not a window id\n", argv[i]);
      status = 2;
      continue;
    }
    XEvent event;
    memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = protocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = (long)deleteWindow;
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
  }
  XSync(display, False);
  XCloseDisplay(display);
  return status;
}
