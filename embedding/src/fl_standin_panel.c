// The stand-in for the application's Dart code: a small control panel that
// drives the channel "v2ray" exactly as the real interface does, through the
// standard method codec and the engine's messenger.
//
// Entry point arguments it understands (others are ignored, as a Dart main()
// would ignore flags it does not know):
//   --config-file=PATH        fill the configuration box from PATH
//   --control-socket          listen on $XDG_RUNTIME_DIR/quon_vpn-control.sock
//   --control-socket=PATH     listen on PATH
//   --standin-ballast-mb=N    hold N MiB of touched memory (benchmarks only:
//                             the size of a real engine's process)
// Every argument is logged in order with g_debug() as
//   "Dart entrypoint argument N: TEXT"
// (log domain "flutter"), so that G_MESSAGES_DEBUG=flutter shows what arrived.

#include "fl_standin_panel.h"

#include "fl_standin_ballast.h"
#include "flutter_linux_standin/fl_standin.h"

static const char kChannel[] = "v2ray";
static const char kConfigFileFlag[] = "--config-file=";
static const char kControlSocketFlag[] = "--control-socket";
static const char kBallastFlag[] = "--standin-ballast-mb=";
// How often the status line asks whether the tunnel runs.
static const guint kRefreshSeconds = 3;

struct _FlStandinPanel {
  GtkBox parent_instance;
  FlBinaryMessenger* messenger;  // Weak.
  GCancellable* cancellable;     // Cancelled when the panel goes.
  FlStandinControlServer* control_server;
  guint refresh_source;
  gboolean refresh_in_flight;

  GtkTextBuffer* config;
  GtkWidget* status_label;
  GtkWidget* answer_label;
  GtkWidget* native_label;
  GtkWidget* error_label;

  gpointer ballast;  // Benchmarks only; NULL unless asked for.
  guint ballast_mb;
};

G_DEFINE_TYPE(FlStandinPanel, fl_standin_panel, GTK_TYPE_BOX)

typedef void (*AnswerFn)(FlStandinPanel* self,
                         const gchar* method,
                         FlMethodResponse* response,
                         const GError* error);

typedef struct {
  FlStandinPanel* panel;  // Not referenced: the cancellable guards it.
  gchar* method;
  AnswerFn on_answer;
} Pending;

static void pending_cb(GObject* object,
                       GAsyncResult* result,
                       gpointer user_data) {
  Pending* pending = user_data;
  g_autoptr(GError) error = NULL;
  g_autoptr(FlMethodResponse) response =
      fl_standin_invoke_method_finish(result, &error);
  if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    pending->on_answer(pending->panel, pending->method, response, error);
  }
  g_free(pending->method);
  g_free(pending);
}

static void call(FlStandinPanel* self,
                 const gchar* method,
                 FlValue* args,
                 AnswerFn on_answer) {
  if (self->messenger == NULL) {
    return;
  }
  Pending* pending = g_new0(Pending, 1);
  pending->panel = self;
  pending->method = g_strdup(method);
  pending->on_answer = on_answer;
  fl_standin_invoke_method(self->messenger, kChannel, method, args,
                           self->cancellable, pending_cb, pending);
}

// The text of an answer, for the labels.
static gchar* describe(const gchar* method,
                       FlMethodResponse* response,
                       const GError* error) {
  if (response == NULL) {
    return g_strdup_printf("%s: no answer (%s)", method, error->message);
  }
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    g_autofree gchar* text =
        fl_value_to_string(fl_method_success_response_get_result(
            FL_METHOD_SUCCESS_RESPONSE(response)));
    return g_strdup_printf("%s: %s", method, text);
  }
  if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* error_response = FL_METHOD_ERROR_RESPONSE(response);
    const gchar* message = fl_method_error_response_get_message(error_response);
    return g_strdup_printf("%s failed (%s): %s", method,
                           fl_method_error_response_get_code(error_response),
                           message != NULL ? message : "no message");
  }
  return g_strdup_printf("%s: not implemented", method);
}

static FlValue* string_result(FlMethodResponse* response) {
  if (response == NULL || !FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    return NULL;
  }
  FlValue* result = fl_method_success_response_get_result(
      FL_METHOD_SUCCESS_RESPONSE(response));
  return fl_value_get_type(result) == FL_VALUE_TYPE_STRING ? result : NULL;
}

static void native_answer(FlStandinPanel* self,
                          const gchar* method,
                          FlMethodResponse* response,
                          const GError* error) {
  FlValue* text = string_result(response);
  g_autofree gchar* line =
      g_strdup_printf("Last native response: %s",
                      text != NULL ? fl_value_get_string(text) : "-");
  gtk_label_set_text(GTK_LABEL(self->native_label), line);
}

static void xray_error_answer(FlStandinPanel* self,
                              const gchar* method,
                              FlMethodResponse* response,
                              const GError* error) {
  FlValue* text = string_result(response);
  g_autofree gchar* line = g_strdup_printf(
      "Last Xray error: %s", text != NULL ? fl_value_get_string(text) : "-");
  gtk_label_set_text(GTK_LABEL(self->error_label), line);
}

static void status_answer(FlStandinPanel* self,
                          const gchar* method,
                          FlMethodResponse* response,
                          const GError* error) {
  self->refresh_in_flight = FALSE;
  const gchar* state = "unknown";
  if (response != NULL && FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    FlValue* result = fl_method_success_response_get_result(
        FL_METHOD_SUCCESS_RESPONSE(response));
    if (fl_value_get_type(result) == FL_VALUE_TYPE_BOOL) {
      state = fl_value_get_bool(result) ? "connected" : "disconnected";
    }
  }
  g_autofree gchar* line = g_strdup_printf("Tunnel: %s", state);
  gtk_label_set_text(GTK_LABEL(self->status_label), line);
}

static void refresh(FlStandinPanel* self) {
  // While a long operation holds the engine, answers queue up behind it: ask
  // again only once the previous round is answered.
  if (self->refresh_in_flight) {
    return;
  }
  self->refresh_in_flight = TRUE;
  call(self, "isRunning", NULL, status_answer);
  call(self, "getLastNativeResponse", NULL, native_answer);
  call(self, "getXrayLastError", NULL, xray_error_answer);
}

static gboolean refresh_cb(gpointer user_data) {
  refresh(FL_STANDIN_PANEL(user_data));
  return G_SOURCE_CONTINUE;
}

static void action_answer(FlStandinPanel* self,
                          const gchar* method,
                          FlMethodResponse* response,
                          const GError* error) {
  g_autofree gchar* line = describe(method, response, error);
  gtk_label_set_text(GTK_LABEL(self->answer_label), line);
  self->refresh_in_flight = FALSE;
  refresh(self);
}

static void start_clicked_cb(FlStandinPanel* self) {
  GtkTextIter start;
  GtkTextIter end;
  gtk_text_buffer_get_bounds(self->config, &start, &end);
  g_autofree gchar* text =
      gtk_text_buffer_get_text(self->config, &start, &end, FALSE);
  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "config_data", fl_value_new_string(text));
  fl_value_set_string_take(args, "apps_filter_mode",
                           fl_value_new_string("allow"));
  fl_value_set_string_take(args, "selected_apps", fl_value_new_list());
  gtk_label_set_text(GTK_LABEL(self->answer_label), "start: waiting...");
  call(self, "start", args, action_answer);
}

static void stop_clicked_cb(FlStandinPanel* self) {
  gtk_label_set_text(GTK_LABEL(self->answer_label), "stop: waiting...");
  call(self, "stop", NULL, action_answer);
}

static void check_clicked_cb(FlStandinPanel* self) {
  gtk_label_set_text(GTK_LABEL(self->answer_label), "checkTunnel: waiting...");
  call(self, "checkTunnel", NULL, action_answer);
}

static void load_config_file(FlStandinPanel* self, const gchar* path) {
  g_autofree gchar* contents = NULL;
  gsize length = 0;
  g_autoptr(GError) error = NULL;
  if (!g_file_get_contents(path, &contents, &length, &error)) {
    g_warning("Could not read the configuration file: %s", error->message);
    g_autofree gchar* line = g_strdup_printf(
        "Could not read the configuration file: %s", error->message);
    gtk_label_set_text(GTK_LABEL(self->answer_label), line);
    return;
  }
  if (!g_utf8_validate(contents, (gssize)length, NULL)) {
    g_warning("Configuration file %s is not UTF-8 text", path);
    gtk_label_set_text(GTK_LABEL(self->answer_label),
                       "The configuration file is not UTF-8 text");
    return;
  }
  gtk_text_buffer_set_text(self->config, contents, (gint)length);
}

static void start_control_socket(FlStandinPanel* self, const gchar* path) {
  g_autoptr(GError) error = NULL;
  g_autofree gchar* default_path = NULL;
  if (path == NULL) {
    default_path = fl_standin_control_socket_default_path(&error);
    path = default_path;
  }
  if (path != NULL) {
    self->control_server =
        fl_standin_control_server_new(self->messenger, kChannel, path, &error);
  }
  if (self->control_server == NULL) {
    g_warning("Control socket not started: %s", error->message);
    g_autofree gchar* line =
        g_strdup_printf("Control socket not started: %s", error->message);
    gtk_label_set_text(GTK_LABEL(self->answer_label), line);
    return;
  }
  g_message("Control socket listening at %s", path);
}

static void hold_ballast(FlStandinPanel* self, const gchar* text) {
  guint mb = 0;
  if (self->ballast != NULL) {
    return;
  }
  if (!fl_standin_ballast_parse_mb(text, &mb)) {
    g_warning("Ignoring %s%s: not a number of MiB from 1 to %d", kBallastFlag,
              text, FL_STANDIN_BALLAST_MAX_MB);
    return;
  }
  self->ballast = fl_standin_ballast_new(mb);
  if (self->ballast == NULL) {
    g_warning("No ballast of %u MiB: the memory could not be mapped", mb);
    return;
  }
  self->ballast_mb = mb;
  g_message("Holding %u MiB of ballast", mb);
}

static void handle_arguments(FlStandinPanel* self, gchar** args) {
  for (guint i = 0; args != NULL && args[i] != NULL; i++) {
    const gchar* arg = args[i];
    g_debug("Dart entrypoint argument %u: %s", i, arg);
    if (g_str_has_prefix(arg, kConfigFileFlag)) {
      load_config_file(self, arg + strlen(kConfigFileFlag));
    } else if (g_strcmp0(arg, kControlSocketFlag) == 0) {
      start_control_socket(self, NULL);
    } else if (g_str_has_prefix(arg, kControlSocketFlag) &&
               arg[strlen(kControlSocketFlag)] == '=') {
      start_control_socket(self, arg + strlen(kControlSocketFlag) + 1);
    } else if (g_str_has_prefix(arg, kBallastFlag)) {
      hold_ballast(self, arg + strlen(kBallastFlag));
    }
  }
}

static GtkWidget* new_line_label(const gchar* text) {
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_selectable(GTK_LABEL(label), TRUE);
  return label;
}

static void build(FlStandinPanel* self) {
  GtkBox* box = GTK_BOX(self);
  gtk_box_set_spacing(box, 8);
  gtk_widget_set_size_request(GTK_WIDGET(self), 720, -1);

  g_autoptr(GtkCssProvider) css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css,
                                  ".quon-panel { background-color: "
                                  "@theme_bg_color; border-radius: 8px; "
                                  "padding: 16px; }",
                                  -1, NULL);
  GtkStyleContext* style = gtk_widget_get_style_context(GTK_WIDGET(self));
  gtk_style_context_add_provider(style, GTK_STYLE_PROVIDER(css),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  gtk_style_context_add_class(style, "quon-panel");

  GtkWidget* title = gtk_label_new(NULL);
  gtk_label_set_markup(GTK_LABEL(title), "<b>Xray configuration</b>");
  gtk_label_set_xalign(GTK_LABEL(title), 0);
  gtk_box_pack_start(box, title, FALSE, FALSE, 0);

  GtkWidget* text_view = gtk_text_view_new();
  gtk_text_view_set_monospace(GTK_TEXT_VIEW(text_view), TRUE);
  self->config = gtk_text_view_get_buffer(GTK_TEXT_VIEW(text_view));
  GtkWidget* scroller = gtk_scrolled_window_new(NULL, NULL);
  gtk_widget_set_size_request(scroller, -1, 320);
  gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroller),
                                      GTK_SHADOW_IN);
  gtk_container_add(GTK_CONTAINER(scroller), text_view);
  gtk_box_pack_start(box, scroller, TRUE, TRUE, 0);

  GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_START);
  gtk_box_set_spacing(GTK_BOX(buttons), 8);
  struct {
    const gchar* label;
    void (*clicked)(FlStandinPanel*);
  } actions[] = {
      {"Start", start_clicked_cb},
      {"Stop", stop_clicked_cb},
      {"Check tunnel", check_clicked_cb},
  };
  for (size_t i = 0; i < G_N_ELEMENTS(actions); i++) {
    GtkWidget* button = gtk_button_new_with_label(actions[i].label);
    g_signal_connect_swapped(button, "clicked", G_CALLBACK(actions[i].clicked),
                             self);
    gtk_container_add(GTK_CONTAINER(buttons), button);
  }
  gtk_box_pack_start(box, buttons, FALSE, FALSE, 0);

  self->status_label = new_line_label("Tunnel: unknown");
  self->answer_label = new_line_label("");
  self->native_label = new_line_label("Last native response: -");
  self->error_label = new_line_label("Last Xray error: -");
  gtk_box_pack_start(box, self->status_label, FALSE, FALSE, 0);
  gtk_box_pack_start(box, self->answer_label, FALSE, FALSE, 0);
  gtk_box_pack_start(box, self->native_label, FALSE, FALSE, 0);
  gtk_box_pack_start(box, self->error_label, FALSE, FALSE, 0);
}

static void fl_standin_panel_dispose(GObject* object) {
  FlStandinPanel* self = FL_STANDIN_PANEL(object);
  if (self->cancellable != NULL) {
    g_cancellable_cancel(self->cancellable);
    g_clear_object(&self->cancellable);
  }
  if (self->refresh_source != 0) {
    g_source_remove(self->refresh_source);
    self->refresh_source = 0;
  }
  g_clear_object(&self->control_server);
  fl_standin_ballast_free(self->ballast, self->ballast_mb);
  self->ballast = NULL;
  if (self->messenger != NULL) {
    g_object_remove_weak_pointer(G_OBJECT(self->messenger),
                                 (gpointer*)&self->messenger);
    self->messenger = NULL;
  }
  G_OBJECT_CLASS(fl_standin_panel_parent_class)->dispose(object);
}

static void fl_standin_panel_class_init(FlStandinPanelClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_standin_panel_dispose;
}

static void fl_standin_panel_init(FlStandinPanel* self) {
  self->cancellable = g_cancellable_new();
}

FlStandinPanel* fl_standin_panel_new(FlBinaryMessenger* messenger,
                                     gchar** args) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), NULL);
  FlStandinPanel* self =
      FL_STANDIN_PANEL(g_object_new(fl_standin_panel_get_type(), "orientation",
                                    GTK_ORIENTATION_VERTICAL, NULL));
  self->messenger = messenger;
  g_object_add_weak_pointer(G_OBJECT(messenger), (gpointer*)&self->messenger);
  build(self);
  handle_arguments(self, args);
  // The first round goes out at once; it is delivered after the platform has
  // had its chance to register its channels.
  refresh(self);
  self->refresh_source =
      g_timeout_add_seconds(kRefreshSeconds, refresh_cb, self);
  return self;
}
