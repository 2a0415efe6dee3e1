/* xdnd_drop X Y FILE: drops one file on the window under a screen point through XDND (version
   5), as a file manager would; Wine makes it WM_DROPFILES. Exit 0 when the target accepted and
   finished the drop, 1 otherwise. FILE is an absolute path that needs no percent-encoding; a
   target that never answers is left to the caller's timeout. */
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static Display *display;
static Window source;
static char uriList[4200];

static Atom A(const char *name) { return XInternAtom(display, name, False); }

static void Send(Window target, const char *type, long l1, long l2, long l3, long l4) {
  XEvent event = {.xclient = {.type = ClientMessage, .window = target, .message_type = A(type),
                              .format = 32, .data.l = {(long)source, l1, l2, l3, l4}}};
  XSendEvent(display, target, False, NoEventMask, &event);
}

/* Hands out the file list until the target answers with the message wanted: Wine asks for
   the list while it handles XdndEnter, and waits for it. */
static XClientMessageEvent Await(const char *type) {
  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == ClientMessage && event.xclient.message_type == A(type)) return event.xclient;
    if (event.type != SelectionRequest) continue;
    XSelectionRequestEvent *request = &event.xselectionrequest;
    XEvent reply = {.xselection = {.type = SelectionNotify, .requestor = request->requestor,
                                   .selection = request->selection, .target = request->target,
                                   .time = request->time}};
    if (request->target == A("text/uri-list")) {
      reply.xselection.property = request->property;
      XChangeProperty(display, request->requestor, request->property, request->target, 8,
                      PropModeReplace, (unsigned char *)uriList, (int)strlen(uriList));
    }
    XSendEvent(display, request->requestor, False, NoEventMask, &reply);
  }
}

int main(int argc, char **argv) {
  if (argc != 4 || (display = XOpenDisplay(NULL)) == NULL) return 1;
  int x = atoi(argv[1]), y = atoi(argv[2]), unused;
  unsigned int buttons;
  snprintf(uriList, sizeof uriList, "file://%s\r\n", argv[3]);
  Window root = DefaultRootWindow(display), child, target = None;
  source = XCreateSimpleWindow(display, root, -10, -10, 1, 1, 0, 0, 0);
  /* The receiving program reads the real cursor position, not only the one the protocol
     carries. Wine's top-level windows, children of the root here, announce XdndAware. */
  XWarpPointer(display, None, root, 0, 0, 0, 0, x, y);
  XQueryPointer(display, root, &child, &target, &unused, &unused, &unused, &unused, &buttons);
  if (target == None) return 1;
  XSetSelectionOwner(display, A("XdndSelection"), source, CurrentTime);
  Send(target, "XdndEnter", 5L << 24, (long)A("text/uri-list"), None, None);
  Send(target, "XdndPosition", 0, (long)x << 16 | y, CurrentTime, (long)A("XdndActionCopy"));
  if (!(Await("XdndStatus").data.l[1] & 1)) return 1;
  Send(target, "XdndDrop", 0, CurrentTime, 0, 0);
  Await("XdndFinished");
  XCloseDisplay(display);
  return 0;
}
