#include "flutter_linux/fl_standard_message_codec.h"

#include <string.h>

// Type bytes on the wire.
enum {
  kTypeNull = 0,
  kTypeTrue = 1,
  kTypeFalse = 2,
  kTypeInt32 = 3,
  kTypeInt64 = 4,
  kTypeFloat64 = 6,
  kTypeString = 7,
  kTypeUint8List = 8,
  kTypeInt32List = 9,
  kTypeInt64List = 10,
  kTypeFloat64List = 11,
  kTypeList = 12,
  kTypeMap = 13,
  kTypeFloat32List = 14,
};

// Sizes below this fit in one byte; the byte values 254 and 255 announce a
// 16-bit and a 32-bit size.
enum { kSize16 = 254, kSize32 = 255 };

// Containers nested deeper than this are refused when reading, so that a
// hostile message cannot exhaust the stack.
enum { kMaxDepth = 512 };

G_DEFINE_TYPE(FlStandardMessageCodec,
              fl_standard_message_codec,
              fl_message_codec_get_type())

static void write_uint8(GByteArray* buffer, uint8_t value) {
  g_byte_array_append(buffer, &value, 1);
}

static void write_uint16(GByteArray* buffer, uint16_t value) {
  g_byte_array_append(buffer, (const guint8*)&value, sizeof(value));
}

static void write_uint32(GByteArray* buffer, uint32_t value) {
  g_byte_array_append(buffer, (const guint8*)&value, sizeof(value));
}

static void write_int32(GByteArray* buffer, int32_t value) {
  g_byte_array_append(buffer, (const guint8*)&value, sizeof(value));
}

static void write_int64(GByteArray* buffer, int64_t value) {
  g_byte_array_append(buffer, (const guint8*)&value, sizeof(value));
}

static void write_float64(GByteArray* buffer, double value) {
  g_byte_array_append(buffer, (const guint8*)&value, sizeof(value));
}

// Zero bytes up to a multiple of |align| counted from the start of the whole
// message.
static void write_align(GByteArray* buffer, guint align) {
  while (buffer->len % align != 0) {
    write_uint8(buffer, 0);
  }
}

static gboolean check_remaining(GBytes* buffer,
                                size_t offset,
                                size_t wanted,
                                GError** error) {
  size_t size = g_bytes_get_size(buffer);
  if (offset > size || size - offset < wanted) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR,
                FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA,
                "Unexpected end of data: %zu bytes wanted at offset %zu of %zu",
                wanted, offset, size);
    return FALSE;
  }
  return TRUE;
}

static const uint8_t* data_at(GBytes* buffer, size_t offset) {
  return (const uint8_t*)g_bytes_get_data(buffer, NULL) + offset;
}

// Reads |length| bytes into |out| after checking they are there.
static gboolean read_raw(GBytes* buffer,
                         size_t* offset,
                         void* out,
                         size_t length,
                         GError** error) {
  if (!check_remaining(buffer, *offset, length, error)) {
    return FALSE;
  }
  memcpy(out, data_at(buffer, *offset), length);
  *offset += length;
  return TRUE;
}

static gboolean read_align(GBytes* buffer,
                           size_t* offset,
                           size_t align,
                           GError** error) {
  size_t skip = (align - (*offset % align)) % align;
  if (!check_remaining(buffer, *offset, skip, error)) {
    return FALSE;
  }
  *offset += skip;
  return TRUE;
}

G_MODULE_EXPORT void fl_standard_message_codec_write_size(
    FlStandardMessageCodec* codec,
    GByteArray* buffer,
    uint32_t size) {
  if (size < kSize16) {
    write_uint8(buffer, (uint8_t)size);
  } else if (size <= 0xffff) {
    write_uint8(buffer, kSize16);
    write_uint16(buffer, (uint16_t)size);
  } else {
    write_uint8(buffer, kSize32);
    write_uint32(buffer, size);
  }
}

G_MODULE_EXPORT gboolean
fl_standard_message_codec_read_size(FlStandardMessageCodec* codec,
                                    GBytes* buffer,
                                    size_t* offset,
                                    uint32_t* value,
                                    GError** error) {
  uint8_t first = 0;
  if (!read_raw(buffer, offset, &first, 1, error)) {
    return FALSE;
  }
  if (first < kSize16) {
    *value = first;
  } else if (first == kSize16) {
    uint16_t size16 = 0;
    if (!read_raw(buffer, offset, &size16, sizeof(size16), error)) {
      return FALSE;
    }
    *value = size16;
  } else {
    uint32_t size32 = 0;
    if (!read_raw(buffer, offset, &size32, sizeof(size32), error)) {
      return FALSE;
    }
    *value = size32;
  }
  return TRUE;
}

static gboolean write_length(FlStandardMessageCodec* self,
                             GByteArray* buffer,
                             size_t length,
                             GError** error) {
  if (length > G_MAXUINT32) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Value of %zu elements is too long to encode", length);
    return FALSE;
  }
  fl_standard_message_codec_write_size(self, buffer, (uint32_t)length);
  return TRUE;
}

static gboolean write_typed_list(FlStandardMessageCodec* self,
                                 GByteArray* buffer,
                                 uint8_t type,
                                 guint align,
                                 const void* data,
                                 size_t length,
                                 size_t element_size,
                                 GError** error) {
  write_uint8(buffer, type);
  if (!write_length(self, buffer, length, error)) {
    return FALSE;
  }
  write_align(buffer, align);
  if (length > 0) {
    g_byte_array_append(buffer, data, (guint)(length * element_size));
  }
  return TRUE;
}

static gboolean standard_write_value(FlStandardMessageCodec* self,
                                     GByteArray* buffer,
                                     FlValue* value,
                                     GError** error) {
  if (value == NULL) {
    write_uint8(buffer, kTypeNull);
    return TRUE;
  }
  switch (fl_value_get_type(value)) {
    case FL_VALUE_TYPE_NULL:
      write_uint8(buffer, kTypeNull);
      return TRUE;
    case FL_VALUE_TYPE_BOOL:
      write_uint8(buffer, fl_value_get_bool(value) ? kTypeTrue : kTypeFalse);
      return TRUE;
    case FL_VALUE_TYPE_INT: {
      int64_t number = fl_value_get_int(value);
      if (number >= G_MININT32 && number <= G_MAXINT32) {
        write_uint8(buffer, kTypeInt32);
        write_int32(buffer, (int32_t)number);
      } else {
        write_uint8(buffer, kTypeInt64);
        write_int64(buffer, number);
      }
      return TRUE;
    }
    case FL_VALUE_TYPE_FLOAT:
      write_uint8(buffer, kTypeFloat64);
      write_align(buffer, 8);
      write_float64(buffer, fl_value_get_float(value));
      return TRUE;
    case FL_VALUE_TYPE_STRING: {
      const gchar* text = fl_value_get_string(value);
      size_t length = strlen(text);
      // The real embedding sends these bytes as they are and Dart's strict
      // decoder throws on them, so the answer never arrives as such. Refusing
      // here makes the same fault fail where it is made.
      const gchar* end = NULL;
      if (!g_utf8_validate_len(text, length, &end)) {
        g_set_error(error, FL_MESSAGE_CODEC_ERROR,
                    FL_MESSAGE_CODEC_ERROR_FAILED,
                    "String is not valid UTF-8 (bad byte 0x%02x at offset %zu "
                    "of %zu); Dart cannot decode it",
                    (guint)(guchar)*end, (size_t)(end - text), length);
        return FALSE;
      }
      write_uint8(buffer, kTypeString);
      if (!write_length(self, buffer, length, error)) {
        return FALSE;
      }
      g_byte_array_append(buffer, (const guint8*)text, (guint)length);
      return TRUE;
    }
    case FL_VALUE_TYPE_UINT8_LIST:
      return write_typed_list(self, buffer, kTypeUint8List, 1,
                              fl_value_get_uint8_list(value),
                              fl_value_get_length(value), 1, error);
    case FL_VALUE_TYPE_INT32_LIST:
      return write_typed_list(self, buffer, kTypeInt32List, 4,
                              fl_value_get_int32_list(value),
                              fl_value_get_length(value), 4, error);
    case FL_VALUE_TYPE_INT64_LIST:
      return write_typed_list(self, buffer, kTypeInt64List, 8,
                              fl_value_get_int64_list(value),
                              fl_value_get_length(value), 8, error);
    case FL_VALUE_TYPE_FLOAT32_LIST:
      return write_typed_list(self, buffer, kTypeFloat32List, 4,
                              fl_value_get_float32_list(value),
                              fl_value_get_length(value), 4, error);
    case FL_VALUE_TYPE_FLOAT_LIST:
      return write_typed_list(self, buffer, kTypeFloat64List, 8,
                              fl_value_get_float_list(value),
                              fl_value_get_length(value), 8, error);
    case FL_VALUE_TYPE_LIST: {
      size_t length = fl_value_get_length(value);
      write_uint8(buffer, kTypeList);
      if (!write_length(self, buffer, length, error)) {
        return FALSE;
      }
      for (size_t i = 0; i < length; i++) {
        if (!fl_standard_message_codec_write_value(
                self, buffer, fl_value_get_list_value(value, i), error)) {
          return FALSE;
        }
      }
      return TRUE;
    }
    case FL_VALUE_TYPE_MAP: {
      size_t length = fl_value_get_length(value);
      write_uint8(buffer, kTypeMap);
      if (!write_length(self, buffer, length, error)) {
        return FALSE;
      }
      for (size_t i = 0; i < length; i++) {
        if (!fl_standard_message_codec_write_value(
                self, buffer, fl_value_get_map_key(value, i), error) ||
            !fl_standard_message_codec_write_value(
                self, buffer, fl_value_get_map_value(value, i), error)) {
          return FALSE;
        }
      }
      return TRUE;
    }
    case FL_VALUE_TYPE_CUSTOM:
      // Left to subclasses that know the type.
      break;
  }
  g_set_error(error, FL_MESSAGE_CODEC_ERROR,
              FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE,
              "Unexpected FlValue type %d", (int)fl_value_get_type(value));
  return FALSE;
}

// Reads the element count of a typed list, then its elements of
// |element_size| bytes after alignment to |align|. The count is checked
// against the bytes left before anything is allocated, so a huge declared
// size costs nothing.
static FlValue* read_typed_list(FlStandardMessageCodec* self,
                                GBytes* buffer,
                                size_t* offset,
                                size_t align,
                                size_t element_size,
                                FlValue* (*make)(const void*, size_t),
                                GError** error) {
  uint32_t count = 0;
  if (!fl_standard_message_codec_read_size(self, buffer, offset, &count,
                                           error) ||
      !read_align(buffer, offset, align, error)) {
    return NULL;
  }
  size_t size = g_bytes_get_size(buffer);
  size_t available = size - *offset;
  if (count > available / element_size) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR,
                FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA,
                "Unexpected end of data: list of %u elements of %zu bytes "
                "with %zu bytes left",
                count, element_size, available);
    return NULL;
  }
  size_t length = (size_t)count * element_size;
  // Copy into aligned memory: the message itself need not be aligned.
  gpointer elements = g_malloc(length > 0 ? length : 1);
  memcpy(elements, data_at(buffer, *offset), length);
  *offset += length;
  FlValue* value = make(elements, count);
  g_free(elements);
  return value;
}

static FlValue* make_uint8_list(const void* data, size_t length) {
  return fl_value_new_uint8_list(data, length);
}
static FlValue* make_int32_list(const void* data, size_t length) {
  return fl_value_new_int32_list(data, length);
}
static FlValue* make_int64_list(const void* data, size_t length) {
  return fl_value_new_int64_list(data, length);
}
static FlValue* make_float32_list(const void* data, size_t length) {
  return fl_value_new_float32_list(data, length);
}
static FlValue* make_float_list(const void* data, size_t length) {
  return fl_value_new_float_list(data, length);
}

static FlValue* read_value(FlStandardMessageCodec* self,
                           GBytes* buffer,
                           size_t* offset,
                           guint depth,
                           GError** error);

static FlValue* read_container(FlStandardMessageCodec* self,
                               GBytes* buffer,
                               size_t* offset,
                               int type,
                               guint depth,
                               GError** error) {
  uint32_t count = 0;
  if (!fl_standard_message_codec_read_size(self, buffer, offset, &count,
                                           error)) {
    return NULL;
  }
  // Every element takes at least one byte: refuse counts that cannot fit
  // before building anything.
  size_t available = g_bytes_get_size(buffer) - *offset;
  size_t per_entry = type == kTypeMap ? 2 : 1;
  if (count > available / per_entry) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR,
                FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA,
                "Unexpected end of data: %u entries with %zu bytes left", count,
                available);
    return NULL;
  }
  g_autoptr(FlValue) container =
      type == kTypeMap ? fl_value_new_map() : fl_value_new_list();
  for (uint32_t i = 0; i < count; i++) {
    g_autoptr(FlValue) first = read_value(self, buffer, offset, depth, error);
    if (first == NULL) {
      return NULL;
    }
    if (type == kTypeList) {
      fl_value_append(container, first);
      continue;
    }
    g_autoptr(FlValue) second = read_value(self, buffer, offset, depth, error);
    if (second == NULL) {
      return NULL;
    }
    fl_value_set(container, first, second);
  }
  return (FlValue*)g_steal_pointer(&container);
}

static FlValue* standard_read_value_of_type(FlStandardMessageCodec* self,
                                            GBytes* buffer,
                                            size_t* offset,
                                            int type,
                                            GError** error) {
  // The standard types never get here: this is where subclasses that carry
  // extra types take over. Anything else is not a value we know.
  (void)self;
  (void)buffer;
  (void)offset;
  g_set_error(error, FL_MESSAGE_CODEC_ERROR,
              FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE, "Unknown type byte %d",
              type);
  return NULL;
}

static FlValue* read_value(FlStandardMessageCodec* self,
                           GBytes* buffer,
                           size_t* offset,
                           guint depth,
                           GError** error) {
  uint8_t type = 0;
  if (!read_raw(buffer, offset, &type, 1, error)) {
    return NULL;
  }
  switch (type) {
    case kTypeNull:
      return fl_value_new_null();
    case kTypeTrue:
      return fl_value_new_bool(true);
    case kTypeFalse:
      return fl_value_new_bool(false);
    case kTypeInt32: {
      int32_t number = 0;
      if (!read_raw(buffer, offset, &number, sizeof(number), error)) {
        return NULL;
      }
      return fl_value_new_int(number);
    }
    case kTypeInt64: {
      int64_t number = 0;
      if (!read_raw(buffer, offset, &number, sizeof(number), error)) {
        return NULL;
      }
      return fl_value_new_int(number);
    }
    case kTypeFloat64: {
      double number = 0;
      if (!read_align(buffer, offset, 8, error) ||
          !read_raw(buffer, offset, &number, sizeof(number), error)) {
        return NULL;
      }
      return fl_value_new_float(number);
    }
    case kTypeString: {
      uint32_t length = 0;
      if (!fl_standard_message_codec_read_size(self, buffer, offset, &length,
                                               error) ||
          !check_remaining(buffer, *offset, length, error)) {
        return NULL;
      }
      FlValue* value = fl_value_new_string_sized(
          (const gchar*)data_at(buffer, *offset), length);
      *offset += length;
      return value;
    }
    case kTypeUint8List:
      return read_typed_list(self, buffer, offset, 1, 1, make_uint8_list,
                             error);
    case kTypeInt32List:
      return read_typed_list(self, buffer, offset, 4, 4, make_int32_list,
                             error);
    case kTypeInt64List:
      return read_typed_list(self, buffer, offset, 8, 8, make_int64_list,
                             error);
    case kTypeFloat32List:
      return read_typed_list(self, buffer, offset, 4, 4, make_float32_list,
                             error);
    case kTypeFloat64List:
      return read_typed_list(self, buffer, offset, 8, 8, make_float_list,
                             error);
    case kTypeList:
    case kTypeMap:
      if (depth >= kMaxDepth) {
        g_set_error(error, FL_MESSAGE_CODEC_ERROR,
                    FL_MESSAGE_CODEC_ERROR_FAILED,
                    "Values nested deeper than %d levels", kMaxDepth);
        return NULL;
      }
      return read_container(self, buffer, offset, type, depth + 1, error);
    default:
      return FL_STANDARD_MESSAGE_CODEC_GET_CLASS(self)->read_value_of_type(
          self, buffer, offset, type, error);
  }
}

G_MODULE_EXPORT gboolean
fl_standard_message_codec_write_value(FlStandardMessageCodec* self,
                                      GByteArray* buffer,
                                      FlValue* value,
                                      GError** error) {
  g_return_val_if_fail(FL_IS_STANDARD_MESSAGE_CODEC(self), FALSE);
  g_return_val_if_fail(buffer != NULL, FALSE);
  return FL_STANDARD_MESSAGE_CODEC_GET_CLASS(self)->write_value(self, buffer,
                                                                value, error);
}

G_MODULE_EXPORT FlValue* fl_standard_message_codec_read_value(
    FlStandardMessageCodec* self,
    GBytes* buffer,
    size_t* offset,
    GError** error) {
  g_return_val_if_fail(FL_IS_STANDARD_MESSAGE_CODEC(self), NULL);
  g_return_val_if_fail(buffer != NULL, NULL);
  g_return_val_if_fail(offset != NULL, NULL);
  return read_value(self, buffer, offset, 0, error);
}

static GBytes* standard_encode_message(FlMessageCodec* codec,
                                       FlValue* message,
                                       GError** error) {
  FlStandardMessageCodec* self = FL_STANDARD_MESSAGE_CODEC(codec);
  g_autoptr(GByteArray) buffer = g_byte_array_new();
  if (!fl_standard_message_codec_write_value(self, buffer, message, error)) {
    return NULL;
  }
  return g_byte_array_free_to_bytes((GByteArray*)g_steal_pointer(&buffer));
}

static FlValue* standard_decode_message(FlMessageCodec* codec,
                                        GBytes* message,
                                        GError** error) {
  FlStandardMessageCodec* self = FL_STANDARD_MESSAGE_CODEC(codec);
  size_t offset = 0;
  g_autoptr(FlValue) value =
      fl_standard_message_codec_read_value(self, message, &offset, error);
  if (value == NULL) {
    return NULL;
  }
  if (offset != g_bytes_get_size(message)) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR,
                FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA,
                "%zu bytes left over after the value",
                g_bytes_get_size(message) - offset);
    return NULL;
  }
  return (FlValue*)g_steal_pointer(&value);
}

static void fl_standard_message_codec_class_init(
    FlStandardMessageCodecClass* klass) {
  FL_MESSAGE_CODEC_CLASS(klass)->encode_message = standard_encode_message;
  FL_MESSAGE_CODEC_CLASS(klass)->decode_message = standard_decode_message;
  klass->write_value = standard_write_value;
  klass->read_value_of_type = standard_read_value_of_type;
}

static void fl_standard_message_codec_init(FlStandardMessageCodec* self) {}

G_MODULE_EXPORT FlStandardMessageCodec* fl_standard_message_codec_new() {
  return FL_STANDARD_MESSAGE_CODEC(
      g_object_new(fl_standard_message_codec_get_type(), NULL));
}
