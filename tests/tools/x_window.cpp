// A small X client for end-to-end tests, as a person would act on a window:
//   x_window list             mapped top-level windows: id, WxH, transient-for id, title
//   x_window close ID         ask the window to close (WM_DELETE_WINDOW), as its close button does
//   x_window grab ID FILE     write what the window shows as a binary PPM (P6)
//   x_window destroy ID       destroy the window, as a misbehaving client could
//   x_window keys ID KEY...   give the window the keyboard focus and type, through
//                             the XTEST extension as a keyboard would: each KEY is a
//                             key with modifiers ("alt+f", "Return", "ctrl+a") or
//                             "text:" and the characters to type
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <unistd.h>

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
  XImage* image =
      XGetImage(display, window, 0, 0, unsigned(attributes.width), unsigned(attributes.height), AllPlanes, ZPixmap);
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

// Presses and releases one key, holding the modifiers (and Shift when the
// key symbol sits on the key's shifted level).
bool press(Display* display, KeySym symbol, const std::string& modifiers) {
  const KeyCode code = XKeysymToKeycode(display, symbol);
  if (!code) return false;
  std::string held = modifiers;
  if (XkbKeycodeToKeysym(display, code, 0, 0) != symbol && XkbKeycodeToKeysym(display, code, 0, 1) == symbol)
    held += "shift+";
  const std::pair<const char*, KeySym> names[] = {{"shift+", XK_Shift_L}, {"ctrl+", XK_Control_L}, {"alt+", XK_Alt_L}};
  for (const auto& [name, modifier] : names)
    if (held.find(name) != std::string::npos) XTestFakeKeyEvent(display, XKeysymToKeycode(display, modifier), True, 0);
  XTestFakeKeyEvent(display, code, True, 0);
  XTestFakeKeyEvent(display, code, False, 0);
  for (const auto& [name, modifier] : names)
    if (held.find(name) != std::string::npos) XTestFakeKeyEvent(display, XKeysymToKeycode(display, modifier), False, 0);
  XSync(display, False);
  usleep(30000);  // one key at a time, as a person types
  return true;
}

int keys(Display* display, Window window, int count, char** names) {
  int event = 0, error = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(display, &event, &error, &major, &minor)) {
    std::fprintf(stderr, "x_window: the X server has no XTEST\n");
    return 1;
  }
  XRaiseWindow(display, window);
  XSetInputFocus(display, window, RevertToParent, CurrentTime);
  XSync(display, False);
  usleep(100000);
  for (int i = 0; i < count; ++i) {
    const std::string key = names[i];
    if (key.rfind("text:", 0) == 0) {
      for (unsigned char ch : key.substr(5))
        if (!press(display, KeySym(ch), "")) return 1;  // Latin-1 key symbols are the characters
      continue;
    }
    const size_t last_plus = key.rfind('+');
    const std::string modifiers = last_plus == std::string::npos ? "" : key.substr(0, last_plus + 1);
    const std::string name = key.substr(last_plus == std::string::npos ? 0 : last_plus + 1);
    const KeySym symbol = XStringToKeysym(name.c_str());
    if (symbol == NoSymbol || !press(display, symbol, modifiers)) {
      std::fprintf(stderr, "x_window: no key %s\n", key.c_str());
      return 1;
    }
  }
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
  else if (argc == 3 && std::strcmp(argv[1], "destroy") == 0)
    result = (XDestroyWindow(display, Window(std::strtoul(argv[2], nullptr, 0))), 0);
  else if (argc >= 4 && std::strcmp(argv[1], "keys") == 0)
    result = keys(display, Window(std::strtoul(argv[2], nullptr, 0)), argc - 3, argv + 3);
  else
    std::fprintf(stderr, "usage: x_window list | close ID | grab ID FILE | destroy ID | keys ID KEY...\n");
  XSync(display, False);
  XCloseDisplay(display);
  if (x_error && result == 0 && argc >= 2 && std::strcmp(argv[1], "list") != 0) result = 1;
  return result;
}
