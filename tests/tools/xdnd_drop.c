/*
 * xdnd_drop: drops files onto the X window under a screen point, as a file manager would,
 * through the XDND protocol (version 5). Wine turns such a drop into WM_DROPFILES for the
 * window under the point that accepts files.
 *
 *   xdnd_drop X Y FILE...      exit 0: the target accepted the drop and finished it
 *                              exit 1: usage or display error; 2: no drop-aware window at the
 *                              point; 3: the target refused; 4: no answer in time
 *
 * The pointer is warped to the point first: the receiving program reads the real cursor
 * position, not only the position the protocol carries. Wine asks for the file list while it
 * handles XdndEnter and waits for it, so the selection is served from the first message on.
 */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

enum { XdndVersion = 5, TimeoutMs = 10000 };

static Display *display;
static Window source;
static Atom aXdndAware, aXdndSelection, aXdndEnter, aXdndPosition, aXdndStatus, aXdndDrop,
    aXdndFinished, aXdndLeave, aXdndActionCopy, aUriList, aTargets;

static char *uriList;
static size_t uriListLength;

static long NowMs(void) {
  struct timeval tv;
  gettimeofday(&tv, NULL);
  return tv.tv_sec * 1000L + tv.tv_usec / 1000;
}

/* Appends "file://" and the absolute path, every byte outside the unreserved set and "/"
   percent-encoded, and the CRLF that ends a text/uri-list line. */
static int AppendUri(const char *file) {
  char absolute[PATH_MAX];
  if (realpath(file, absolute) == NULL) {
    fprintf(stderr, "xdnd_drop: %s: no such file\n", file);
    return 0;
  }
  size_t need = uriListLength + 7 + 3 * strlen(absolute) + 3;
  char *grown = realloc(uriList, need);
  if (grown == NULL) return 0;
  uriList = grown;
  char *out = uriList + uriListLength;
  out += sprintf(out, "file://");
  for (const unsigned char *p = (const unsigned char *)absolute; *p; ++p) {
    if ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') ||
        strchr("/-._~", *p) != NULL) {
      *out++ = (char)*p;
    } else {
      out += sprintf(out, "%%%02X", *p);
    }
  }
  *out++ = '\r';
  *out++ = '\n';
  *out = '\0';
  uriListLength = (size_t)(out - uriList);
  return 1;
}

static int IsDropAware(Window window) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char *data = NULL;
  int aware = XGetWindowProperty(display, window, aXdndAware, 0, 1, False, AnyPropertyType, &type,
                                 &format, &count, &after, &data) == Success &&
              type != None && count > 0;
  if (data != NULL) XFree(data);
  return aware;
}

/* The innermost window under the root point that announces XdndAware. */
static Window FindTarget(Window root, int x, int y) {
  Window found = None, parent = root, child;
  int cx, cy;
  while (XTranslateCoordinates(display, root, parent, x, y, &cx, &cy, &child) && child != None) {
    if (IsDropAware(child)) found = child;
    parent = child;
  }
  return found;
}

static void SendClient(Window target, Atom type, long l1, long l2, long l3, long l4) {
  XEvent event;
  memset(&event, 0, sizeof event);
  event.xclient.type = ClientMessage;
  event.xclient.display = display;
  event.xclient.window = target;
  event.xclient.message_type = type;
  event.xclient.format = 32;
  event.xclient.data.l[0] = (long)source;
  event.xclient.data.l[1] = l1;
  event.xclient.data.l[2] = l2;
  event.xclient.data.l[3] = l3;
  event.xclient.data.l[4] = l4;
  XSendEvent(display, target, False, NoEventMask, &event);
  XFlush(display);
}

static void ServeSelection(const XSelectionRequestEvent *request) {
  XEvent reply;
  memset(&reply, 0, sizeof reply);
  reply.xselection.type = SelectionNotify;
  reply.xselection.display = request->display;
  reply.xselection.requestor = request->requestor;
  reply.xselection.selection = request->selection;
  reply.xselection.target = request->target;
  reply.xselection.time = request->time;
  reply.xselection.property = None;
  Atom property = request->property != None ? request->property : request->target;
  if (request->target == aUriList) {
    XChangeProperty(display, request->requestor, property, aUriList, 8, PropModeReplace,
                    (unsigned char *)uriList, (int)uriListLength);
    reply.xselection.property = property;
  } else if (request->target == aTargets) {
    Atom targets[2] = {aTargets, aUriList};
    XChangeProperty(display, request->requestor, property, XA_ATOM, 32, PropModeReplace,
                    (unsigned char *)targets, 2);
    reply.xselection.property = property;
  }
  XSendEvent(display, request->requestor, False, NoEventMask, &reply);
  XFlush(display);
}

/* Serves selection requests until a client message of the wanted type arrives from the
   target; 1 with the event filled, 0 on timeout. */
static int WaitFor(Atom wanted, XClientMessageEvent *result, long deadline) {
  int fd = ConnectionNumber(display);
  for (;;) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == SelectionRequest) {
        ServeSelection(&event.xselectionrequest);
      } else if (event.type == ClientMessage && event.xclient.message_type == wanted) {
        *result = event.xclient;
        return 1;
      }
    }
    long left = deadline - NowMs();
    if (left <= 0) return 0;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    struct timeval tv = {left / 1000, (left % 1000) * 1000};
    select(fd + 1, &set, NULL, NULL, &tv);
  }
}

/* A server timestamp, from a property change on our own window. */
static Time ServerTime(void) {
  XEvent event;
  XChangeProperty(display, source, XA_WM_NAME, XA_STRING, 8, PropModeAppend, NULL, 0);
  XWindowEvent(display, source, PropertyChangeMask, &event);
  return event.xproperty.time;
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: xdnd_drop X Y FILE...\n");
    return 1;
  }
  int x = atoi(argv[1]), y = atoi(argv[2]);
  for (int i = 3; i < argc; ++i) {
    if (!AppendUri(argv[i])) return 1;
  }
  display = XOpenDisplay(NULL);
  if (display == NULL) {
    fprintf(stderr, "xdnd_drop: cannot open display\n");
    return 1;
  }
  Window root = DefaultRootWindow(display);
  XSetWindowAttributes attributes;
  attributes.event_mask = PropertyChangeMask;
  source = XCreateWindow(display, root, -10, -10, 1, 1, 0, CopyFromParent, InputOnly,
                         CopyFromParent, CWEventMask, &attributes);

  aXdndAware = XInternAtom(display, "XdndAware", False);
  aXdndSelection = XInternAtom(display, "XdndSelection", False);
  aXdndEnter = XInternAtom(display, "XdndEnter", False);
  aXdndPosition = XInternAtom(display, "XdndPosition", False);
  aXdndStatus = XInternAtom(display, "XdndStatus", False);
  aXdndDrop = XInternAtom(display, "XdndDrop", False);
  aXdndFinished = XInternAtom(display, "XdndFinished", False);
  aXdndLeave = XInternAtom(display, "XdndLeave", False);
  aXdndActionCopy = XInternAtom(display, "XdndActionCopy", False);
  aUriList = XInternAtom(display, "text/uri-list", False);
  aTargets = XInternAtom(display, "TARGETS", False);

  XWarpPointer(display, None, root, 0, 0, 0, 0, x, y);
  XSync(display, False);

  Window target = FindTarget(root, x, y);
  if (target == None) {
    fprintf(stderr, "xdnd_drop: no drop-aware window at %d,%d\n", x, y);
    return 2;
  }

  Time time = ServerTime();
  XSetSelectionOwner(display, aXdndSelection, source, time);
  long deadline = NowMs() + TimeoutMs;

  SendClient(target, aXdndEnter, (long)XdndVersion << 24, (long)aUriList, None, None);
  SendClient(target, aXdndPosition, 0, ((long)x << 16) | (y & 0xFFFF), (long)time,
             (long)aXdndActionCopy);
  XClientMessageEvent status;
  if (!WaitFor(aXdndStatus, &status, deadline)) {
    fprintf(stderr, "xdnd_drop: no XdndStatus\n");
    return 4;
  }
  if (!(status.data.l[1] & 1)) {
    SendClient(target, aXdndLeave, 0, 0, 0, 0);
    fprintf(stderr, "xdnd_drop: the target refused the drop\n");
    return 3;
  }

  SendClient(target, aXdndDrop, 0, (long)time, 0, 0);
  XClientMessageEvent finished;
  if (!WaitFor(aXdndFinished, &finished, deadline)) {
    fprintf(stderr, "xdnd_drop: no XdndFinished\n");
    return 4;
  }
  XDestroyWindow(display, source);
  XCloseDisplay(display);
  free(uriList);
  return 0;
}
