#ifndef FLUTTER_LINUX_FL_VALUE_H_
#define FLUTTER_LINUX_FL_VALUE_H_

#if !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib.h>
#include <gmodule.h>
#include <stdbool.h>
#include <stdint.h>

G_BEGIN_DECLS

/**
 * FlValue:
 *
 * A value passed over a platform channel: null, a boolean, a 64-bit integer,
 * a double, a UTF-8 string, a typed list of numbers, a list of values or a map
 * from values to values. Not a GObject: a reference-counted structure.
 * Containers own references to their elements.
 */
typedef struct _FlValue FlValue;

/**
 * FlValueType:
 *
 * The kinds of #FlValue. The numbers are part of the ABI.
 */
typedef enum {
  FL_VALUE_TYPE_NULL,
  FL_VALUE_TYPE_BOOL,
  FL_VALUE_TYPE_INT,
  FL_VALUE_TYPE_FLOAT,
  FL_VALUE_TYPE_STRING,
  FL_VALUE_TYPE_UINT8_LIST,
  FL_VALUE_TYPE_INT32_LIST,
  FL_VALUE_TYPE_INT64_LIST,
  FL_VALUE_TYPE_FLOAT_LIST,
  FL_VALUE_TYPE_LIST,
  FL_VALUE_TYPE_MAP,
  FL_VALUE_TYPE_FLOAT32_LIST,
  // Values of types an application's own codec adds. Nothing here makes
  // them, but code switching over the kinds must expect them, as it must
  // with the real embedding.
  FL_VALUE_TYPE_CUSTOM,
} FlValueType;

// Constructors. Every one returns (transfer full): release with
// fl_value_unref().
G_MODULE_EXPORT FlValue* fl_value_new_null();
G_MODULE_EXPORT FlValue* fl_value_new_bool(bool value);
G_MODULE_EXPORT FlValue* fl_value_new_int(int64_t value);
G_MODULE_EXPORT FlValue* fl_value_new_float(double value);
// |value| is copied.
G_MODULE_EXPORT FlValue* fl_value_new_string(const gchar* value);
// The first |value_length| bytes of |value| are copied.
G_MODULE_EXPORT FlValue* fl_value_new_string_sized(const gchar* value,
                                                   size_t value_length);
// The typed-list constructors copy |data| (|data_length| elements).
G_MODULE_EXPORT FlValue* fl_value_new_uint8_list(const uint8_t* data,
                                                 size_t data_length);
G_MODULE_EXPORT FlValue* fl_value_new_uint8_list_from_bytes(GBytes* data);
G_MODULE_EXPORT FlValue* fl_value_new_int32_list(const int32_t* data,
                                                 size_t data_length);
G_MODULE_EXPORT FlValue* fl_value_new_int64_list(const int64_t* data,
                                                 size_t data_length);
G_MODULE_EXPORT FlValue* fl_value_new_float32_list(const float* data,
                                                   size_t data_length);
G_MODULE_EXPORT FlValue* fl_value_new_float_list(const double* data,
                                                 size_t data_length);
G_MODULE_EXPORT FlValue* fl_value_new_list();
// A list of string values copied from the NULL-terminated |str_array|.
G_MODULE_EXPORT FlValue* fl_value_new_list_from_strv(
    const gchar* const* str_array);
G_MODULE_EXPORT FlValue* fl_value_new_map();

// Returns (transfer full) another reference to |value|.
G_MODULE_EXPORT FlValue* fl_value_ref(FlValue* value);
G_MODULE_EXPORT void fl_value_unref(FlValue* value);

G_MODULE_EXPORT FlValueType fl_value_get_type(FlValue* value);

// Deep comparison. Floats compare by value, maps by their entries in order.
G_MODULE_EXPORT bool fl_value_equal(FlValue* a, FlValue* b);

// Appends to a list. append() takes its own reference to |child|;
// append_take() takes over the caller's reference (transfer full).
G_MODULE_EXPORT void fl_value_append(FlValue* value, FlValue* child);
G_MODULE_EXPORT void fl_value_append_take(FlValue* value, FlValue* child);

// Sets an entry of a map, replacing the value of an equal key. set() takes
// its own references; the _take() forms take over the caller's references
// (transfer full); the _string forms copy |key| into a string value.
G_MODULE_EXPORT void fl_value_set(FlValue* value, FlValue* key, FlValue* v);
G_MODULE_EXPORT void fl_value_set_take(FlValue* value,
                                       FlValue* key,
                                       FlValue* v);
G_MODULE_EXPORT void fl_value_set_string(FlValue* value,
                                         const gchar* key,
                                         FlValue* v);
G_MODULE_EXPORT void fl_value_set_string_take(FlValue* value,
                                              const gchar* key,
                                              FlValue* v);

// Accessors; the value must be of the matching type. Pointers returned are
// (transfer none) and live as long as |value|.
G_MODULE_EXPORT bool fl_value_get_bool(FlValue* value);
G_MODULE_EXPORT int64_t fl_value_get_int(FlValue* value);
G_MODULE_EXPORT double fl_value_get_float(FlValue* value);
G_MODULE_EXPORT const gchar* fl_value_get_string(FlValue* value);
G_MODULE_EXPORT const uint8_t* fl_value_get_uint8_list(FlValue* value);
G_MODULE_EXPORT const int32_t* fl_value_get_int32_list(FlValue* value);
G_MODULE_EXPORT const int64_t* fl_value_get_int64_list(FlValue* value);
G_MODULE_EXPORT const float* fl_value_get_float32_list(FlValue* value);
G_MODULE_EXPORT const double* fl_value_get_float_list(FlValue* value);

// Number of elements of a typed list or list, or of entries of a map.
G_MODULE_EXPORT size_t fl_value_get_length(FlValue* value);

// Returns (transfer none) the element |index| of a list.
G_MODULE_EXPORT FlValue* fl_value_get_list_value(FlValue* value, size_t index);
// Returns (transfer none) the key or value of entry |index| of a map.
G_MODULE_EXPORT FlValue* fl_value_get_map_key(FlValue* value, size_t index);
G_MODULE_EXPORT FlValue* fl_value_get_map_value(FlValue* value, size_t index);

// Returns (transfer none) the value stored under |key| in a map, or NULL.
G_MODULE_EXPORT FlValue* fl_value_lookup(FlValue* value, FlValue* key);
G_MODULE_EXPORT FlValue* fl_value_lookup_string(FlValue* value,
                                                const gchar* key);

// Returns (transfer full) a text for logs and debugging; free with g_free().
G_MODULE_EXPORT gchar* fl_value_to_string(FlValue* value);

G_DEFINE_AUTOPTR_CLEANUP_FUNC(FlValue, fl_value_unref)

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_VALUE_H_
