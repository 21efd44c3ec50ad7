// The engine's messenger. There is no Dart isolate behind it: a message sent
// with fl_binary_messenger_send_on_channel() is delivered to the handler set
// on the same channel, as a message from Dart would be. That is what the
// stand-in user interface, the control socket and the tests speak through.

#include "fl_private.h"

#include "flutter_linux_standin/fl_standin.h"

typedef struct {
  FlBinaryMessengerMessageHandler handler;
  gpointer user_data;
  GDestroyNotify destroy_notify;
} Handler;

struct _FlBinaryMessengerImpl {
  GObject parent_instance;
  GMainContext* context;  // Messages are delivered here.
  GHashTable* handlers;   // Channel name -> Handler*.
  gboolean shut_down;
  gint double_responses;
  gint unanswered;
  gint unencodable;
};

static void fl_binary_messenger_impl_iface_init(
    FlBinaryMessengerInterface* iface);

G_DEFINE_TYPE_WITH_CODE(
    FlBinaryMessengerImpl,
    fl_binary_messenger_impl,
    G_TYPE_OBJECT,
    G_IMPLEMENT_INTERFACE(fl_binary_messenger_get_type(),
                          fl_binary_messenger_impl_iface_init))

// The handle of one delivered message; the sender's task completes when it is
// answered, or with an error when it is freed unanswered.
G_DECLARE_FINAL_TYPE(FlResponseHandleImpl,
                     fl_response_handle_impl,
                     FL,
                     RESPONSE_HANDLE_IMPL,
                     FlBinaryMessengerResponseHandle)

struct _FlResponseHandleImpl {
  FlBinaryMessengerResponseHandle parent_instance;
  FlBinaryMessengerImpl* messenger;  // Strong.
  GTask* task;                       // The sender's; NULL once completed.
  gchar* channel;
  gint responded;
};

G_DEFINE_TYPE(FlResponseHandleImpl,
              fl_response_handle_impl,
              fl_binary_messenger_response_handle_get_type())

static void handler_free(gpointer data) {
  Handler* handler = data;
  if (handler->destroy_notify != NULL) {
    handler->destroy_notify(handler->user_data);
  }
  g_free(handler);
}

typedef struct {
  GTask* task;
  GBytes* reply;  // NULL: fail the task with |error|.
  GError* error;
} Completion;

static gboolean complete_cb(gpointer data) {
  Completion* completion = data;
  if (completion->reply != NULL) {
    g_task_return_pointer(completion->task, g_steal_pointer(&completion->reply),
                          (GDestroyNotify)g_bytes_unref);
  } else {
    g_task_return_error(completion->task, g_steal_pointer(&completion->error));
  }
  g_object_unref(completion->task);
  g_free(completion);
  return G_SOURCE_REMOVE;
}

// Completes |task| from its own main context in a later iteration, so a
// sender's callback never runs inside the handler that answers it.
static void complete_later(GTask* task, GBytes* reply, GError* error) {
  Completion* completion = g_new0(Completion, 1);
  completion->task = task;
  completion->reply = reply;
  completion->error = error;
  GSource* source = g_idle_source_new();
  g_source_set_callback(source, complete_cb, completion, NULL);
  g_source_set_name(source, "[flutter] message reply");
  g_source_attach(source, g_task_get_context(task));
  g_source_unref(source);
}

static void fl_response_handle_impl_dispose(GObject* object) {
  FlResponseHandleImpl* self = FL_RESPONSE_HANDLE_IMPL(object);
  if (self->task != NULL) {
    g_atomic_int_inc(&self->messenger->unanswered);
    g_warning(
        "FlBinaryMessengerResponseHandle on channel \"%s\" was not "
        "responded to",
        self->channel);
    complete_later(g_steal_pointer(&self->task), NULL,
                   g_error_new(G_IO_ERROR, G_IO_ERROR_BROKEN_PIPE,
                               "Message on channel \"%s\" was not responded to",
                               self->channel));
  }
  g_clear_object(&self->messenger);
  g_clear_pointer(&self->channel, g_free);
  G_OBJECT_CLASS(fl_response_handle_impl_parent_class)->dispose(object);
}

static void fl_response_handle_impl_class_init(
    FlResponseHandleImplClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_response_handle_impl_dispose;
}

static void fl_response_handle_impl_init(FlResponseHandleImpl* self) {}

typedef struct {
  FlBinaryMessengerImpl* messenger;
  gchar* channel;
  GBytes* message;
  GTask* task;
} Delivery;

static void delivery_free(gpointer data) {
  Delivery* delivery = data;
  g_object_unref(delivery->messenger);
  g_free(delivery->channel);
  g_bytes_unref(delivery->message);
  g_clear_object(&delivery->task);
  g_free(delivery);
}

static gboolean deliver_cb(gpointer data) {
  Delivery* delivery = data;
  FlBinaryMessengerImpl* self = delivery->messenger;
  Handler* handler =
      self->shut_down ? NULL
                      : g_hash_table_lookup(self->handlers, delivery->channel);
  if (handler == NULL) {
    // Nobody listens: an empty reply, which Dart reads as a missing plug-in.
    complete_later(g_steal_pointer(&delivery->task), g_bytes_new(NULL, 0),
                   NULL);
    return G_SOURCE_REMOVE;
  }
  FlResponseHandleImpl* handle = FL_RESPONSE_HANDLE_IMPL(
      g_object_new(fl_response_handle_impl_get_type(), NULL));
  handle->messenger = FL_BINARY_MESSENGER_IMPL(g_object_ref(self));
  handle->task = g_steal_pointer(&delivery->task);
  handle->channel = g_strdup(delivery->channel);
  handler->handler(
      FL_BINARY_MESSENGER(self), delivery->channel, delivery->message,
      FL_BINARY_MESSENGER_RESPONSE_HANDLE(handle), handler->user_data);
  g_object_unref(handle);
  return G_SOURCE_REMOVE;
}

static void set_message_handler_on_channel(FlBinaryMessenger* messenger,
                                           const gchar* channel,
                                           FlBinaryMessengerMessageHandler fn,
                                           gpointer user_data,
                                           GDestroyNotify destroy_notify) {
  FlBinaryMessengerImpl* self = FL_BINARY_MESSENGER_IMPL(messenger);
  // Take the old handler out first: its destroy notify may call back into
  // the messenger.
  gpointer old_key = NULL;
  gpointer old_handler = NULL;
  gboolean had_old = g_hash_table_steal_extended(self->handlers, channel,
                                                 &old_key, &old_handler);
  if (fn != NULL && !self->shut_down) {
    Handler* handler = g_new0(Handler, 1);
    handler->handler = fn;
    handler->user_data = user_data;
    handler->destroy_notify = destroy_notify;
    g_hash_table_insert(self->handlers, g_strdup(channel), handler);
  } else if (fn != NULL && destroy_notify != NULL) {
    destroy_notify(user_data);
  }
  if (had_old) {
    g_free(old_key);
    handler_free(old_handler);
  }
}

static gboolean send_response(FlBinaryMessenger* messenger,
                              FlBinaryMessengerResponseHandle* response_handle,
                              GBytes* response,
                              GError** error) {
  FlBinaryMessengerImpl* self = FL_BINARY_MESSENGER_IMPL(messenger);
  g_return_val_if_fail(FL_IS_RESPONSE_HANDLE_IMPL(response_handle), FALSE);
  FlResponseHandleImpl* handle = FL_RESPONSE_HANDLE_IMPL(response_handle);
  g_return_val_if_fail(handle->messenger == self, FALSE);
  if (!g_atomic_int_compare_and_exchange(&handle->responded, 0, 1)) {
    g_atomic_int_inc(&self->double_responses);
    g_set_error(error, FL_BINARY_MESSENGER_ERROR,
                FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED,
                "Attempted to respond to a message that is already responded "
                "to");
    return FALSE;
  }
  GTask* task = g_steal_pointer(&handle->task);
  complete_later(
      task, response != NULL ? g_bytes_ref(response) : g_bytes_new(NULL, 0),
      NULL);
  return TRUE;
}

static void send_on_channel(FlBinaryMessenger* messenger,
                            const gchar* channel,
                            GBytes* message,
                            GCancellable* cancellable,
                            GAsyncReadyCallback callback,
                            gpointer user_data) {
  FlBinaryMessengerImpl* self = FL_BINARY_MESSENGER_IMPL(messenger);
  Delivery* delivery = g_new0(Delivery, 1);
  delivery->messenger = FL_BINARY_MESSENGER_IMPL(g_object_ref(self));
  delivery->channel = g_strdup(channel);
  delivery->message =
      message != NULL ? g_bytes_ref(message) : g_bytes_new(NULL, 0);
  delivery->task = g_task_new(self, cancellable, callback, user_data);
  g_task_set_source_tag(delivery->task, send_on_channel);
  GSource* source = g_idle_source_new();
  g_source_set_callback(source, deliver_cb, delivery, delivery_free);
  g_source_set_name(source, "[flutter] message delivery");
  g_source_attach(source, self->context);
  g_source_unref(source);
}

static GBytes* send_on_channel_finish(FlBinaryMessenger* messenger,
                                      GAsyncResult* result,
                                      GError** error) {
  g_return_val_if_fail(g_task_is_valid(result, messenger), NULL);
  return g_task_propagate_pointer(G_TASK(result), error);
}

static void messenger_shutdown(FlBinaryMessenger* messenger) {
  FlBinaryMessengerImpl* self = FL_BINARY_MESSENGER_IMPL(messenger);
  self->shut_down = TRUE;
  g_hash_table_remove_all(self->handlers);
}

static void fl_binary_messenger_impl_iface_init(
    FlBinaryMessengerInterface* iface) {
  iface->set_message_handler_on_channel = set_message_handler_on_channel;
  iface->send_response = send_response;
  iface->send_on_channel = send_on_channel;
  iface->send_on_channel_finish = send_on_channel_finish;
  iface->shutdown = messenger_shutdown;
}

static void fl_binary_messenger_impl_dispose(GObject* object) {
  FlBinaryMessengerImpl* self = FL_BINARY_MESSENGER_IMPL(object);
  g_clear_pointer(&self->handlers, g_hash_table_unref);
  g_clear_pointer(&self->context, g_main_context_unref);
  G_OBJECT_CLASS(fl_binary_messenger_impl_parent_class)->dispose(object);
}

static void fl_binary_messenger_impl_class_init(
    FlBinaryMessengerImplClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_binary_messenger_impl_dispose;
}

static void fl_binary_messenger_impl_init(FlBinaryMessengerImpl* self) {
  self->handlers =
      g_hash_table_new_full(g_str_hash, g_str_equal, g_free, handler_free);
  self->context = g_main_context_ref_thread_default();
}

FlBinaryMessengerImpl* fl_binary_messenger_impl_new(void) {
  return FL_BINARY_MESSENGER_IMPL(
      g_object_new(fl_binary_messenger_impl_get_type(), NULL));
}

guint fl_standin_messenger_get_double_response_count(
    FlBinaryMessenger* messenger) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER_IMPL(messenger), 0);
  return (guint)g_atomic_int_get(
      &FL_BINARY_MESSENGER_IMPL(messenger)->double_responses);
}

guint fl_standin_messenger_get_unanswered_count(FlBinaryMessenger* messenger) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER_IMPL(messenger), 0);
  return (guint)g_atomic_int_get(
      &FL_BINARY_MESSENGER_IMPL(messenger)->unanswered);
}

void fl_binary_messenger_impl_count_unencodable(FlBinaryMessengerImpl* self) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER_IMPL(self));
  g_atomic_int_inc(&self->unencodable);
}

guint fl_standin_messenger_get_unencodable_count(FlBinaryMessenger* messenger) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER_IMPL(messenger), 0);
  return (guint)g_atomic_int_get(
      &FL_BINARY_MESSENGER_IMPL(messenger)->unencodable);
}
