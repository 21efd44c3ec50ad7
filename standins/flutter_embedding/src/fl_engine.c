#include "flutter_linux/fl_engine.h"

#include "fl_private.h"

struct _FlEngine {
  GObject parent_instance;
  FlDartProject* project;
  FlBinaryMessengerImpl* messenger;
};

G_DEFINE_TYPE(FlEngine, fl_engine, G_TYPE_OBJECT)

static void fl_engine_dispose(GObject* object) {
  FlEngine* self = FL_ENGINE(object);
  if (self->messenger != NULL) {
    // Drop every channel now: messages still queued get an empty reply
    // rather than reaching handlers of an engine that is gone.
    FL_BINARY_MESSENGER_GET_IFACE(self->messenger)
        ->shutdown(FL_BINARY_MESSENGER(self->messenger));
    g_clear_object(&self->messenger);
  }
  g_clear_object(&self->project);
  G_OBJECT_CLASS(fl_engine_parent_class)->dispose(object);
}

static void fl_engine_class_init(FlEngineClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_engine_dispose;
}

static void fl_engine_init(FlEngine* self) {
  self->messenger = fl_binary_messenger_impl_new();
}

G_MODULE_EXPORT FlEngine* fl_engine_new(FlDartProject* project) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(project), NULL);
  FlEngine* self = FL_ENGINE(g_object_new(fl_engine_get_type(), NULL));
  self->project = FL_DART_PROJECT(g_object_ref(project));
  return self;
}

G_MODULE_EXPORT FlEngine* fl_engine_new_headless(FlDartProject* project) {
  return fl_engine_new(project);
}

G_MODULE_EXPORT FlBinaryMessenger* fl_engine_get_binary_messenger(
    FlEngine* self) {
  g_return_val_if_fail(FL_IS_ENGINE(self), NULL);
  return FL_BINARY_MESSENGER(self->messenger);
}
