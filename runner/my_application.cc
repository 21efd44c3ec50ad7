#include "my_application.h"

#include <flutter_linux/flutter_linux.h>
#include <glib-unix.h>
#ifdef GDK_WINDOWING_X11
#include <dlfcn.h>
#include <gdk/gdkx.h>
#endif
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "generated_plugin_registrant.h"
#include "instance_lock.h"
#include "v2ray_channel_handler_linux.h"

namespace {

constexpr char kApplicationId[] = "com.korvaline.quonvpn";
#if GLIB_CHECK_VERSION(2, 74, 0)
constexpr GApplicationFlags kApplicationFlags = G_APPLICATION_DEFAULT_FLAGS;
#else
constexpr GApplicationFlags kApplicationFlags = G_APPLICATION_FLAGS_NONE;
#endif
constexpr char kWindowTitle[] = "quon_vpn";
constexpr int kDefaultWidth = 1280;
constexpr int kDefaultHeight = 720;
constexpr char kBackgroundColor[] = "#FFFFFF";
// GNOME Shell draws client-side decorations well; other X11 window managers
// get a plain title with their own decorations.
constexpr char kHeaderBarWindowManager[] = "GNOME Shell";

// The signals a desktop session, a terminal or a service manager sends to
// end a program: each ends the runner as closing the window does, so the
// engine is destroyed and takes the tunnel down on the way out.
constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};

}  // namespace

struct _MyApplication {
  GtkApplication parent_instance;
  // Command-line arguments after the program name, for the Dart entry point.
  char** dart_entrypoint_arguments;
};

G_DEFINE_TYPE(MyApplication, my_application, GTK_TYPE_APPLICATION)

namespace {

// The running application that a quit signal ends; null before start-up
// and from shutdown on. Main thread only.
GApplication* g_quit_target = nullptr;

gboolean quit_signal_cb(gpointer user_data) {
  (void)user_data;
  // During shutdown and the teardown that follows, a repeated signal has
  // nothing left to do: the teardown already under way is the same one,
  // and it is bounded.
  if (g_quit_target != nullptr) {
    g_application_quit(g_quit_target);
  }
  return G_SOURCE_CONTINUE;
}

// The quit signals are caught from start-up until the process ends, never
// given back to their default action: removing GLib's sources would, and a
// second signal during the teardown (the engine's Stop, at exit) would then
// kill the runner half-way, leaving a route helper it had started holding
// the routing. After the main loop has ended GLib's handler still takes
// them; nobody dispatches them any more, so they change nothing.
void CatchQuitSignalsForGood() {
  static bool installed = false;
  if (installed) {
    return;
  }
  installed = true;
  for (int signal_number : kQuitSignals) {
    (void)g_unix_signal_add(signal_number, quit_signal_cb, nullptr);
  }
}

#ifdef GDK_WINDOWING_X11
// The X server went away (logout, a crashed display server). Xlib ends the
// process after this handler in any case, and GDK's own would end it at
// once: take the tunnel down first, within the bound of its destruction.
int display_lost_cb(Display* display) {
  (void)display;
  g_warning("Lost the connection to the display; stopping the tunnel");
  DestroyV2RayEngineLinux();
  _exit(1);
}

// libX11 is loaded through GDK, but the runner does not link it itself, so
// the setter is looked up rather than named.
void TakeTunnelDownOnDisplayLoss() {
  if (!GDK_IS_X11_DISPLAY(gdk_display_get_default())) {
    return;
  }
  using SetHandlerFn = XIOErrorHandler (*)(XIOErrorHandler);
  void* symbol = dlsym(RTLD_DEFAULT, "XSetIOErrorHandler");
  if (symbol == nullptr) {
    g_warning("display loss will not stop the tunnel: %s", dlerror());
    return;
  }
  SetHandlerFn set_handler = nullptr;
  static_assert(sizeof(set_handler) == sizeof(symbol), "function pointer");
  memcpy(&set_handler, &symbol, sizeof(symbol));
  (void)set_handler(display_lost_cb);
}
#else
void TakeTunnelDownOnDisplayLoss() {}
#endif

// Without a session bus (or from another session of the same user) the bus
// cannot tell that a runner is already there: a lock in the user's private
// directory does. False when another runner holds it; this one then says so
// and ends, never having made an engine.
bool OnlyRunnerOfThisUser() {
  const InstanceLock lock = TakeInstanceLock();
  switch (lock.result) {
    case InstanceLock::Result::kHeld:
      return true;
    case InstanceLock::Result::kTaken:
      g_printerr(
          "quon_vpn is already running for this user (process %d); this "
          "launch leaves it alone and exits. Use the window of that one.\n",
          static_cast<int>(lock.holder));
      return false;
    case InstanceLock::Result::kUnavailable:
      break;
  }
  // The engine will say the same when it is asked to start; the window
  // still opens so that the user can see it.
  g_warning("cannot make sure that only one quon_vpn runs: %s",
            lock.problem.c_str());
  return true;
}

bool UseHeaderBar(GtkWindow* window) {
#ifdef GDK_WINDOWING_X11
  GdkScreen* screen = gtk_window_get_screen(window);
  if (GDK_IS_X11_SCREEN(screen)) {
    const gchar* wm_name = gdk_x11_screen_get_window_manager_name(screen);
    return g_strcmp0(wm_name, kHeaderBarWindowManager) == 0;
  }
#else
  (void)window;
#endif
  // No screen, or not X11 (Wayland, for example).
  return true;
}

}  // namespace

static void my_application_activate(GApplication* application) {
  MyApplication* self = MY_APPLICATION(application);
  // A second launch in this desktop session: its window comes to the front,
  // and nothing else is made (one engine, one channel).
  GList* windows = gtk_application_get_windows(GTK_APPLICATION(application));
  if (windows != nullptr) {
    g_message("Another launch of quon_vpn brought this window to the front");
    gtk_window_present(GTK_WINDOW(windows->data));
    return;
  }
  GtkWindow* window =
      GTK_WINDOW(gtk_application_window_new(GTK_APPLICATION(application)));

  if (UseHeaderBar(window)) {
    GtkHeaderBar* header_bar = GTK_HEADER_BAR(gtk_header_bar_new());
    gtk_widget_show(GTK_WIDGET(header_bar));
    gtk_header_bar_set_title(header_bar, kWindowTitle);
    gtk_header_bar_set_show_close_button(header_bar, TRUE);
    gtk_window_set_titlebar(window, GTK_WIDGET(header_bar));
  } else {
    gtk_window_set_title(window, kWindowTitle);
  }

  gtk_window_set_default_size(window, kDefaultWidth, kDefaultHeight);

  g_autoptr(FlDartProject) project = fl_dart_project_new();
  fl_dart_project_set_dart_entrypoint_arguments(
      project, self->dart_entrypoint_arguments);

  FlView* view = fl_view_new(project);
  GdkRGBA background_color;
  gdk_rgba_parse(&background_color, kBackgroundColor);
  fl_view_set_background_color(view, &background_color);
  gtk_widget_show(GTK_WIDGET(view));
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));

  gtk_widget_show_all(GTK_WIDGET(window));

  fl_register_plugins(FL_PLUGIN_REGISTRY(view));

  register_v2ray_channel_linux(
      fl_engine_get_binary_messenger(fl_view_get_engine(view)));

  gtk_widget_grab_focus(GTK_WIDGET(view));
}

static gboolean my_application_local_command_line(GApplication* application,
                                                  gchar*** arguments,
                                                  int* exit_status) {
  MyApplication* self = MY_APPLICATION(application);
  // Strip out the first argument as it is the binary name. A program can be
  // started with no arguments at all, not even its name.
  gchar** argv = *arguments;
  g_strfreev(self->dart_entrypoint_arguments);
  self->dart_entrypoint_arguments = argv != nullptr && argv[0] != nullptr
                                        ? g_strdupv(argv + 1)
                                        : g_new0(gchar*, 1);

  g_autoptr(GError) error = nullptr;
  if (!g_application_register(application, nullptr, &error)) {
    g_warning("Failed to register: %s", error->message);
    *exit_status = 1;
    return TRUE;
  }
  *exit_status = 0;

  if (g_application_get_is_remote(application)) {
    // The first instance on this session bus runs the tunnel: it shows its
    // window, and this one ends without an engine of its own.
    g_application_activate(application);
    g_printerr(
        "quon_vpn is already running in this desktop session; its window "
        "was brought to the front.\n");
    return TRUE;
  }
  if (!OnlyRunnerOfThisUser()) {
    return TRUE;
  }

  g_application_activate(application);
  return TRUE;
}

static void my_application_startup(GApplication* application) {
  G_APPLICATION_CLASS(my_application_parent_class)->startup(application);
  g_quit_target = application;
  CatchQuitSignalsForGood();
  TakeTunnelDownOnDisplayLoss();
}

static void my_application_shutdown(GApplication* application) {
  if (g_quit_target == application) {
    g_quit_target = nullptr;
  }
  G_APPLICATION_CLASS(my_application_parent_class)->shutdown(application);
}

static void my_application_dispose(GObject* object) {
  MyApplication* self = MY_APPLICATION(object);
  g_clear_pointer(&self->dart_entrypoint_arguments, g_strfreev);
  G_OBJECT_CLASS(my_application_parent_class)->dispose(object);
}

static void my_application_class_init(MyApplicationClass* klass) {
  G_APPLICATION_CLASS(klass)->activate = my_application_activate;
  G_APPLICATION_CLASS(klass)->local_command_line =
      my_application_local_command_line;
  G_APPLICATION_CLASS(klass)->startup = my_application_startup;
  G_APPLICATION_CLASS(klass)->shutdown = my_application_shutdown;
  G_OBJECT_CLASS(klass)->dispose = my_application_dispose;
}

static void my_application_init(MyApplication* self) {
  self->dart_entrypoint_arguments = nullptr;
}

MyApplication* my_application_new() {
  // The program name doubles as the window class on X11 and the app id the
  // desktop shell matches .desktop files against.
  g_set_prgname(kApplicationId);
  // Unique: a second launch in the same desktop session finds the first on
  // the session bus and hands over to it, so that one runner, and one
  // engine, owns the tunnel.
  return MY_APPLICATION(g_object_new(my_application_get_type(),
                                     "application-id", kApplicationId, "flags",
                                     kApplicationFlags, nullptr));
}
