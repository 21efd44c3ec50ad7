#include "fl_private.h"

G_DECLARE_FINAL_TYPE(FlPluginRegistrarImpl,
                     fl_plugin_registrar_impl,
                     FL,
                     PLUGIN_REGISTRAR_IMPL,
                     GObject)

struct _FlPluginRegistrarImpl {
  GObject parent_instance;
  FlView* view;  // Weak: plug-ins may outlive the view.
  FlBinaryMessenger* messenger;
};

static void fl_plugin_registrar_impl_iface_init(
    FlPluginRegistrarInterface* iface);

G_DEFINE_TYPE_WITH_CODE(
    FlPluginRegistrarImpl,
    fl_plugin_registrar_impl,
    G_TYPE_OBJECT,
    G_IMPLEMENT_INTERFACE(fl_plugin_registrar_get_type(),
                          fl_plugin_registrar_impl_iface_init))

static FlBinaryMessenger* get_messenger(FlPluginRegistrar* registrar) {
  return FL_PLUGIN_REGISTRAR_IMPL(registrar)->messenger;
}

static FlTextureRegistrar* get_texture_registrar(FlPluginRegistrar* registrar) {
  return NULL;
}

static FlView* get_view(FlPluginRegistrar* registrar) {
  return FL_PLUGIN_REGISTRAR_IMPL(registrar)->view;
}

static void fl_plugin_registrar_impl_iface_init(
    FlPluginRegistrarInterface* iface) {
  iface->get_messenger = get_messenger;
  iface->get_texture_registrar = get_texture_registrar;
  iface->get_view = get_view;
}

static void fl_plugin_registrar_impl_dispose(GObject* object) {
  FlPluginRegistrarImpl* self = FL_PLUGIN_REGISTRAR_IMPL(object);
  if (self->view != NULL) {
    g_object_remove_weak_pointer(G_OBJECT(self->view), (gpointer*)&self->view);
    self->view = NULL;
  }
  g_clear_object(&self->messenger);
  G_OBJECT_CLASS(fl_plugin_registrar_impl_parent_class)->dispose(object);
}

static void fl_plugin_registrar_impl_class_init(
    FlPluginRegistrarImplClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_plugin_registrar_impl_dispose;
}

static void fl_plugin_registrar_impl_init(FlPluginRegistrarImpl* self) {}

FlPluginRegistrar* fl_plugin_registrar_new(FlView* view,
                                           FlBinaryMessenger* messenger) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), NULL);
  FlPluginRegistrarImpl* self = FL_PLUGIN_REGISTRAR_IMPL(
      g_object_new(fl_plugin_registrar_impl_get_type(), NULL));
  if (view != NULL) {
    self->view = view;
    g_object_add_weak_pointer(G_OBJECT(view), (gpointer*)&self->view);
  }
  self->messenger = FL_BINARY_MESSENGER(g_object_ref(messenger));
  return FL_PLUGIN_REGISTRAR(self);
}
