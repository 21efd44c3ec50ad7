// The view under a real (virtual) display: the stand-in interface, its
// arguments, the plug-in registry and the background colour.

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/stat.h>
#include <unistd.h>

#include <flutter_secure_storage_linux/flutter_secure_storage_linux_plugin.h>
#include <url_launcher_linux/url_launcher_plugin.h>

#include "test_util.h"

namespace {

using quon_test::RunUntil;

struct Handler {
  std::vector<std::string> calls;
  std::string start_args;
  bool running = true;
};

void HandlerCb(FlMethodChannel*, FlMethodCall* call, gpointer user_data) {
  auto* handler = static_cast<Handler*>(user_data);
  std::string name = fl_method_call_get_name(call);
  handler->calls.push_back(name);
  if (name == "start") {
    handler->start_args = quon_test::ValueText(fl_method_call_get_args(call));
    fl_method_call_respond_error(call, "START_FAILED", "no xray here", nullptr,
                                 nullptr);
  } else if (name == "isRunning") {
    g_autoptr(FlValue) value = fl_value_new_bool(handler->running);
    fl_method_call_respond_success(call, value, nullptr);
  } else if (name == "getLastNativeResponse" || name == "getXrayLastError") {
    g_autoptr(FlValue) value = fl_value_new_string(("text of " + name).c_str());
    fl_method_call_respond_success(call, value, nullptr);
  } else {
    fl_method_call_respond_not_implemented(call, nullptr);
  }
}

void Collect(GtkWidget* widget, std::vector<GtkWidget*>* out) {
  out->push_back(widget);
  if (GTK_IS_CONTAINER(widget)) {
    g_autoptr(GList) children =
        gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* l = children; l != nullptr; l = l->next) {
      Collect(GTK_WIDGET(l->data), out);
    }
  }
}

GtkWidget* FindButton(GtkWidget* root, const char* label) {
  std::vector<GtkWidget*> all;
  Collect(root, &all);
  for (GtkWidget* w : all) {
    if (GTK_IS_BUTTON(w) &&
        g_strcmp0(gtk_button_get_label(GTK_BUTTON(w)), label) == 0) {
      return w;
    }
  }
  return nullptr;
}

bool HasLabel(GtkWidget* root, const std::string& text) {
  std::vector<GtkWidget*> all;
  Collect(root, &all);
  for (GtkWidget* w : all) {
    if (GTK_IS_LABEL(w) && text == gtk_label_get_text(GTK_LABEL(w))) {
      return true;
    }
  }
  return false;
}

class ViewTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
  }

  void SetUp() override {
    dir_ = g_dir_make_tmp("flview-XXXXXX", nullptr);
    log_handler_ = g_log_set_handler(
        "flutter", G_LOG_LEVEL_DEBUG,
        [](const gchar*, GLogLevelFlags, const gchar* message, gpointer data) {
          static_cast<std::vector<std::string>*>(data)->push_back(message);
        },
        &debug_lines_);
  }

  void TearDown() override {
    if (window_ != nullptr) {
      gtk_widget_destroy(window_);
    }
    quon_test::Drain();
    g_log_remove_handler("flutter", log_handler_);
    g_autofree gchar* command = g_strdup_printf("rm -rf '%s'", dir_);
    (void)system(command);
    g_free(dir_);
  }

  // Builds the view as the runner's activate handler does.
  FlView* MakeView(std::vector<std::string> args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    g_autoptr(FlDartProject) project = fl_dart_project_new();
    fl_dart_project_set_dart_entrypoint_arguments(project, argv.data());
    FlView* view = fl_view_new(project);
    window_ = gtk_offscreen_window_new();
    gtk_window_set_default_size(GTK_WINDOW(window_), 900, 700);
    gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view));
    gtk_widget_show_all(window_);
    FlBinaryMessenger* messenger =
        fl_engine_get_binary_messenger(fl_view_get_engine(view));
    g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
    g_autoptr(FlMethodChannel) channel =
        fl_method_channel_new(messenger, "v2ray", FL_METHOD_CODEC(codec));
    fl_method_channel_set_method_call_handler(channel, HandlerCb, &handler_,
                                              nullptr);
    return view;
  }

  gchar* dir_ = nullptr;
  guint log_handler_ = 0;
  std::vector<std::string> debug_lines_;
  GtkWidget* window_ = nullptr;
  Handler handler_;
};

TEST_F(ViewTest, EntrypointArgumentsArriveInOrder) {
  MakeView({"first", "with space", "--unknown-flag"});
  std::vector<std::string> expected = {
      "Dart entrypoint argument 0: first",
      "Dart entrypoint argument 1: with space",
      "Dart entrypoint argument 2: --unknown-flag"};
  std::vector<std::string> seen;
  for (const auto& line : debug_lines_) {
    if (line.rfind("Dart entrypoint argument", 0) == 0) {
      seen.push_back(line);
    }
  }
  EXPECT_EQ(seen, expected);
}

TEST_F(ViewTest, StartButtonSendsTheConfigurationAsTheInterfaceWould) {
  g_autofree gchar* config = g_build_filename(dir_, "config.json", nullptr);
  ASSERT_TRUE(g_file_set_contents(config, "{\"outbounds\": []}", -1, nullptr));
  FlView* view = MakeView({std::string("--config-file=") + config});
  // The first status round reports the tunnel state.
  ASSERT_TRUE(RunUntil([&] {
    return HasLabel(GTK_WIDGET(view), "Tunnel: connected") &&
           HasLabel(GTK_WIDGET(view),
                    "Last native response: text of getLastNativeResponse");
  }));

  GtkWidget* start = FindButton(GTK_WIDGET(view), "Start");
  ASSERT_NE(start, nullptr);
  handler_.running = false;
  gtk_button_clicked(GTK_BUTTON(start));
  ASSERT_TRUE(RunUntil([&] {
    return HasLabel(GTK_WIDGET(view),
                    "start failed (START_FAILED): no xray here") &&
           HasLabel(GTK_WIDGET(view), "Tunnel: disconnected");
  }));
  EXPECT_EQ(handler_.start_args,
            "{config_data: {\"outbounds\": []}, apps_filter_mode: allow, "
            "selected_apps: []}");

  ASSERT_NE(FindButton(GTK_WIDGET(view), "Stop"), nullptr);
  gtk_button_clicked(GTK_BUTTON(FindButton(GTK_WIDGET(view), "Check tunnel")));
  ASSERT_TRUE(RunUntil([&] {
    return HasLabel(GTK_WIDGET(view), "checkTunnel: not implemented");
  }));
}

TEST_F(ViewTest, UnreadableConfigFileIsShown) {
  FlView* view = MakeView({"--config-file=/nonexistent/quon.json"});
  std::vector<GtkWidget*> all;
  Collect(GTK_WIDGET(view), &all);
  bool shown = false;
  for (GtkWidget* w : all) {
    if (GTK_IS_LABEL(w) &&
        g_str_has_prefix(gtk_label_get_text(GTK_LABEL(w)),
                         "Could not read the configuration file")) {
      shown = true;
    }
  }
  EXPECT_TRUE(shown);
}

TEST_F(ViewTest, ControlSocketFromTheArgumentsLivesWithTheView) {
  g_autofree gchar* path = g_build_filename(dir_, "ctl.sock", nullptr);
  MakeView({std::string("--control-socket=") + path});
  struct stat st;
  ASSERT_EQ(lstat(path, &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  gtk_widget_destroy(window_);
  window_ = nullptr;
  quon_test::Drain();
  EXPECT_NE(lstat(path, &st), 0);
}

TEST_F(ViewTest, PluginsRegisterTheirChannelsThroughTheRegistry) {
  FlView* view = MakeView({});
  FlPluginRegistry* registry = FL_PLUGIN_REGISTRY(view);
  FlPluginRegistrar* storage =
      fl_plugin_registry_get_registrar_for_plugin(registry, "Storage");
  FlPluginRegistrar* launcher =
      fl_plugin_registry_get_registrar_for_plugin(registry, "Launcher");
  FlBinaryMessenger* messenger =
      fl_engine_get_binary_messenger(fl_view_get_engine(view));
  EXPECT_EQ(fl_plugin_registrar_get_messenger(storage), messenger);
  EXPECT_EQ(fl_plugin_registrar_get_view(storage), view);
  EXPECT_EQ(fl_plugin_registrar_get_texture_registrar(storage), nullptr);
  flutter_secure_storage_linux_plugin_register_with_registrar(storage);
  url_launcher_plugin_register_with_registrar(launcher);
  g_object_unref(storage);
  g_object_unref(launcher);

  for (const char* channel : {"plugins.it_nomads.com/flutter_secure_storage",
                              "plugins.flutter.io/url_launcher_linux"}) {
    SCOPED_TRACE(channel);
    FlMethodResponse* response = nullptr;
    bool done = false;
    struct Ctx {
      FlMethodResponse** response;
      bool* done;
    } ctx{&response, &done};
    fl_standin_invoke_method(
        messenger, channel, "read", nullptr, nullptr,
        [](GObject*, GAsyncResult* result, gpointer data) {
          auto* c = static_cast<Ctx*>(data);
          *c->response = fl_standin_invoke_method_finish(result, nullptr);
          *c->done = true;
        },
        &ctx);
    ASSERT_TRUE(RunUntil([&] { return done; }));
    EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response));
    g_clear_object(&response);
  }
}

// Reads the pixel at (x, y) of what the view draws.
guint32 PixelAt(FlView* view, int x, int y) {
  // Lay out what is pending (labels change as answers come in) first.
  gtk_container_check_resize(
      GTK_CONTAINER(gtk_widget_get_toplevel(GTK_WIDGET(view))));
  int width = gtk_widget_get_allocated_width(GTK_WIDGET(view));
  int height = gtk_widget_get_allocated_height(GTK_WIDGET(view));
  cairo_surface_t* surface =
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  cairo_t* cr = cairo_create(surface);
  gtk_widget_draw(GTK_WIDGET(view), cr);
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  int stride = cairo_image_surface_get_stride(surface);
  guint32 pixel = *reinterpret_cast<const guint32*>(
                      data + static_cast<ptrdiff_t>(y) * stride +
                      static_cast<ptrdiff_t>(x) * 4) &
                  0xffffff;
  cairo_surface_destroy(surface);
  return pixel;
}

TEST_F(ViewTest, BackgroundIsBlackUntilSetThenTheGivenColour) {
  FlView* view = MakeView({});
  // Once the panel's first answers are in, the layout settles.
  ASSERT_TRUE(RunUntil([&] {
    return HasLabel(GTK_WIDGET(view),
                    "Last Xray error: text of getXrayLastError") &&
           gtk_widget_get_allocated_width(GTK_WIDGET(view)) > 100;
  }));
  quon_test::Drain();
  EXPECT_EQ(PixelAt(view, 2, 2), 0x000000u);
  GdkRGBA white;
  ASSERT_TRUE(gdk_rgba_parse(&white, "#FFFFFF"));
  fl_view_set_background_color(view, &white);
  EXPECT_EQ(PixelAt(view, 2, 2), 0xffffffu);
  // The panel sits on top, away from the corners.
  EXPECT_EQ(PixelAt(view, gtk_widget_get_allocated_width(GTK_WIDGET(view)) - 3,
                    gtk_widget_get_allocated_height(GTK_WIDGET(view)) - 3),
            0xffffffu);
}

}  // namespace
