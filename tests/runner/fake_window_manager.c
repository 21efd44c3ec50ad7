// Announces an EWMH window manager of the given name on $DISPLAY without
// managing anything: enough for a client that asks who the window manager
// is. Prints "ready" once the announcement is visible to other clients,
// then waits to be killed; the announcement's check window goes with it.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s WINDOW-MANAGER-NAME\n", argv[0]);
    return 2;
  }
  Display* display = XOpenDisplay(NULL);
  if (display == NULL) {
    fprintf(stderr, "cannot open display %s\n", XDisplayName(NULL));
    return 1;
  }
  Window root = DefaultRootWindow(display);
  Window check = XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0);
  Atom supporting = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  Atom supported = XInternAtom(display, "_NET_SUPPORTED", False);
  Atom wm_name = XInternAtom(display, "_NET_WM_NAME", False);
  Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  // The check window names itself and the window manager; the root window
  // points at it last, once it is complete.
  XChangeProperty(display, check, supporting, XA_WINDOW, 32, PropModeReplace,
                  (const unsigned char*)&check, 1);
  XChangeProperty(display, check, wm_name, utf8, 8, PropModeReplace,
                  (const unsigned char*)argv[1], (int)strlen(argv[1]));
  XChangeProperty(display, root, supported, XA_ATOM, 32, PropModeReplace,
                  (const unsigned char*)&wm_name, 1);
  XChangeProperty(display, root, supporting, XA_WINDOW, 32, PropModeReplace,
                  (const unsigned char*)&check, 1);
  XSync(display, False);
  puts("ready");
  fflush(stdout);
  for (;;) {
    pause();
  }
}
