#ifndef FLUTTER_LINUX_STANDIN_FL_STANDIN_H_
#define FLUTTER_LINUX_STANDIN_FL_STANDIN_H_

// What the stand-in embedding offers beyond the public Flutter API: the codec
// entry points the real embedding keeps private, the "Dart side" that sends
// method calls into the platform handlers, bookkeeping that tests read, and
// the control socket. Applications must not include this header: it does not
// exist in the real embedding.

#include <flutter_linux/flutter_linux.h>
#include <json-glib/json-glib.h>

G_BEGIN_DECLS

// Codec entry points a channel uses (transfer as in FlMethodCodecClass).
GBytes* fl_method_codec_encode_method_call(FlMethodCodec* codec,
                                           const gchar* name,
                                           FlValue* args,
                                           GError** error);
gboolean fl_method_codec_decode_method_call(FlMethodCodec* codec,
                                            GBytes* message,
                                            gchar** name,
                                            FlValue** args,
                                            GError** error);
GBytes* fl_method_codec_encode_success_envelope(FlMethodCodec* codec,
                                                FlValue* result,
                                                GError** error);
GBytes* fl_method_codec_encode_error_envelope(FlMethodCodec* codec,
                                              const gchar* code,
                                              const gchar* message,
                                              FlValue* details,
                                              GError** error);
// An empty |message| is the not-implemented answer.
FlMethodResponse* fl_method_codec_decode_response(FlMethodCodec* codec,
                                                  GBytes* message,
                                                  GError** error);

// Bookkeeping of a messenger made by an FlEngine, for tests: answers given
// twice (each also fails with FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED)
// and messages whose response handle was freed without any answer (each also
// logs a warning and fails the sender with G_IO_ERROR_BROKEN_PIPE).
guint fl_standin_messenger_get_double_response_count(
    FlBinaryMessenger* messenger);
guint fl_standin_messenger_get_unanswered_count(FlBinaryMessenger* messenger);
// Answers a channel could not encode: above all strings that are not valid
// UTF-8, which the real embedding would send and Dart would refuse to decode.
// Each also fails its fl_method_call_respond*() with the codec's error and
// leaves the call unanswered.
guint fl_standin_messenger_get_unencodable_count(FlBinaryMessenger* messenger);

// The Dart side of a method channel: encodes a call of |method| with |args|
// (transfer none; NULL for null) with the standard method codec and sends it
// to the platform handler of |channel|. Never creates a channel, so the
// platform's handler stays in place.
void fl_standin_invoke_method(FlBinaryMessenger* messenger,
                              const gchar* channel,
                              const gchar* method,
                              FlValue* args,
                              GCancellable* cancellable,
                              GAsyncReadyCallback callback,
                              gpointer user_data);

// Returns (transfer full) the decoded answer, or NULL with |error| set (an
// unreadable answer, one holding a string that is not UTF-8, a message nobody
// answered). A channel without a handler answers empty, which decodes as
// not-implemented.
FlMethodResponse* fl_standin_invoke_method_finish(GAsyncResult* result,
                                                  GError** error);

// Conversions between JSON and values. JSON objects become maps with string
// keys, arrays lists, integral numbers ints, other numbers floats.
// Returns (transfer full) the value, or NULL with |error| set for a node it
// cannot carry.
FlValue* fl_standin_value_from_json(JsonNode* node, GError** error);
// Returns (transfer full) the JSON form of |value|: typed lists become
// arrays; maps become objects, keys that are not strings written as their
// fl_value_to_string() text; floats that JSON cannot hold (NaN, infinities)
// become the strings "NaN", "Infinity" and "-Infinity".
JsonNode* fl_standin_value_to_json(FlValue* value);

/**
 * FlStandinControlServer:
 *
 * Listens on a Unix stream socket and turns each request line
 *   {"method": NAME, "args": JSON}
 * into a method call on one channel of a messenger, answering one line:
 *   {"status": "success", "result": JSON}
 *   {"status": "error", "code": C, "message": M|null, "details": JSON}
 *   {"status": "not_implemented"}
 *   {"status": "bad_request", "message": M}
 * and then closing the connection. All I/O is asynchronous on the main
 * context.
 */
G_DECLARE_FINAL_TYPE(FlStandinControlServer,
                     fl_standin_control_server,
                     FL_STANDIN,
                     CONTROL_SERVER,
                     GObject)

// Longest request line accepted, newline included.
#define FL_STANDIN_CONTROL_MAX_REQUEST 4194304u  // 4 MiB

// Returns (transfer full) the default socket path
// "$XDG_RUNTIME_DIR/quon_vpn-control.sock", or NULL with |error| set when
// XDG_RUNTIME_DIR is not set.
gchar* fl_standin_control_socket_default_path(GError** error);

// Returns (transfer full) a server listening at |path| (mode 0600) that sends
// calls to |channel| on |messenger| (transfer none; weakly held), or NULL with
// |error| set. A stale socket left at |path| is replaced; a live one or any
// other file is an error. The socket file is removed when the server goes.
FlStandinControlServer* fl_standin_control_server_new(
    FlBinaryMessenger* messenger,
    const gchar* channel,
    const gchar* path,
    GError** error);

// Returns (transfer none) the path the server listens on.
const gchar* fl_standin_control_server_get_path(FlStandinControlServer* self);

G_END_DECLS

#endif  // FLUTTER_LINUX_STANDIN_FL_STANDIN_H_
