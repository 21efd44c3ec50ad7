#ifndef FLUTTER_LINUX_FL_METHOD_RESPONSE_H_
#define FLUTTER_LINUX_FL_METHOD_RESPONSE_H_

#if !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

#include "fl_value.h"

G_BEGIN_DECLS

/**
 * FlMethodResponseError:
 * @FL_METHOD_RESPONSE_ERROR_FAILED: the call failed for another reason.
 * @FL_METHOD_RESPONSE_ERROR_REMOTE_ERROR: the other side answered an error.
 * @FL_METHOD_RESPONSE_ERROR_NOT_IMPLEMENTED: the other side does not know
 *   the method.
 */
#define FL_METHOD_RESPONSE_ERROR fl_method_response_error_quark()

typedef enum {
  FL_METHOD_RESPONSE_ERROR_FAILED,
  FL_METHOD_RESPONSE_ERROR_REMOTE_ERROR,
  FL_METHOD_RESPONSE_ERROR_NOT_IMPLEMENTED,
} FlMethodResponseError;

G_MODULE_EXPORT
GQuark fl_method_response_error_quark(void) G_GNUC_CONST;

G_MODULE_EXPORT
G_DECLARE_DERIVABLE_TYPE(FlMethodResponse,
                         fl_method_response,
                         FL,
                         METHOD_RESPONSE,
                         GObject)

struct _FlMethodResponseClass {
  GObjectClass parent_class;
};

G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlMethodSuccessResponse,
                     fl_method_success_response,
                     FL,
                     METHOD_SUCCESS_RESPONSE,
                     FlMethodResponse)

G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlMethodErrorResponse,
                     fl_method_error_response,
                     FL,
                     METHOD_ERROR_RESPONSE,
                     FlMethodResponse)

G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlMethodNotImplementedResponse,
                     fl_method_not_implemented_response,
                     FL,
                     METHOD_NOT_IMPLEMENTED_RESPONSE,
                     FlMethodResponse)

// Returns (transfer none) the result of a success response. For an error or
// not-implemented response returns NULL and sets |error|
// (FL_METHOD_RESPONSE_ERROR_REMOTE_ERROR / _NOT_IMPLEMENTED).
G_MODULE_EXPORT
FlValue* fl_method_response_get_result(FlMethodResponse* response,
                                       GError** error);

// Returns (transfer full) a success response. |result| (transfer none) is
// referenced; NULL stands for a null value.
G_MODULE_EXPORT
FlMethodSuccessResponse* fl_method_success_response_new(FlValue* result);

// Returns (transfer none) the result; never NULL.
G_MODULE_EXPORT
FlValue* fl_method_success_response_get_result(
    FlMethodSuccessResponse* response);

// Returns (transfer full) an error response. |code| is required and copied;
// |message| may be NULL and is copied; |details| (transfer none) may be NULL
// and is referenced.
G_MODULE_EXPORT
FlMethodErrorResponse* fl_method_error_response_new(const gchar* code,
                                                    const gchar* message,
                                                    FlValue* details);

// The parts of an error response, all (transfer none); message and details
// may be NULL.
G_MODULE_EXPORT
const gchar* fl_method_error_response_get_code(FlMethodErrorResponse* response);
G_MODULE_EXPORT
const gchar* fl_method_error_response_get_message(
    FlMethodErrorResponse* response);
G_MODULE_EXPORT
FlValue* fl_method_error_response_get_details(FlMethodErrorResponse* response);

// Returns (transfer full) the answer to a method nobody implements.
G_MODULE_EXPORT
FlMethodNotImplementedResponse* fl_method_not_implemented_response_new();

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_METHOD_RESPONSE_H_
