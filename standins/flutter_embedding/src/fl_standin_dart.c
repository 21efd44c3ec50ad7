// The sending half of a method channel, as Dart code would use it: encode a
// call, send it to the platform handler, decode the answer.

#include "flutter_linux_standin/fl_standin.h"

typedef struct {
  FlMethodCodec* codec;
} InvokeData;

static void invoke_data_free(gpointer data) {
  InvokeData* invoke = data;
  g_clear_object(&invoke->codec);
  g_free(invoke);
}

static gboolean holds_invalid_utf8(FlValue* value) {
  if (value == NULL) {
    return FALSE;
  }
  switch (fl_value_get_type(value)) {
    case FL_VALUE_TYPE_STRING:
      return !g_utf8_validate(fl_value_get_string(value), -1, NULL);
    case FL_VALUE_TYPE_LIST:
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        if (holds_invalid_utf8(fl_value_get_list_value(value, i))) {
          return TRUE;
        }
      }
      return FALSE;
    case FL_VALUE_TYPE_MAP:
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        if (holds_invalid_utf8(fl_value_get_map_key(value, i)) ||
            holds_invalid_utf8(fl_value_get_map_value(value, i))) {
          return TRUE;
        }
      }
      return FALSE;
    default:
      return FALSE;
  }
}

// Dart's decoder throws on a string that is not UTF-8. The platform codec
// here refuses to write one, but an answer sent as raw bytes can still hold
// it: read it as Dart would.
static gboolean check_strict_utf8(FlMethodResponse* response, GError** error) {
  gboolean invalid = FALSE;
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    invalid = holds_invalid_utf8(fl_method_success_response_get_result(
        FL_METHOD_SUCCESS_RESPONSE(response)));
  } else if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* failure = FL_METHOD_ERROR_RESPONSE(response);
    const gchar* message = fl_method_error_response_get_message(failure);
    invalid = !g_utf8_validate(fl_method_error_response_get_code(failure), -1,
                               NULL) ||
              (message != NULL && !g_utf8_validate(message, -1, NULL)) ||
              holds_invalid_utf8(fl_method_error_response_get_details(failure));
  }
  if (invalid) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Answer holds a string that is not valid UTF-8; Dart cannot "
                "decode it");
    return FALSE;
  }
  return TRUE;
}

static void send_cb(GObject* object, GAsyncResult* result, gpointer user_data) {
  g_autoptr(GTask) task = G_TASK(user_data);
  InvokeData* invoke = g_task_get_task_data(task);
  GError* error = NULL;
  g_autoptr(GBytes) reply = fl_binary_messenger_send_on_channel_finish(
      FL_BINARY_MESSENGER(object), result, &error);
  if (reply == NULL) {
    g_task_return_error(task, error);
    return;
  }
  g_autoptr(FlMethodResponse) response =
      fl_method_codec_decode_response(invoke->codec, reply, &error);
  if (response == NULL || !check_strict_utf8(response, &error)) {
    g_task_return_error(task, error);
    return;
  }
  g_task_return_pointer(task, g_steal_pointer(&response), g_object_unref);
}

void fl_standin_invoke_method(FlBinaryMessenger* messenger,
                              const gchar* channel,
                              const gchar* method,
                              FlValue* args,
                              GCancellable* cancellable,
                              GAsyncReadyCallback callback,
                              gpointer user_data) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER(messenger));
  g_return_if_fail(channel != NULL);
  g_return_if_fail(method != NULL);
  g_autoptr(GTask) task = g_task_new(NULL, cancellable, callback, user_data);
  g_task_set_source_tag(task, fl_standin_invoke_method);
  InvokeData* invoke = g_new0(InvokeData, 1);
  invoke->codec = FL_METHOD_CODEC(fl_standard_method_codec_new());
  g_task_set_task_data(task, invoke, invoke_data_free);
  GError* error = NULL;
  g_autoptr(GBytes) message =
      fl_method_codec_encode_method_call(invoke->codec, method, args, &error);
  if (message == NULL) {
    g_task_return_error(task, error);
    return;
  }
  fl_binary_messenger_send_on_channel(messenger, channel, message, cancellable,
                                      send_cb, g_object_ref(task));
}

FlMethodResponse* fl_standin_invoke_method_finish(GAsyncResult* result,
                                                  GError** error) {
  g_return_val_if_fail(g_task_is_valid(result, NULL), NULL);
  return g_task_propagate_pointer(G_TASK(result), error);
}
