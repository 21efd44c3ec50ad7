#include "flutter_linux/fl_message_codec.h"

G_DEFINE_QUARK(fl_message_codec_error_quark, fl_message_codec_error)

G_DEFINE_TYPE(FlMessageCodec, fl_message_codec, G_TYPE_OBJECT)

static void fl_message_codec_class_init(FlMessageCodecClass* klass) {}

static void fl_message_codec_init(FlMessageCodec* self) {}

G_MODULE_EXPORT GBytes* fl_message_codec_encode_message(FlMessageCodec* self,
                                                        FlValue* message,
                                                        GError** error) {
  g_return_val_if_fail(FL_IS_MESSAGE_CODEC(self), NULL);
  FlMessageCodecClass* klass = FL_MESSAGE_CODEC_GET_CLASS(self);
  g_return_val_if_fail(klass->encode_message != NULL, NULL);
  g_autoptr(FlValue) null_value = NULL;
  if (message == NULL) {
    null_value = fl_value_new_null();
    message = null_value;
  }
  return klass->encode_message(self, message, error);
}

G_MODULE_EXPORT FlValue* fl_message_codec_decode_message(FlMessageCodec* self,
                                                         GBytes* message,
                                                         GError** error) {
  g_return_val_if_fail(FL_IS_MESSAGE_CODEC(self), NULL);
  g_return_val_if_fail(message != NULL, NULL);
  // An empty message carries no value at all; callers read it as null.
  if (g_bytes_get_size(message) == 0) {
    return fl_value_new_null();
  }
  FlMessageCodecClass* klass = FL_MESSAGE_CODEC_GET_CLASS(self);
  g_return_val_if_fail(klass->decode_message != NULL, NULL);
  return klass->decode_message(self, message, error);
}
