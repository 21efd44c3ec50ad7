#ifndef EMBEDDING_SRC_FL_STANDIN_JSON_NESTING_H_
#define EMBEDDING_SRC_FL_STANDIN_JSON_NESTING_H_

// Shared by the control socket and quonctl: json-glib parses, copies and
// writes JSON recursively without a depth limit of its own, so a text of
// nothing but brackets overflows the stack. This counts the brackets outside
// strings first, in one pass over the text.

#include <glib.h>

// Deepest nesting of call arguments: as deep as the message codec carries.
#define FL_STANDIN_MAX_ARGS_DEPTH 512u

// Returns whether |text| (|length| bytes) nests arrays and objects at most
// |limit| levels deep.
static inline gboolean fl_standin_json_nesting_within(const gchar* text,
                                                      gsize length,
                                                      guint limit) {
  guint depth = 0;
  gboolean in_string = FALSE;
  for (gsize i = 0; i < length; i++) {
    gchar c = text[i];
    if (in_string) {
      if (c == '\\') {
        i++;
      } else if (c == '"') {
        in_string = FALSE;
      }
    } else if (c == '"') {
      in_string = TRUE;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) {
        return FALSE;
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      depth--;
    }
  }
  return TRUE;
}

#endif  // EMBEDDING_SRC_FL_STANDIN_JSON_NESTING_H_
