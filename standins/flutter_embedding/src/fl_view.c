#include "flutter_linux/fl_view.h"

#include "fl_private.h"
#include "fl_standin_panel.h"

struct _FlView {
  GtkBox parent_instance;
  FlDartProject* project;
  FlEngine* engine;
  GdkRGBA background_color;
};

static void fl_view_plugin_registry_iface_init(
    FlPluginRegistryInterface* iface);

G_DEFINE_TYPE_WITH_CODE(
    FlView,
    fl_view,
    GTK_TYPE_BOX,
    G_IMPLEMENT_INTERFACE(fl_plugin_registry_get_type(),
                          fl_view_plugin_registry_iface_init))

static FlPluginRegistrar* get_registrar_for_plugin(FlPluginRegistry* registry,
                                                   const gchar* name) {
  FlView* self = FL_VIEW(registry);
  (void)name;
  return fl_plugin_registrar_new(self,
                                 fl_engine_get_binary_messenger(self->engine));
}

static void fl_view_plugin_registry_iface_init(
    FlPluginRegistryInterface* iface) {
  iface->get_registrar_for_plugin = get_registrar_for_plugin;
}

// Paints the background colour under the application, as the real view
// clears its surface before the first frame.
static gboolean fl_view_draw(GtkWidget* widget, cairo_t* cr) {
  FlView* self = FL_VIEW(widget);
  gdk_cairo_set_source_rgba(cr, &self->background_color);
  cairo_paint(cr);
  return GTK_WIDGET_CLASS(fl_view_parent_class)->draw(widget, cr);
}

static void fl_view_dispose(GObject* object) {
  FlView* self = FL_VIEW(object);
  g_clear_object(&self->engine);
  g_clear_object(&self->project);
  G_OBJECT_CLASS(fl_view_parent_class)->dispose(object);
}

static void fl_view_class_init(FlViewClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_view_dispose;
  GTK_WIDGET_CLASS(klass)->draw = fl_view_draw;
}

static void fl_view_init(FlView* self) {
  gtk_widget_set_app_paintable(GTK_WIDGET(self), TRUE);
  gtk_widget_set_can_focus(GTK_WIDGET(self), TRUE);
  gdk_rgba_parse(&self->background_color, "#000000");
}

G_MODULE_EXPORT FlView* fl_view_new(FlDartProject* project) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(project), NULL);
  FlView* self = FL_VIEW(g_object_new(fl_view_get_type(), "orientation",
                                      GTK_ORIENTATION_VERTICAL, NULL));
  self->project = FL_DART_PROJECT(g_object_ref(project));
  self->engine = fl_engine_new(project);

  // Starting the engine runs the "Dart" side: the control panel, which gets
  // the entry point arguments as a Dart main() would.
  gchar** args = fl_dart_project_get_dart_entrypoint_arguments(project);
  FlStandinPanel* panel =
      fl_standin_panel_new(fl_engine_get_binary_messenger(self->engine), args);
  gtk_widget_set_halign(GTK_WIDGET(panel), GTK_ALIGN_CENTER);
  gtk_widget_set_valign(GTK_WIDGET(panel), GTK_ALIGN_START);
  gtk_widget_set_margin_top(GTK_WIDGET(panel), 24);
  gtk_box_pack_start(GTK_BOX(self), GTK_WIDGET(panel), TRUE, TRUE, 0);
  gtk_widget_show_all(GTK_WIDGET(panel));
  return self;
}

G_MODULE_EXPORT FlEngine* fl_view_get_engine(FlView* self) {
  g_return_val_if_fail(FL_IS_VIEW(self), NULL);
  return self->engine;
}

G_MODULE_EXPORT void fl_view_set_background_color(FlView* self,
                                                  const GdkRGBA* color) {
  g_return_if_fail(FL_IS_VIEW(self));
  g_return_if_fail(color != NULL);
  self->background_color = *color;
  gtk_widget_queue_draw(GTK_WIDGET(self));
}
