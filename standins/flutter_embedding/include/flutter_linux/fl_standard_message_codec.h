#ifndef FLUTTER_LINUX_FL_STANDARD_MESSAGE_CODEC_H_
#define FLUTTER_LINUX_FL_STANDARD_MESSAGE_CODEC_H_

#if !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <gmodule.h>

#include "fl_message_codec.h"

G_BEGIN_DECLS

G_MODULE_EXPORT
G_DECLARE_DERIVABLE_TYPE(FlStandardMessageCodec,
                         fl_standard_message_codec,
                         FL,
                         STANDARD_MESSAGE_CODEC,
                         FlMessageCodec)

/**
 * FlStandardMessageCodecClass:
 * @write_value: appends the encoding of one value to a buffer. Subclasses
 *   that carry extra types override it and chain up for the others.
 * @read_value: reads one value at *offset and advances it; returns
 *   (transfer full) the value or NULL with @error set.
 *
 * The codec of Flutter's StandardMessageCodec: a type byte per value, sizes
 * in one, three or five bytes, numbers in host byte order, wide numbers
 * aligned from the start of the message.
 */
struct _FlStandardMessageCodecClass {
  FlMessageCodecClass parent_class;

  gboolean (*write_value)(FlStandardMessageCodec* codec,
                          GByteArray* buffer,
                          FlValue* value,
                          GError** error);
  FlValue* (*read_value_of_type)(FlStandardMessageCodec* codec,
                                 GBytes* buffer,
                                 size_t* offset,
                                 int type,
                                 GError** error);
};

// Returns (transfer full) a new codec.
G_MODULE_EXPORT
FlStandardMessageCodec* fl_standard_message_codec_new();

// Appends |size| in the codec's one-, three- or five-byte form.
G_MODULE_EXPORT
void fl_standard_message_codec_write_size(FlStandardMessageCodec* codec,
                                          GByteArray* buffer,
                                          uint32_t size);

// Reads a size at *|offset| of |buffer| and advances *|offset|.
G_MODULE_EXPORT
gboolean fl_standard_message_codec_read_size(FlStandardMessageCodec* codec,
                                             GBytes* buffer,
                                             size_t* offset,
                                             uint32_t* value,
                                             GError** error);

// Appends the encoding of |value| (transfer none; NULL writes null).
G_MODULE_EXPORT
gboolean fl_standard_message_codec_write_value(FlStandardMessageCodec* codec,
                                               GByteArray* buffer,
                                               FlValue* value,
                                               GError** error);

// Returns (transfer full) the value at *|offset| and advances *|offset|, or
// NULL with |error| set.
G_MODULE_EXPORT
FlValue* fl_standard_message_codec_read_value(FlStandardMessageCodec* codec,
                                              GBytes* buffer,
                                              size_t* offset,
                                              GError** error);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_STANDARD_MESSAGE_CODEC_H_
