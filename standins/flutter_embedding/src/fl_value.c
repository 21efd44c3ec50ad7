#include "flutter_linux/fl_value.h"

#include <inttypes.h>
#include <math.h>
#include <string.h>

struct _FlValue {
  FlValueType type;
  gint ref_count;
  union {
    bool b;
    int64_t i;
    double f;
    struct {
      gchar* text;
      size_t length;
    } s;
    struct {
      void* data;  // Elements of the typed list, copied.
      size_t length;
    } typed;
    GPtrArray* list;  // FlValue* elements, owned.
    struct {
      GPtrArray* keys;  // Parallel arrays of owned FlValue*.
      GPtrArray* values;
      // Text of each string key -> its index + 1 (texts owned by the keys),
      // so that building and searching a map of many entries stays linear.
      GHashTable* string_keys;
    } map;
  } u;
};

static FlValue* value_new(FlValueType type) {
  FlValue* self = g_new0(FlValue, 1);
  self->type = type;
  self->ref_count = 1;
  return self;
}

static FlValue* typed_list_new(FlValueType type,
                               const void* data,
                               size_t length,
                               size_t element_size) {
  g_return_val_if_fail(data != NULL || length == 0, NULL);
  FlValue* self = value_new(type);
  // g_malloc0_n checks the multiplication; one spare element keeps the
  // pointer non-NULL for empty lists.
  self->u.typed.data = g_malloc0_n(length + 1, element_size);
  if (length > 0) {
    memcpy(self->u.typed.data, data, length * element_size);
  }
  self->u.typed.length = length;
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_new_null() {
  return value_new(FL_VALUE_TYPE_NULL);
}

G_MODULE_EXPORT FlValue* fl_value_new_bool(bool value) {
  FlValue* self = value_new(FL_VALUE_TYPE_BOOL);
  self->u.b = value;
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_new_int(int64_t value) {
  FlValue* self = value_new(FL_VALUE_TYPE_INT);
  self->u.i = value;
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_new_float(double value) {
  FlValue* self = value_new(FL_VALUE_TYPE_FLOAT);
  self->u.f = value;
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_new_string(const gchar* value) {
  g_return_val_if_fail(value != NULL, NULL);
  return fl_value_new_string_sized(value, strlen(value));
}

G_MODULE_EXPORT FlValue* fl_value_new_string_sized(const gchar* value,
                                                   size_t value_length) {
  g_return_val_if_fail(value != NULL || value_length == 0, NULL);
  FlValue* self = value_new(FL_VALUE_TYPE_STRING);
  self->u.s.text = g_strndup(value != NULL ? value : "", value_length);
  // g_strndup stops at an embedded NUL; the length is what the text holds.
  self->u.s.length = strlen(self->u.s.text);
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_new_uint8_list(const uint8_t* data,
                                                 size_t data_length) {
  return typed_list_new(FL_VALUE_TYPE_UINT8_LIST, data, data_length,
                        sizeof(uint8_t));
}

G_MODULE_EXPORT FlValue* fl_value_new_uint8_list_from_bytes(GBytes* data) {
  g_return_val_if_fail(data != NULL, NULL);
  gsize length = 0;
  const uint8_t* bytes = g_bytes_get_data(data, &length);
  return fl_value_new_uint8_list(bytes, length);
}

G_MODULE_EXPORT FlValue* fl_value_new_int32_list(const int32_t* data,
                                                 size_t data_length) {
  return typed_list_new(FL_VALUE_TYPE_INT32_LIST, data, data_length,
                        sizeof(int32_t));
}

G_MODULE_EXPORT FlValue* fl_value_new_int64_list(const int64_t* data,
                                                 size_t data_length) {
  return typed_list_new(FL_VALUE_TYPE_INT64_LIST, data, data_length,
                        sizeof(int64_t));
}

G_MODULE_EXPORT FlValue* fl_value_new_float32_list(const float* data,
                                                   size_t data_length) {
  return typed_list_new(FL_VALUE_TYPE_FLOAT32_LIST, data, data_length,
                        sizeof(float));
}

G_MODULE_EXPORT FlValue* fl_value_new_float_list(const double* data,
                                                 size_t data_length) {
  return typed_list_new(FL_VALUE_TYPE_FLOAT_LIST, data, data_length,
                        sizeof(double));
}

G_MODULE_EXPORT FlValue* fl_value_new_list() {
  FlValue* self = value_new(FL_VALUE_TYPE_LIST);
  self->u.list = g_ptr_array_new_with_free_func((GDestroyNotify)fl_value_unref);
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_new_list_from_strv(
    const gchar* const* str_array) {
  g_return_val_if_fail(str_array != NULL, NULL);
  FlValue* self = fl_value_new_list();
  for (size_t i = 0; str_array[i] != NULL; i++) {
    fl_value_append_take(self, fl_value_new_string(str_array[i]));
  }
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_new_map() {
  FlValue* self = value_new(FL_VALUE_TYPE_MAP);
  self->u.map.keys =
      g_ptr_array_new_with_free_func((GDestroyNotify)fl_value_unref);
  self->u.map.values =
      g_ptr_array_new_with_free_func((GDestroyNotify)fl_value_unref);
  self->u.map.string_keys = g_hash_table_new(g_str_hash, g_str_equal);
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_ref(FlValue* self) {
  g_return_val_if_fail(self != NULL, NULL);
  g_atomic_int_inc(&self->ref_count);
  return self;
}

G_MODULE_EXPORT void fl_value_unref(FlValue* self) {
  g_return_if_fail(self != NULL);
  g_return_if_fail(self->ref_count > 0);
  if (!g_atomic_int_dec_and_test(&self->ref_count)) {
    return;
  }
  switch (self->type) {
    case FL_VALUE_TYPE_STRING:
      g_free(self->u.s.text);
      break;
    case FL_VALUE_TYPE_UINT8_LIST:
    case FL_VALUE_TYPE_INT32_LIST:
    case FL_VALUE_TYPE_INT64_LIST:
    case FL_VALUE_TYPE_FLOAT32_LIST:
    case FL_VALUE_TYPE_FLOAT_LIST:
      g_free(self->u.typed.data);
      break;
    case FL_VALUE_TYPE_LIST:
      g_ptr_array_unref(self->u.list);
      break;
    case FL_VALUE_TYPE_MAP:
      g_hash_table_unref(self->u.map.string_keys);
      g_ptr_array_unref(self->u.map.keys);
      g_ptr_array_unref(self->u.map.values);
      break;
    default:
      break;
  }
  g_free(self);
}

G_MODULE_EXPORT FlValueType fl_value_get_type(FlValue* self) {
  g_return_val_if_fail(self != NULL, FL_VALUE_TYPE_NULL);
  return self->type;
}

static size_t element_size(FlValueType type) {
  switch (type) {
    case FL_VALUE_TYPE_UINT8_LIST:
      return sizeof(uint8_t);
    case FL_VALUE_TYPE_INT32_LIST:
      return sizeof(int32_t);
    case FL_VALUE_TYPE_FLOAT32_LIST:
      return sizeof(float);
    case FL_VALUE_TYPE_INT64_LIST:
      return sizeof(int64_t);
    case FL_VALUE_TYPE_FLOAT_LIST:
      return sizeof(double);
    default:
      return 0;
  }
}

G_MODULE_EXPORT bool fl_value_equal(FlValue* a, FlValue* b) {
  g_return_val_if_fail(a != NULL, false);
  g_return_val_if_fail(b != NULL, false);
  if (a == b) {
    return true;
  }
  if (a->type != b->type) {
    return false;
  }
  switch (a->type) {
    case FL_VALUE_TYPE_NULL:
      return true;
    case FL_VALUE_TYPE_BOOL:
      return a->u.b == b->u.b;
    case FL_VALUE_TYPE_INT:
      return a->u.i == b->u.i;
    case FL_VALUE_TYPE_FLOAT:
      return a->u.f == b->u.f;
    case FL_VALUE_TYPE_STRING:
      return a->u.s.length == b->u.s.length &&
             memcmp(a->u.s.text, b->u.s.text, a->u.s.length) == 0;
    case FL_VALUE_TYPE_UINT8_LIST:
    case FL_VALUE_TYPE_INT32_LIST:
    case FL_VALUE_TYPE_INT64_LIST:
    case FL_VALUE_TYPE_FLOAT32_LIST:
    case FL_VALUE_TYPE_FLOAT_LIST:
      return a->u.typed.length == b->u.typed.length &&
             memcmp(a->u.typed.data, b->u.typed.data,
                    a->u.typed.length * element_size(a->type)) == 0;
    case FL_VALUE_TYPE_LIST:
      if (a->u.list->len != b->u.list->len) {
        return false;
      }
      for (guint i = 0; i < a->u.list->len; i++) {
        if (!fl_value_equal(g_ptr_array_index(a->u.list, i),
                            g_ptr_array_index(b->u.list, i))) {
          return false;
        }
      }
      return true;
    case FL_VALUE_TYPE_MAP:
      if (a->u.map.keys->len != b->u.map.keys->len) {
        return false;
      }
      for (guint i = 0; i < a->u.map.keys->len; i++) {
        FlValue* key = g_ptr_array_index(a->u.map.keys, i);
        FlValue* other = fl_value_lookup(b, key);
        if (other == NULL ||
            !fl_value_equal(g_ptr_array_index(a->u.map.values, i), other)) {
          return false;
        }
      }
      return true;
    case FL_VALUE_TYPE_CUSTOM:
      break;
  }
  return false;
}

G_MODULE_EXPORT void fl_value_append(FlValue* self, FlValue* child) {
  g_return_if_fail(self != NULL);
  g_return_if_fail(child != NULL);
  fl_value_append_take(self, fl_value_ref(child));
}

G_MODULE_EXPORT void fl_value_append_take(FlValue* self, FlValue* child) {
  g_return_if_fail(self != NULL);
  g_return_if_fail(self->type == FL_VALUE_TYPE_LIST);
  g_return_if_fail(child != NULL);
  g_ptr_array_add(self->u.list, child);
}

static gssize string_key_index(FlValue* self, const gchar* text) {
  return (gssize)GPOINTER_TO_UINT(
             g_hash_table_lookup(self->u.map.string_keys, text)) -
         1;
}

static gssize map_index(FlValue* self, FlValue* key) {
  if (key->type == FL_VALUE_TYPE_STRING) {
    return string_key_index(self, key->u.s.text);
  }
  for (guint i = 0; i < self->u.map.keys->len; i++) {
    if (fl_value_equal(g_ptr_array_index(self->u.map.keys, i), key)) {
      return (gssize)i;
    }
  }
  return -1;
}

G_MODULE_EXPORT void fl_value_set(FlValue* self, FlValue* key, FlValue* v) {
  g_return_if_fail(self != NULL);
  g_return_if_fail(key != NULL);
  g_return_if_fail(v != NULL);
  fl_value_set_take(self, fl_value_ref(key), fl_value_ref(v));
}

G_MODULE_EXPORT void fl_value_set_take(FlValue* self,
                                       FlValue* key,
                                       FlValue* v) {
  g_return_if_fail(self != NULL);
  g_return_if_fail(self->type == FL_VALUE_TYPE_MAP);
  g_return_if_fail(key != NULL);
  g_return_if_fail(v != NULL);
  gssize index = map_index(self, key);
  if (index < 0) {
    if (key->type == FL_VALUE_TYPE_STRING) {
      g_hash_table_insert(self->u.map.string_keys, key->u.s.text,
                          GUINT_TO_POINTER(self->u.map.keys->len + 1));
    }
    g_ptr_array_add(self->u.map.keys, key);
    g_ptr_array_add(self->u.map.values, v);
    return;
  }
  // Keep the first key; the new value replaces the old one.
  fl_value_unref(key);
  fl_value_unref(g_ptr_array_index(self->u.map.values, index));
  g_ptr_array_index(self->u.map.values, index) = v;
}

G_MODULE_EXPORT void fl_value_set_string(FlValue* self,
                                         const gchar* key,
                                         FlValue* v) {
  g_return_if_fail(key != NULL);
  g_return_if_fail(v != NULL);
  fl_value_set_take(self, fl_value_new_string(key), fl_value_ref(v));
}

G_MODULE_EXPORT void fl_value_set_string_take(FlValue* self,
                                              const gchar* key,
                                              FlValue* v) {
  g_return_if_fail(key != NULL);
  g_return_if_fail(v != NULL);
  fl_value_set_take(self, fl_value_new_string(key), v);
}

G_MODULE_EXPORT bool fl_value_get_bool(FlValue* self) {
  g_return_val_if_fail(self != NULL && self->type == FL_VALUE_TYPE_BOOL, false);
  return self->u.b;
}

G_MODULE_EXPORT int64_t fl_value_get_int(FlValue* self) {
  g_return_val_if_fail(self != NULL && self->type == FL_VALUE_TYPE_INT, 0);
  return self->u.i;
}

G_MODULE_EXPORT double fl_value_get_float(FlValue* self) {
  g_return_val_if_fail(self != NULL && self->type == FL_VALUE_TYPE_FLOAT, 0.0);
  return self->u.f;
}

G_MODULE_EXPORT const gchar* fl_value_get_string(FlValue* self) {
  g_return_val_if_fail(self != NULL && self->type == FL_VALUE_TYPE_STRING,
                       NULL);
  return self->u.s.text;
}

static const void* typed_data(FlValue* self, FlValueType type) {
  g_return_val_if_fail(self != NULL && self->type == type, NULL);
  return self->u.typed.data;
}

G_MODULE_EXPORT const uint8_t* fl_value_get_uint8_list(FlValue* self) {
  return typed_data(self, FL_VALUE_TYPE_UINT8_LIST);
}

G_MODULE_EXPORT const int32_t* fl_value_get_int32_list(FlValue* self) {
  return typed_data(self, FL_VALUE_TYPE_INT32_LIST);
}

G_MODULE_EXPORT const int64_t* fl_value_get_int64_list(FlValue* self) {
  return typed_data(self, FL_VALUE_TYPE_INT64_LIST);
}

G_MODULE_EXPORT const float* fl_value_get_float32_list(FlValue* self) {
  return typed_data(self, FL_VALUE_TYPE_FLOAT32_LIST);
}

G_MODULE_EXPORT const double* fl_value_get_float_list(FlValue* self) {
  return typed_data(self, FL_VALUE_TYPE_FLOAT_LIST);
}

G_MODULE_EXPORT size_t fl_value_get_length(FlValue* self) {
  g_return_val_if_fail(self != NULL, 0);
  switch (self->type) {
    case FL_VALUE_TYPE_UINT8_LIST:
    case FL_VALUE_TYPE_INT32_LIST:
    case FL_VALUE_TYPE_INT64_LIST:
    case FL_VALUE_TYPE_FLOAT32_LIST:
    case FL_VALUE_TYPE_FLOAT_LIST:
      return self->u.typed.length;
    case FL_VALUE_TYPE_LIST:
      return self->u.list->len;
    case FL_VALUE_TYPE_MAP:
      return self->u.map.keys->len;
    default:
      g_critical("fl_value_get_length: value of type %d has no length",
                 (int)self->type);
      return 0;
  }
}

G_MODULE_EXPORT FlValue* fl_value_get_list_value(FlValue* self, size_t index) {
  g_return_val_if_fail(self != NULL && self->type == FL_VALUE_TYPE_LIST, NULL);
  g_return_val_if_fail(index < self->u.list->len, NULL);
  return g_ptr_array_index(self->u.list, index);
}

G_MODULE_EXPORT FlValue* fl_value_get_map_key(FlValue* self, size_t index) {
  g_return_val_if_fail(self != NULL && self->type == FL_VALUE_TYPE_MAP, NULL);
  g_return_val_if_fail(index < self->u.map.keys->len, NULL);
  return g_ptr_array_index(self->u.map.keys, index);
}

G_MODULE_EXPORT FlValue* fl_value_get_map_value(FlValue* self, size_t index) {
  g_return_val_if_fail(self != NULL && self->type == FL_VALUE_TYPE_MAP, NULL);
  g_return_val_if_fail(index < self->u.map.values->len, NULL);
  return g_ptr_array_index(self->u.map.values, index);
}

G_MODULE_EXPORT FlValue* fl_value_lookup(FlValue* self, FlValue* key) {
  g_return_val_if_fail(self != NULL && self->type == FL_VALUE_TYPE_MAP, NULL);
  g_return_val_if_fail(key != NULL, NULL);
  gssize index = map_index(self, key);
  return index < 0 ? NULL : g_ptr_array_index(self->u.map.values, index);
}

G_MODULE_EXPORT FlValue* fl_value_lookup_string(FlValue* self,
                                                const gchar* key) {
  g_return_val_if_fail(self != NULL && self->type == FL_VALUE_TYPE_MAP, NULL);
  g_return_val_if_fail(key != NULL, NULL);
  gssize index = string_key_index(self, key);
  return index < 0 ? NULL : g_ptr_array_index(self->u.map.values, index);
}

// Shortest text that reads back as the same double, always with a decimal
// point or exponent so that it does not look like an int.
static void append_float(GString* buffer, double value) {
  if (isnan(value)) {
    g_string_append(buffer, "NaN");
    return;
  }
  if (isinf(value)) {
    g_string_append(buffer, value > 0 ? "Infinity" : "-Infinity");
    return;
  }
  char text[G_ASCII_DTOSTR_BUF_SIZE];
  g_ascii_dtostr(text, sizeof(text), value);
  g_string_append(buffer, text);
  if (strpbrk(text, ".eE") == NULL) {
    g_string_append(buffer, ".0");
  }
}

static void append_value(GString* buffer, FlValue* value) {
  switch (value->type) {
    case FL_VALUE_TYPE_NULL:
      g_string_append(buffer, "null");
      return;
    case FL_VALUE_TYPE_BOOL:
      g_string_append(buffer, value->u.b ? "true" : "false");
      return;
    case FL_VALUE_TYPE_INT:
      g_string_append_printf(buffer, "%" PRId64, value->u.i);
      return;
    case FL_VALUE_TYPE_FLOAT:
      append_float(buffer, value->u.f);
      return;
    case FL_VALUE_TYPE_STRING:
      g_string_append_len(buffer, value->u.s.text, (gssize)value->u.s.length);
      return;
    case FL_VALUE_TYPE_UINT8_LIST:
    case FL_VALUE_TYPE_INT32_LIST:
    case FL_VALUE_TYPE_INT64_LIST:
    case FL_VALUE_TYPE_FLOAT32_LIST:
    case FL_VALUE_TYPE_FLOAT_LIST:
      g_string_append_c(buffer, '[');
      for (size_t i = 0; i < value->u.typed.length; i++) {
        if (i > 0) {
          g_string_append(buffer, ", ");
        }
        switch (value->type) {
          case FL_VALUE_TYPE_UINT8_LIST:
            g_string_append_printf(buffer, "%u",
                                   ((const uint8_t*)value->u.typed.data)[i]);
            break;
          case FL_VALUE_TYPE_INT32_LIST:
            g_string_append_printf(buffer, "%" PRId32,
                                   ((const int32_t*)value->u.typed.data)[i]);
            break;
          case FL_VALUE_TYPE_INT64_LIST:
            g_string_append_printf(buffer, "%" PRId64,
                                   ((const int64_t*)value->u.typed.data)[i]);
            break;
          case FL_VALUE_TYPE_FLOAT32_LIST:
            append_float(buffer, ((const float*)value->u.typed.data)[i]);
            break;
          default:
            append_float(buffer, ((const double*)value->u.typed.data)[i]);
            break;
        }
      }
      g_string_append_c(buffer, ']');
      return;
    case FL_VALUE_TYPE_LIST:
      g_string_append_c(buffer, '[');
      for (guint i = 0; i < value->u.list->len; i++) {
        if (i > 0) {
          g_string_append(buffer, ", ");
        }
        append_value(buffer, g_ptr_array_index(value->u.list, i));
      }
      g_string_append_c(buffer, ']');
      return;
    case FL_VALUE_TYPE_MAP:
      g_string_append_c(buffer, '{');
      for (guint i = 0; i < value->u.map.keys->len; i++) {
        if (i > 0) {
          g_string_append(buffer, ", ");
        }
        append_value(buffer, g_ptr_array_index(value->u.map.keys, i));
        g_string_append(buffer, ": ");
        append_value(buffer, g_ptr_array_index(value->u.map.values, i));
      }
      g_string_append_c(buffer, '}');
      return;
    case FL_VALUE_TYPE_CUSTOM:
      return;
  }
}

G_MODULE_EXPORT gchar* fl_value_to_string(FlValue* value) {
  g_return_val_if_fail(value != NULL, NULL);
  GString* buffer = g_string_new(NULL);
  append_value(buffer, value);
  return g_string_free(buffer, FALSE);
}
