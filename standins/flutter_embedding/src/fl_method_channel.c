#include "flutter_linux/fl_method_channel.h"

#include "fl_private.h"
#include "flutter_linux_standin/fl_standin.h"

struct _FlMethodChannel {
  GObject parent_instance;
  // Referenced, as the real channel does. The messenger also holds the
  // channel through its handler; the engine's shutdown removes every handler
  // and so breaks that cycle.
  FlBinaryMessenger* messenger;
  gchar* name;
  FlMethodCodec* codec;
  // Set once the messenger has dropped the channel's registration, so that
  // dispose does not remove a handler that someone else installed since.
  gboolean channel_closed;
  FlMethodChannelMethodCallHandler method_call_handler;
  gpointer method_call_handler_data;
  GDestroyNotify method_call_handler_destroy_notify;
};

G_DEFINE_TYPE(FlMethodChannel, fl_method_channel, G_TYPE_OBJECT)

static void message_cb(FlBinaryMessenger* messenger,
                       const gchar* channel,
                       GBytes* message,
                       FlBinaryMessengerResponseHandle* response_handle,
                       gpointer user_data) {
  FlMethodChannel* self = FL_METHOD_CHANNEL(user_data);
  if (self->method_call_handler == NULL) {
    // Nobody to hand the call to yet; freeing the handle reports it.
    return;
  }
  g_autofree gchar* name = NULL;
  g_autoptr(FlValue) args = NULL;
  g_autoptr(GError) error = NULL;
  if (!fl_method_codec_decode_method_call(self->codec, message, &name, &args,
                                          &error)) {
    // Logged only, as the real embedding does: Dart waits for ever there.
    // Here the handle is freed unanswered, which the messenger counts and
    // reports to the sender.
    g_warning("Failed to decode method call on channel %s: %s", self->name,
              error->message);
    return;
  }
  g_autoptr(FlMethodCall) method_call =
      fl_method_call_new(name, args, self, response_handle);
  self->method_call_handler(self, method_call, self->method_call_handler_data);
}

static void release_method_call_handler(FlMethodChannel* self) {
  GDestroyNotify destroy_notify = self->method_call_handler_destroy_notify;
  gpointer data = self->method_call_handler_data;
  self->method_call_handler = NULL;
  self->method_call_handler_data = NULL;
  self->method_call_handler_destroy_notify = NULL;
  if (destroy_notify != NULL) {
    destroy_notify(data);
  }
}

// The messenger dropped the channel's registration (replaced, removed or
// shut down): no call can arrive any more, so the handler goes at once.
static void channel_closed_cb(gpointer user_data) {
  g_autoptr(FlMethodChannel) self = FL_METHOD_CHANNEL(user_data);
  self->channel_closed = TRUE;
  release_method_call_handler(self);
}

static void fl_method_channel_dispose(GObject* object) {
  FlMethodChannel* self = FL_METHOD_CHANNEL(object);
  // Once closed, the name may belong to another channel: leave it alone.
  if (self->messenger != NULL && !self->channel_closed) {
    fl_binary_messenger_set_message_handler_on_channel(
        self->messenger, self->name, NULL, NULL, NULL);
  }
  g_clear_object(&self->messenger);
  release_method_call_handler(self);
  g_clear_pointer(&self->name, g_free);
  g_clear_object(&self->codec);
  G_OBJECT_CLASS(fl_method_channel_parent_class)->dispose(object);
}

static void fl_method_channel_class_init(FlMethodChannelClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_method_channel_dispose;
}

static void fl_method_channel_init(FlMethodChannel* self) {}

G_MODULE_EXPORT FlMethodChannel* fl_method_channel_new(
    FlBinaryMessenger* messenger,
    const gchar* name,
    FlMethodCodec* codec) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), NULL);
  g_return_val_if_fail(name != NULL, NULL);
  g_return_val_if_fail(FL_IS_METHOD_CODEC(codec), NULL);

  FlMethodChannel* self =
      FL_METHOD_CHANNEL(g_object_new(fl_method_channel_get_type(), NULL));
  self->messenger = FL_BINARY_MESSENGER(g_object_ref(messenger));
  self->name = g_strdup(name);
  self->codec = FL_METHOD_CODEC(g_object_ref(codec));
  fl_binary_messenger_set_message_handler_on_channel(
      messenger, name, message_cb, g_object_ref(self), channel_closed_cb);
  return self;
}

G_MODULE_EXPORT void fl_method_channel_set_method_call_handler(
    FlMethodChannel* self,
    FlMethodChannelMethodCallHandler handler,
    gpointer user_data,
    GDestroyNotify destroy_notify) {
  g_return_if_fail(FL_IS_METHOD_CHANNEL(self));
  if (self->channel_closed) {
    if (handler != NULL) {
      g_warning("Attempted to set a method call handler on closed channel %s",
                self->name);
    }
    if (destroy_notify != NULL) {
      destroy_notify(user_data);
    }
    return;
  }
  release_method_call_handler(self);
  self->method_call_handler = handler;
  self->method_call_handler_data = user_data;
  self->method_call_handler_destroy_notify = destroy_notify;
}

gboolean fl_method_channel_respond(FlMethodChannel* self,
                                   FlBinaryMessengerResponseHandle* handle,
                                   FlMethodResponse* response,
                                   GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CHANNEL(self), FALSE);
  g_return_val_if_fail(FL_IS_METHOD_RESPONSE(response), FALSE);
  g_autoptr(GBytes) message = NULL;
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    message = fl_method_codec_encode_success_envelope(
        self->codec,
        fl_method_success_response_get_result(
            FL_METHOD_SUCCESS_RESPONSE(response)),
        error);
  } else if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* error_response = FL_METHOD_ERROR_RESPONSE(response);
    message = fl_method_codec_encode_error_envelope(
        self->codec, fl_method_error_response_get_code(error_response),
        fl_method_error_response_get_message(error_response),
        fl_method_error_response_get_details(error_response), error);
  } else if (FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response)) {
    // The empty answer.
    return fl_binary_messenger_send_response(self->messenger, handle, NULL,
                                             error);
  } else {
    g_set_error(error, FL_METHOD_RESPONSE_ERROR,
                FL_METHOD_RESPONSE_ERROR_FAILED, "Unknown response type %s",
                G_OBJECT_TYPE_NAME(response));
    return FALSE;
  }
  if (message == NULL) {
    // Most often a string that is not UTF-8. The call stays unanswered, so
    // the caller may still answer it another way.
    if (FL_IS_BINARY_MESSENGER_IMPL(self->messenger)) {
      fl_binary_messenger_impl_count_unencodable(
          FL_BINARY_MESSENGER_IMPL(self->messenger));
    }
    return FALSE;
  }
  return fl_binary_messenger_send_response(self->messenger, handle, message,
                                           error);
}

static void invoke_method_cb(GObject* object,
                             GAsyncResult* result,
                             gpointer user_data) {
  g_autoptr(GTask) task = G_TASK(user_data);
  GError* error = NULL;
  GBytes* reply = fl_binary_messenger_send_on_channel_finish(
      FL_BINARY_MESSENGER(object), result, &error);
  if (reply == NULL) {
    g_task_return_error(task, error);
    return;
  }
  g_task_return_pointer(task, reply, (GDestroyNotify)g_bytes_unref);
}

G_MODULE_EXPORT void fl_method_channel_invoke_method(
    FlMethodChannel* self,
    const gchar* method,
    FlValue* args,
    GCancellable* cancellable,
    GAsyncReadyCallback callback,
    gpointer user_data) {
  g_return_if_fail(FL_IS_METHOD_CHANNEL(self));
  g_return_if_fail(method != NULL);
  g_autoptr(GTask) task = g_task_new(self, cancellable, callback, user_data);
  GError* error = NULL;
  g_autoptr(GBytes) message =
      fl_method_codec_encode_method_call(self->codec, method, args, &error);
  if (message == NULL) {
    g_task_return_error(task, error);
    return;
  }
  fl_binary_messenger_send_on_channel(self->messenger, self->name, message,
                                      cancellable, invoke_method_cb,
                                      g_object_ref(task));
}

G_MODULE_EXPORT FlMethodResponse* fl_method_channel_invoke_method_finish(
    FlMethodChannel* self,
    GAsyncResult* result,
    GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CHANNEL(self), NULL);
  g_return_val_if_fail(g_task_is_valid(result, self), NULL);
  g_autoptr(GBytes) reply = g_task_propagate_pointer(G_TASK(result), error);
  if (reply == NULL) {
    return NULL;
  }
  return fl_method_codec_decode_response(self->codec, reply, error);
}
