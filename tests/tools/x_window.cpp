// A small X client for end-to-end tests, as a person would act on a window:
//   x_window list             mapped top-level windows: id, WxH, transient-for id, title
//   x_window close ID         ask the window to close (WM_DELETE_WINDOW), as its close button does
//   x_window grab ID FILE     write what the window shows as a binary PPM (P6)
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string title_of(Display* display, Window window) {
  Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom net_name = XInternAtom(display, "_NET_WM_NAME", False);
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(display, window, net_name, 0, 1024, False, utf8, &type, &format, &count, &after, &data) ==
          Success &&
      data) {
    title.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
    return title;
  }
  char* name = nullptr;
  if (XFetchName(display, window, &name) && name) {
    title = name;
    XFree(name);
  }
  return title;
}

int list(Display* display) {
  Window root = DefaultRootWindow(display), parent, *children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, root, &root, &parent, &children, &count)) return 1;
  for (unsigned int i = 0; i < count; ++i) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, children[i], &attributes) || attributes.map_state != IsViewable) continue;
    const std::string title = title_of(display, children[i]);
    if (title.empty()) continue;
    Window transient_for = 0;
    XGetTransientForHint(display, children[i], &transient_for);
    std::printf("0x%lx %dx%d 0x%lx %s\n", children[i], attributes.width, attributes.height, transient_for,
                title.c_str());
  }
  if (children) XFree(children);
  return 0;
}

int close_window(Display* display, Window window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  XSync(display, False);
  return 0;
}

int grab(Display* display, Window window, const char* path) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, window, &attributes)) return 1;
  XImage* image = XGetImage(display, window, 0, 0, unsigned(attributes.width), unsigned(attributes.height), AllPlanes,
                            ZPixmap);
  if (!image) return 1;
  FILE* out = std::fopen(path, "wb");
  if (!out) {
    XDestroyImage(image);
    return 1;
  }
  std::fprintf(out, "P6\n%d %d\n255\n", image->width, image->height);
  // Channel positions from the visual's masks, whatever the server's depth.
  auto channel = [](unsigned long pixel, unsigned long mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    const unsigned long max = mask >> shift;
    return int(((pixel & mask) >> shift) * 255 / max);
  };
  for (int y = 0; y < image->height; ++y)
    for (int x = 0; x < image->width; ++x) {
      const unsigned long pixel = XGetPixel(image, x, y);
      const unsigned char rgb[3] = {static_cast<unsigned char>(channel(pixel, image->red_mask)),
                                    static_cast<unsigned char>(channel(pixel, image->green_mask)),
                                    static_cast<unsigned char>(channel(pixel, image->blue_mask))};
      std::fwrite(rgb, 1, 3, out);
    }
  std::fclose(out);
  XDestroyImage(image);
  return 0;
}

}  // namespace

// Windows come and go while we look (Qt re-creates a window when its flags
// change): an error about one that vanished is an answer, not a crash.
bool x_error = false;
int on_x_error(Display*, XErrorEvent*) {
  x_error = true;
  return 0;
}

int main(int argc, char** argv) {
  XSetErrorHandler(on_x_error);
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "x_window: cannot open the display\n");
    return 2;
  }
  int result = 2;
  if (argc == 2 && std::strcmp(argv[1], "list") == 0)
    result = list(display);
  else if (argc == 3 && std::strcmp(argv[1], "close") == 0)
    result = close_window(display, Window(std::strtoul(argv[2], nullptr, 0)));
  else if (argc == 4 && std::strcmp(argv[1], "grab") == 0)
    result = grab(display, Window(std::strtoul(argv[2], nullptr, 0)), argv[3]);
  else
    std::fprintf(stderr, "usage: x_window list | close ID | grab ID FILE\n");
  XSync(display, False);
  XCloseDisplay(display);
  if (x_error && result == 0 && argc >= 2 && std::strcmp(argv[1], "list") != 0) result = 1;
  return result;
}
