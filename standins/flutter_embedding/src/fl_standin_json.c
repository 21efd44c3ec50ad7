#include <math.h>

#include "flutter_linux_standin/fl_standin.h"

FlValue* fl_standin_value_from_json(JsonNode* node, GError** error) {
  g_return_val_if_fail(node != NULL, NULL);
  switch (json_node_get_node_type(node)) {
    case JSON_NODE_NULL:
      return fl_value_new_null();
    case JSON_NODE_VALUE: {
      GType type = json_node_get_value_type(node);
      if (type == G_TYPE_BOOLEAN) {
        return fl_value_new_bool(json_node_get_boolean(node));
      }
      if (type == G_TYPE_INT64) {
        return fl_value_new_int(json_node_get_int(node));
      }
      if (type == G_TYPE_DOUBLE) {
        return fl_value_new_float(json_node_get_double(node));
      }
      if (type == G_TYPE_STRING) {
        return fl_value_new_string(json_node_get_string(node));
      }
      g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA,
                  "JSON value of type %s cannot be sent", g_type_name(type));
      return NULL;
    }
    case JSON_NODE_ARRAY: {
      JsonArray* array = json_node_get_array(node);
      g_autoptr(FlValue) list = fl_value_new_list();
      guint length = json_array_get_length(array);
      for (guint i = 0; i < length; i++) {
        FlValue* element =
            fl_standin_value_from_json(json_array_get_element(array, i), error);
        if (element == NULL) {
          return NULL;
        }
        fl_value_append_take(list, element);
      }
      return (FlValue*)g_steal_pointer(&list);
    }
    case JSON_NODE_OBJECT: {
      JsonObject* object = json_node_get_object(node);
      g_autoptr(FlValue) map = fl_value_new_map();
      // In the order the members were written.
      g_autoptr(GList) keys = json_object_get_members(object);
      for (GList* l = keys; l != NULL; l = l->next) {
        const gchar* key = l->data;
        FlValue* value = fl_standin_value_from_json(
            json_object_get_member(object, key), error);
        if (value == NULL) {
          return NULL;
        }
        fl_value_set_string_take(map, key, value);
      }
      return (FlValue*)g_steal_pointer(&map);
    }
  }
  g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA,
              "Unknown JSON node type");
  return NULL;
}

static JsonNode* float_to_json(double number) {
  JsonNode* node = json_node_alloc();
  if (isnan(number)) {
    return json_node_init_string(node, "NaN");
  }
  if (isinf(number)) {
    return json_node_init_string(node, number > 0 ? "Infinity" : "-Infinity");
  }
  return json_node_init_double(node, number);
}

JsonNode* fl_standin_value_to_json(FlValue* value) {
  g_return_val_if_fail(value != NULL, NULL);
  JsonNode* node = json_node_alloc();
  switch (fl_value_get_type(value)) {
    case FL_VALUE_TYPE_NULL:
      return json_node_init_null(node);
    case FL_VALUE_TYPE_BOOL:
      return json_node_init_boolean(node, fl_value_get_bool(value));
    case FL_VALUE_TYPE_INT:
      return json_node_init_int(node, fl_value_get_int(value));
    case FL_VALUE_TYPE_FLOAT:
      json_node_unref(node);
      return float_to_json(fl_value_get_float(value));
    case FL_VALUE_TYPE_STRING:
      return json_node_init_string(node, fl_value_get_string(value));
    case FL_VALUE_TYPE_UINT8_LIST:
    case FL_VALUE_TYPE_INT32_LIST:
    case FL_VALUE_TYPE_INT64_LIST:
    case FL_VALUE_TYPE_FLOAT32_LIST:
    case FL_VALUE_TYPE_FLOAT_LIST: {
      size_t length = fl_value_get_length(value);
      JsonArray* array = json_array_sized_new((guint)length);
      for (size_t i = 0; i < length; i++) {
        switch (fl_value_get_type(value)) {
          case FL_VALUE_TYPE_UINT8_LIST:
            json_array_add_int_element(array,
                                       fl_value_get_uint8_list(value)[i]);
            break;
          case FL_VALUE_TYPE_INT32_LIST:
            json_array_add_int_element(array,
                                       fl_value_get_int32_list(value)[i]);
            break;
          case FL_VALUE_TYPE_INT64_LIST:
            json_array_add_int_element(array,
                                       fl_value_get_int64_list(value)[i]);
            break;
          case FL_VALUE_TYPE_FLOAT32_LIST:
            json_array_add_element(
                array, float_to_json(fl_value_get_float32_list(value)[i]));
            break;
          default:
            json_array_add_element(
                array, float_to_json(fl_value_get_float_list(value)[i]));
            break;
        }
      }
      json_node_init_array(node, array);
      json_array_unref(array);
      return node;
    }
    case FL_VALUE_TYPE_LIST: {
      size_t length = fl_value_get_length(value);
      JsonArray* array = json_array_sized_new((guint)length);
      for (size_t i = 0; i < length; i++) {
        json_array_add_element(
            array, fl_standin_value_to_json(fl_value_get_list_value(value, i)));
      }
      json_node_init_array(node, array);
      json_array_unref(array);
      return node;
    }
    case FL_VALUE_TYPE_MAP: {
      JsonObject* object = json_object_new();
      size_t length = fl_value_get_length(value);
      for (size_t i = 0; i < length; i++) {
        FlValue* key = fl_value_get_map_key(value, i);
        g_autofree gchar* key_text =
            fl_value_get_type(key) == FL_VALUE_TYPE_STRING
                ? g_strdup(fl_value_get_string(key))
                : fl_value_to_string(key);
        json_object_set_member(
            object, key_text,
            fl_standin_value_to_json(fl_value_get_map_value(value, i)));
      }
      json_node_init_object(node, object);
      json_object_unref(object);
      return node;
    }
    case FL_VALUE_TYPE_CUSTOM:
      break;
  }
  return json_node_init_null(node);
}
