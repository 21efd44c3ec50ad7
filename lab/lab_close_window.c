// Closes the window titled "quon_vpn" on $DISPLAY the way a window manager
// does when the user clicks its close button: a WM_DELETE_WINDOW client
// message. Exits 0 once sent, 1 when there is no such window.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <string.h>

static Window find_titled(Display* display, Window window, const char* title) {
  char* name = NULL;
  if (XFetchName(display, window, &name) != 0 && name != NULL) {
    int same = strcmp(name, title) == 0;
    XFree(name);
    if (same) {
      return window;
    }
  }
  Window root_return = 0;
  Window parent = 0;
  Window* children = NULL;
  unsigned int count = 0;
  Window found = 0;
  if (XQueryTree(display, window, &root_return, &parent, &children, &count) !=
      0) {
    for (unsigned int i = 0; i < count && found == 0; i++) {
      found = find_titled(display, children[i], title);
    }
    if (children != NULL) {
      XFree(children);
    }
  }
  return found;
}

int main(int argc, char** argv) {
  const char* title = argc > 1 ? argv[1] : "quon_vpn";
  Display* display = XOpenDisplay(NULL);
  if (display == NULL) {
    fprintf(stderr, "cannot open display %s\n", XDisplayName(NULL));
    return 1;
  }
  Window window = find_titled(display, DefaultRootWindow(display), title);
  if (window == 0) {
    fprintf(stderr, "no window titled %s\n", title);
    XCloseDisplay(display);
    return 1;
  }
  XEvent event;
  memset(&event, 0, sizeof event);
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] =
      (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  XSync(display, False);
  XCloseDisplay(display);
  return 0;
}
