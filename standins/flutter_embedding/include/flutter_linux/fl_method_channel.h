#ifndef FLUTTER_LINUX_FL_METHOD_CHANNEL_H_
#define FLUTTER_LINUX_FL_METHOD_CHANNEL_H_

#if !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <gio/gio.h>
#include <glib-object.h>
#include <gmodule.h>

#include "fl_binary_messenger.h"
#include "fl_method_call.h"
#include "fl_method_codec.h"
#include "fl_method_response.h"

G_BEGIN_DECLS

G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlMethodChannel,
                     fl_method_channel,
                     FL,
                     METHOD_CHANNEL,
                     GObject)

/**
 * FlMethodChannelMethodCallHandler:
 * @channel: the channel.
 * @method_call: (transfer none) the call; see #FlMethodCall.
 * @user_data: as given when the handler was set.
 */
typedef void (*FlMethodChannelMethodCallHandler)(FlMethodChannel* channel,
                                                 FlMethodCall* method_call,
                                                 gpointer user_data);

// Returns (transfer full) a channel named |name| on |messenger| using |codec|
// (referenced), or NULL when an argument is invalid. The channel registers
// itself on the messenger, which keeps it alive until the messenger goes or
// another handler takes the name.
G_MODULE_EXPORT
FlMethodChannel* fl_method_channel_new(FlBinaryMessenger* messenger,
                                       const gchar* name,
                                       FlMethodCodec* codec);

// Sets the handler of incoming calls; replaces (and runs the destroy notify
// of) an earlier one. Calls arriving while no handler is set are dropped
// without an answer.
G_MODULE_EXPORT
void fl_method_channel_set_method_call_handler(
    FlMethodChannel* channel,
    FlMethodChannelMethodCallHandler handler,
    gpointer user_data,
    GDestroyNotify destroy_notify);

// Calls |method| with |args| (transfer none; may be NULL) on the other side.
G_MODULE_EXPORT
void fl_method_channel_invoke_method(FlMethodChannel* channel,
                                     const gchar* method,
                                     FlValue* args,
                                     GCancellable* cancellable,
                                     GAsyncReadyCallback callback,
                                     gpointer user_data);

// Returns (transfer full) the answer of an invoke, or NULL with |error| set.
G_MODULE_EXPORT
FlMethodResponse* fl_method_channel_invoke_method_finish(
    FlMethodChannel* channel,
    GAsyncResult* result,
    GError** error);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_METHOD_CHANNEL_H_
