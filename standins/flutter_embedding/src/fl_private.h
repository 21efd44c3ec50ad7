#ifndef EMBEDDING_SRC_FL_PRIVATE_H_
#define EMBEDDING_SRC_FL_PRIVATE_H_

// Constructors and helpers shared inside the stand-in embedding only.

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

// The in-process messenger an engine owns.
G_DECLARE_FINAL_TYPE(FlBinaryMessengerImpl,
                     fl_binary_messenger_impl,
                     FL,
                     BINARY_MESSENGER_IMPL,
                     GObject)

// Returns (transfer full) a messenger that delivers on the thread-default
// main context of the caller.
FlBinaryMessengerImpl* fl_binary_messenger_impl_new(void);

// Counts an answer that a channel on |self| could not encode; see
// fl_standin_messenger_get_unencodable_count().
void fl_binary_messenger_impl_count_unencodable(FlBinaryMessengerImpl* self);

// Returns (transfer full) a call of |name| with |args| (transfer none;
// referenced) that answers through |channel| and |response_handle|.
FlMethodCall* fl_method_call_new(const gchar* name,
                                 FlValue* args,
                                 FlMethodChannel* channel,
                                 FlBinaryMessengerResponseHandle* handle);

// Encodes |response| with the channel's codec and sends it.
gboolean fl_method_channel_respond(FlMethodChannel* channel,
                                   FlBinaryMessengerResponseHandle* handle,
                                   FlMethodResponse* response,
                                   GError** error);

// Returns (transfer full) a registrar for |view| (weakly held) and
// |messenger| (referenced).
FlPluginRegistrar* fl_plugin_registrar_new(FlView* view,
                                           FlBinaryMessenger* messenger);

G_END_DECLS

#endif  // EMBEDDING_SRC_FL_PRIVATE_H_
