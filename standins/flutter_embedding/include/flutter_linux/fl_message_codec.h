#ifndef FLUTTER_LINUX_FL_MESSAGE_CODEC_H_
#define FLUTTER_LINUX_FL_MESSAGE_CODEC_H_

#if !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

#include "fl_value.h"

G_BEGIN_DECLS

/**
 * FlMessageCodecError:
 * @FL_MESSAGE_CODEC_ERROR_FAILED: any other failure.
 * @FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA: the message ended inside a value.
 * @FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA: bytes were left after the value.
 * @FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE: a value the codec cannot carry.
 */
#define FL_MESSAGE_CODEC_ERROR fl_message_codec_error_quark()

typedef enum {
  FL_MESSAGE_CODEC_ERROR_FAILED,
  FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA,
  FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA,
  FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE,
} FlMessageCodecError;

G_MODULE_EXPORT
GQuark fl_message_codec_error_quark(void) G_GNUC_CONST;

G_MODULE_EXPORT
G_DECLARE_DERIVABLE_TYPE(FlMessageCodec,
                         fl_message_codec,
                         FL,
                         MESSAGE_CODEC,
                         GObject)

/**
 * FlMessageCodecClass:
 * @encode_message: turns a value into bytes; returns (transfer full) bytes
 *   or NULL with @error set.
 * @decode_message: turns bytes into a value; returns (transfer full) the
 *   value or NULL with @error set.
 */
struct _FlMessageCodecClass {
  GObjectClass parent_class;

  GBytes* (*encode_message)(FlMessageCodec* codec,
                            FlValue* message,
                            GError** error);
  FlValue* (*decode_message)(FlMessageCodec* codec,
                             GBytes* message,
                             GError** error);
};

// Returns (transfer full) the encoding of |message| (transfer none; NULL is
// encoded as a null value), or NULL with |error| set.
G_MODULE_EXPORT
GBytes* fl_message_codec_encode_message(FlMessageCodec* codec,
                                        FlValue* message,
                                        GError** error);

// Returns (transfer full) the value held by |message| (transfer none), or
// NULL with |error| set. An empty message decodes to a null value.
G_MODULE_EXPORT
FlValue* fl_message_codec_decode_message(FlMessageCodec* codec,
                                         GBytes* message,
                                         GError** error);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_MESSAGE_CODEC_H_
