#ifndef FLUTTER_LINUX_FL_METHOD_CALL_H_
#define FLUTTER_LINUX_FL_METHOD_CALL_H_

#if !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

#include "fl_method_response.h"
#include "fl_value.h"

G_BEGIN_DECLS

/**
 * FlMethodCall:
 *
 * One incoming method call. Handlers get it (transfer none); to answer after
 * returning, take a reference and drop it after answering. Every call must be
 * answered exactly once.
 */
G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlMethodCall, fl_method_call, FL, METHOD_CALL, GObject)

// Returns (transfer none) the name of the method.
G_MODULE_EXPORT
const gchar* fl_method_call_get_name(FlMethodCall* method_call);

// Returns (transfer none) the arguments; a call without arguments has a value
// of type FL_VALUE_TYPE_NULL, never NULL.
G_MODULE_EXPORT
FlValue* fl_method_call_get_args(FlMethodCall* method_call);

// Sends |response| (transfer none). Fails with
// FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED on a second answer.
G_MODULE_EXPORT
gboolean fl_method_call_respond(FlMethodCall* method_call,
                                FlMethodResponse* response,
                                GError** error);

// Answers with success; |result| (transfer none) may be NULL for null.
G_MODULE_EXPORT
gboolean fl_method_call_respond_success(FlMethodCall* method_call,
                                        FlValue* result,
                                        GError** error);

// Answers with an error; |code| is required, |message| and |details|
// (transfer none) may be NULL.
G_MODULE_EXPORT
gboolean fl_method_call_respond_error(FlMethodCall* method_call,
                                      const gchar* code,
                                      const gchar* message,
                                      FlValue* details,
                                      GError** error);

// Answers that the method is not implemented.
G_MODULE_EXPORT
gboolean fl_method_call_respond_not_implemented(FlMethodCall* method_call,
                                                GError** error);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_METHOD_CALL_H_
