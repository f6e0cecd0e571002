#pragma once
// An X display of the test's own and a second X client on it. XvfbServer starts a
// private Xvfb (it picks a free display and says which through -displayfd) and stops
// exactly that process again. OtherClient is another program on that display: it has
// a window of its own that holds the keyboard focus, types through the XTEST
// extension (so the keys pass the server's grab logic like a real keyboard's), sees
// the keys that reach its window, and can grab keys itself.
//
// Header-only; link xcb and xcb-xtest. Thread-safety: main thread only.

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <QElapsedTimer>
#include <QtTest>
#include <cstdlib>
#include <string>
#include <vector>

#include "ReportingDaemon.h"

// X keycodes (the evdev code + 8) of the keys the tests type.
namespace xkey {
constexpr xcb_keycode_t Control = 37, Alt = 64, Shift = 50, Super = 133, CapsLock = 66,
                        NumLock = 77, Space = 65, A = 38, B = 56, C = 54, Q = 24, W = 25, E = 26,
                        Z = 52, Keypad1 = 87;
}

class XvfbServer {
 public:
  // Starts the server and points DISPLAY at it; false (and a reason) when it fails.
  bool start(std::string* error) {
    const std::string number = server.start(
        {"Xvfb", "-displayfd", "9", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"},
        true);
    if (number.empty()) {
      if (error) *error = "Xvfb did not tell its display";
      return false;
    }
    display = ":" + number;
    ::setenv("DISPLAY", display.c_str(), 1);
    return true;
  }

  std::string display;

 private:
  ReportingDaemon server;
};

class OtherClient {
 public:
  OtherClient() {
    connection = xcb_connect(nullptr, nullptr);
    QVERIFY(!xcb_connection_has_error(connection));
    root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
  }
  ~OtherClient() { xcb_disconnect(connection); }
  OtherClient(const OtherClient&) = delete;
  OtherClient& operator=(const OtherClient&) = delete;

  // A mapped window of this client that holds the keyboard focus.
  void createFocusedWindow() {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    window = xcb_generate_id(connection);
    const uint32_t values[] = {screen->white_pixel, XCB_EVENT_MASK_KEY_PRESS};
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, root, 600, 400, 200, 200, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    xcb_map_window(connection, window);
    takeFocus();
  }

  void takeFocus() { focus(window); }

  // Gives the focus to any window (there is no window manager to do it).
  void focus(xcb_window_t target) {
    xcb_set_input_focus(connection, XCB_INPUT_FOCUS_POINTER_ROOT, target, XCB_CURRENT_TIME);
    sync();
  }

  xcb_window_t focusedWindow() {
    auto* reply = xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr);
    const xcb_window_t focused = reply ? reply->focus : XCB_NONE;
    std::free(reply);
    return focused;
  }

  // Presses the modifiers, taps the key, releases the modifiers.
  void type(const std::vector<xcb_keycode_t>& modifiers, xcb_keycode_t key) {
    for (auto m : modifiers) fake(XCB_KEY_PRESS, m);
    fake(XCB_KEY_PRESS, key);
    fake(XCB_KEY_RELEASE, key);
    for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) fake(XCB_KEY_RELEASE, *it);
    sync();
  }

  void tap(xcb_keycode_t key) { type({}, key); }

  // Moves the pointer: the server reports keys differently when it is outside the
  // focused window.
  void movePointer(int16_t x, int16_t y) {
    xcb_test_fake_input(connection, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, x, y, 0);
    sync();
  }

  // Waits (running the test's event loop, so that the board keeps working) until this
  // client's window receives a press of `key`; the presses seen before it are dropped.
  bool waitForKeyPress(xcb_keycode_t key) {
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 30000) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
        const bool hit = (event->response_type & 0x7f) == XCB_KEY_PRESS &&
                         reinterpret_cast<xcb_key_press_event_t*>(event)->detail == key;
        std::free(event);
        if (hit) return true;
      }
      QTest::qWait(5);
    }
    return false;
  }

  // Grabs a key on the root window for this client; false when the server refuses.
  bool grab(xcb_keycode_t key, uint16_t modifiers) {
    auto cookie = xcb_grab_key_checked(connection, 1, root, modifiers, key, XCB_GRAB_MODE_ASYNC,
                                       XCB_GRAB_MODE_ASYNC);
    xcb_generic_error_t* error = xcb_request_check(connection, cookie);
    std::free(error);
    return error == nullptr;
  }

  void ungrabAll() {
    xcb_ungrab_key(connection, XCB_GRAB_ANY, root, XCB_MOD_MASK_ANY);
    sync();
  }

  // Sends a client message to a window: it arrives after every event sent before it.
  void sendMarker(xcb_window_t target, xcb_atom_t type) {
    xcb_client_message_event_t message = {};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = target;
    message.type = type;
    xcb_send_event(connection, 0, target, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&message));
    sync();
  }

  xcb_atom_t atom(const char* name) {
    auto* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name),
        nullptr);
    const xcb_atom_t value = reply ? reply->atom : XCB_NONE;
    std::free(reply);
    return value;
  }

  // Whether Caps Lock's indicator state is on, from the server.
  uint16_t modifierState() {
    auto* reply = xcb_query_pointer_reply(connection, xcb_query_pointer(connection, root), nullptr);
    const uint16_t state = reply ? reply->mask : 0;
    std::free(reply);
    return state;
  }

  xcb_connection_t* connection = nullptr;
  xcb_window_t root = XCB_NONE;
  xcb_window_t window = XCB_NONE;

 private:
  void fake(uint8_t type, xcb_keycode_t key) {
    xcb_test_fake_input(connection, type, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  }
  void sync() {
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
  }
};
