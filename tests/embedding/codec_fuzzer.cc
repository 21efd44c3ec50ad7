// libFuzzer target for the decoders that read what the other side of a
// channel sends: values, method calls and method answers. Whatever decodes
// must encode again, and that encoding must decode to the same bytes, unless
// it holds a string that is not UTF-8: the decoder takes any bytes, as the
// real one does, but the encoder refuses what Dart could not read.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "test_util.h"

namespace {

FlStandardMessageCodec* MessageCodec() {
  static FlStandardMessageCodec* codec = fl_standard_message_codec_new();
  return codec;
}

FlMethodCodec* MethodCodec() {
  static FlStandardMethodCodec* codec = fl_standard_method_codec_new();
  return FL_METHOD_CODEC(codec);
}

bool HoldsInvalidUtf8(FlValue* value) {
  switch (fl_value_get_type(value)) {
    case FL_VALUE_TYPE_STRING:
      return !g_utf8_validate(fl_value_get_string(value), -1, nullptr);
    case FL_VALUE_TYPE_LIST:
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        if (HoldsInvalidUtf8(fl_value_get_list_value(value, i))) {
          return true;
        }
      }
      return false;
    case FL_VALUE_TYPE_MAP:
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        if (HoldsInvalidUtf8(fl_value_get_map_key(value, i)) ||
            HoldsInvalidUtf8(fl_value_get_map_value(value, i))) {
          return true;
        }
      }
      return false;
    default:
      return false;
  }
}

void CheckReencoding(FlValue* value) {
  FlMessageCodec* codec = FL_MESSAGE_CODEC(MessageCodec());
  g_autoptr(GBytes) once =
      fl_message_codec_encode_message(codec, value, nullptr);
  if ((once == nullptr) != HoldsInvalidUtf8(value)) {
    __builtin_trap();
  }
  if (once == nullptr) {
    return;
  }
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlValue) back =
      fl_message_codec_decode_message(codec, once, &error);
  if (back == nullptr) {
    __builtin_trap();
  }
  g_autoptr(GBytes) twice =
      fl_message_codec_encode_message(codec, back, nullptr);
  if (twice == nullptr || !g_bytes_equal(once, twice)) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that reading one byte too far is caught.
  auto* copy = static_cast<uint8_t*>(g_malloc(size > 0 ? size : 1));
  if (size > 0) {
    memcpy(copy, data, size);
  }
  g_autoptr(GBytes) message = g_bytes_new_take(copy, size);

  g_autoptr(FlValue) value = fl_message_codec_decode_message(
      FL_MESSAGE_CODEC(MessageCodec()), message, nullptr);
  if (value != nullptr) {
    CheckReencoding(value);
  }

  g_autofree gchar* name = nullptr;
  g_autoptr(FlValue) args = nullptr;
  if (fl_method_codec_decode_method_call(MethodCodec(), message, &name, &args,
                                         nullptr)) {
    CheckReencoding(args);
  }

  g_autoptr(FlMethodResponse) response =
      fl_method_codec_decode_response(MethodCodec(), message, nullptr);
  if (response != nullptr && FL_IS_METHOD_ERROR_RESPONSE(response) &&
      fl_method_error_response_get_code(FL_METHOD_ERROR_RESPONSE(response)) ==
          nullptr) {
    __builtin_trap();
  }
  return 0;
}
