#include "flutter_linux/fl_standard_method_codec.h"

#include "flutter_linux_standin/fl_standin.h"

// First byte of an answer.
enum { kEnvelopeSuccess = 0, kEnvelopeError = 1 };

struct _FlStandardMethodCodec {
  FlMethodCodec parent_instance;
  FlStandardMessageCodec* codec;
};

G_DEFINE_TYPE(FlStandardMethodCodec,
              fl_standard_method_codec,
              fl_method_codec_get_type())

static void fl_standard_method_codec_dispose(GObject* object) {
  FlStandardMethodCodec* self = FL_STANDARD_METHOD_CODEC(object);
  g_clear_object(&self->codec);
  G_OBJECT_CLASS(fl_standard_method_codec_parent_class)->dispose(object);
}

static GBytes* encode_method_call(FlMethodCodec* codec,
                                  const gchar* name,
                                  FlValue* args,
                                  GError** error) {
  FlStandardMethodCodec* self = FL_STANDARD_METHOD_CODEC(codec);
  g_autoptr(GByteArray) buffer = g_byte_array_new();
  g_autoptr(FlValue) name_value = fl_value_new_string(name);
  if (!fl_standard_message_codec_write_value(self->codec, buffer, name_value,
                                             error) ||
      !fl_standard_message_codec_write_value(self->codec, buffer, args,
                                             error)) {
    return NULL;
  }
  return g_byte_array_free_to_bytes((GByteArray*)g_steal_pointer(&buffer));
}

// Bytes after a whole call or answer. The real codec calls this a plain
// failure, unlike leftovers after a lone value (ADDITIONAL_DATA), and so do
// we: callers that tell the codes apart see the same thing with either.
static gboolean check_end(GBytes* message, size_t offset, GError** error) {
  if (offset != g_bytes_get_size(message)) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Unexpected extra data");
    return FALSE;
  }
  return TRUE;
}

static gboolean decode_method_call(FlMethodCodec* codec,
                                   GBytes* message,
                                   gchar** name,
                                   FlValue** args,
                                   GError** error) {
  FlStandardMethodCodec* self = FL_STANDARD_METHOD_CODEC(codec);
  size_t offset = 0;
  g_autoptr(FlValue) name_value = fl_standard_message_codec_read_value(
      self->codec, message, &offset, error);
  if (name_value == NULL) {
    return FALSE;
  }
  if (fl_value_get_type(name_value) != FL_VALUE_TYPE_STRING) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Method call name is not a string");
    return FALSE;
  }
  g_autoptr(FlValue) args_value = fl_standard_message_codec_read_value(
      self->codec, message, &offset, error);
  if (args_value == NULL || !check_end(message, offset, error)) {
    return FALSE;
  }
  *name = g_strdup(fl_value_get_string(name_value));
  *args = (FlValue*)g_steal_pointer(&args_value);
  return TRUE;
}

static GBytes* encode_success_envelope(FlMethodCodec* codec,
                                       FlValue* result,
                                       GError** error) {
  FlStandardMethodCodec* self = FL_STANDARD_METHOD_CODEC(codec);
  g_autoptr(GByteArray) buffer = g_byte_array_new();
  guint8 envelope = kEnvelopeSuccess;
  g_byte_array_append(buffer, &envelope, 1);
  if (!fl_standard_message_codec_write_value(self->codec, buffer, result,
                                             error)) {
    return NULL;
  }
  return g_byte_array_free_to_bytes((GByteArray*)g_steal_pointer(&buffer));
}

static GBytes* encode_error_envelope(FlMethodCodec* codec,
                                     const gchar* code,
                                     const gchar* message,
                                     FlValue* details,
                                     GError** error) {
  FlStandardMethodCodec* self = FL_STANDARD_METHOD_CODEC(codec);
  g_autoptr(GByteArray) buffer = g_byte_array_new();
  guint8 envelope = kEnvelopeError;
  g_byte_array_append(buffer, &envelope, 1);
  g_autoptr(FlValue) code_value = fl_value_new_string(code);
  g_autoptr(FlValue) message_value =
      message != NULL ? fl_value_new_string(message) : NULL;
  if (!fl_standard_message_codec_write_value(self->codec, buffer, code_value,
                                             error) ||
      !fl_standard_message_codec_write_value(self->codec, buffer, message_value,
                                             error) ||
      !fl_standard_message_codec_write_value(self->codec, buffer, details,
                                             error)) {
    return NULL;
  }
  return g_byte_array_free_to_bytes((GByteArray*)g_steal_pointer(&buffer));
}

static FlMethodResponse* decode_response(FlMethodCodec* codec,
                                         GBytes* message,
                                         GError** error) {
  FlStandardMethodCodec* self = FL_STANDARD_METHOD_CODEC(codec);
  // fl_method_codec_decode_response() reads an empty answer as
  // not-implemented before it gets here; a subclass or a direct call of the
  // class function need not.
  if (g_bytes_get_size(message) == 0) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR,
                FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA, "Empty response");
    return NULL;
  }
  const guint8* data = g_bytes_get_data(message, NULL);
  size_t offset = 1;
  if (data[0] == kEnvelopeSuccess) {
    g_autoptr(FlValue) result = fl_standard_message_codec_read_value(
        self->codec, message, &offset, error);
    if (result == NULL || !check_end(message, offset, error)) {
      return NULL;
    }
    return FL_METHOD_RESPONSE(fl_method_success_response_new(result));
  }
  if (data[0] != kEnvelopeError) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Invalid response envelope %d", data[0]);
    return NULL;
  }
  g_autoptr(FlValue) code = fl_standard_message_codec_read_value(
      self->codec, message, &offset, error);
  if (code == NULL) {
    return NULL;
  }
  if (fl_value_get_type(code) != FL_VALUE_TYPE_STRING) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Error code is not a string");
    return NULL;
  }
  g_autoptr(FlValue) text = fl_standard_message_codec_read_value(
      self->codec, message, &offset, error);
  if (text == NULL) {
    return NULL;
  }
  if (fl_value_get_type(text) != FL_VALUE_TYPE_STRING &&
      fl_value_get_type(text) != FL_VALUE_TYPE_NULL) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Error message is neither a string nor null");
    return NULL;
  }
  g_autoptr(FlValue) details = fl_standard_message_codec_read_value(
      self->codec, message, &offset, error);
  if (details == NULL || !check_end(message, offset, error)) {
    return NULL;
  }
  return FL_METHOD_RESPONSE(fl_method_error_response_new(
      fl_value_get_string(code),
      fl_value_get_type(text) == FL_VALUE_TYPE_STRING
          ? fl_value_get_string(text)
          : NULL,
      fl_value_get_type(details) == FL_VALUE_TYPE_NULL ? NULL : details));
}

static void fl_standard_method_codec_class_init(
    FlStandardMethodCodecClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_standard_method_codec_dispose;
  FlMethodCodecClass* codec_class = FL_METHOD_CODEC_CLASS(klass);
  codec_class->encode_method_call = encode_method_call;
  codec_class->decode_method_call = decode_method_call;
  codec_class->encode_success_envelope = encode_success_envelope;
  codec_class->encode_error_envelope = encode_error_envelope;
  codec_class->decode_response = decode_response;
}

static void fl_standard_method_codec_init(FlStandardMethodCodec* self) {}

G_MODULE_EXPORT FlStandardMethodCodec* fl_standard_method_codec_new() {
  g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
  return fl_standard_method_codec_new_with_message_codec(codec);
}

G_MODULE_EXPORT FlStandardMethodCodec*
fl_standard_method_codec_new_with_message_codec(
    FlStandardMessageCodec* message_codec) {
  g_return_val_if_fail(FL_IS_STANDARD_MESSAGE_CODEC(message_codec), NULL);
  FlStandardMethodCodec* self = FL_STANDARD_METHOD_CODEC(
      g_object_new(fl_standard_method_codec_get_type(), NULL));
  self->codec = FL_STANDARD_MESSAGE_CODEC(g_object_ref(message_codec));
  return self;
}
