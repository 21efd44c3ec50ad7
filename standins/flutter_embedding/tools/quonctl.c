// quonctl: sends one method call to a running quon_vpn through its control
// socket and prints the answer as JSON.
//
//   quonctl [--socket PATH] METHOD [JSON-ARGS]
//
// Exit status: 0 success (the result is printed), 1 error answer (code,
// message and details printed), 2 usage, 3 not implemented, 4 no answer
// (cannot connect, the request was refused, the connection broke).

#include <gio/gio.h>
#include <gio/gunixsocketaddress.h>
#include <json-glib/json-glib.h>
#include <stdio.h>
#include <string.h>

#include "fl_standin_json_nesting.h"

enum {
  kExitSuccess = 0,
  kExitErrorAnswer = 1,
  kExitUsage = 2,
  kExitNotImplemented = 3,
  kExitNoAnswer = 4,
};

// The longest answer read; far above anything the channel returns.
static const gsize kMaxAnswer = (gsize)16 * 1024 * 1024;
// A "start" may take most of a minute before it answers.
static const guint kTimeoutSeconds = 180;

static const char kUsage[] =
    "Usage: quonctl [--socket PATH] METHOD [JSON-ARGS]\n"
    "Sends METHOD with the JSON arguments on the channel \"v2ray\" of a\n"
    "running quon_vpn started with --control-socket, and prints the answer.\n"
    "The socket defaults to $XDG_RUNTIME_DIR/quon_vpn-control.sock.\n";

static int usage_error(const gchar* message) {
  g_printerr("quonctl: %s\n%s", message, kUsage);
  return kExitUsage;
}

static gchar* to_json(JsonNode* node, gboolean pretty) {
  g_autoptr(JsonGenerator) generator = json_generator_new();
  json_generator_set_pretty(generator, pretty);
  json_generator_set_root(generator, node);
  return json_generator_to_data(generator, NULL);
}

static void print_node(JsonNode* node) {
  g_autofree gchar* text = to_json(node, TRUE);
  g_print("%s\n", text);
}

static gchar* read_answer(GInputStream* in, GError** error) {
  g_autoptr(GByteArray) answer = g_byte_array_new();
  guint8 chunk[4096];
  for (;;) {
    gssize n = g_input_stream_read(in, chunk, sizeof(chunk), NULL, error);
    if (n < 0) {
      return NULL;
    }
    if (n == 0) {
      break;
    }
    const guint8* newline = memchr(chunk, '\n', (size_t)n);
    g_byte_array_append(answer, chunk,
                        newline != NULL ? (guint)(newline - chunk) : (guint)n);
    if (newline != NULL) {
      break;
    }
    if (answer->len > kMaxAnswer) {
      g_set_error(error, G_IO_ERROR, G_IO_ERROR_MESSAGE_TOO_LARGE,
                  "Answer longer than %zu bytes", (size_t)kMaxAnswer);
      return NULL;
    }
  }
  if (answer->len == 0) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_CONNECTION_CLOSED,
                "The connection closed without an answer");
    return NULL;
  }
  guint8 nul = 0;
  g_byte_array_append(answer, &nul, 1);
  return (gchar*)g_byte_array_free(g_steal_pointer(&answer), FALSE);
}

static int print_answer(const gchar* text) {
  g_autoptr(JsonParser) parser = json_parser_new();
  g_autoptr(GError) error = NULL;
  if (!json_parser_load_from_data(parser, text, -1, &error) ||
      !JSON_NODE_HOLDS_OBJECT(json_parser_get_root(parser))) {
    g_printerr("quonctl: unreadable answer: %s\n",
               error != NULL ? error->message : "not a JSON object");
    return kExitNoAnswer;
  }
  JsonObject* answer = json_node_get_object(json_parser_get_root(parser));
  const gchar* status =
      json_object_get_string_member_with_default(answer, "status", "");
  if (strcmp(status, "success") == 0) {
    JsonNode* result = json_object_get_member(answer, "result");
    g_autoptr(JsonNode) null_node = json_node_new(JSON_NODE_NULL);
    print_node(result != NULL ? result : null_node);
    return kExitSuccess;
  }
  if (strcmp(status, "error") == 0) {
    JsonObject* printed = json_object_new();
    const char* const members[] = {"code", "message", "details"};
    for (size_t i = 0; i < G_N_ELEMENTS(members); i++) {
      JsonNode* member = json_object_get_member(answer, members[i]);
      json_object_set_member(printed, members[i],
                             member != NULL ? json_node_copy(member)
                                            : json_node_new(JSON_NODE_NULL));
    }
    g_autoptr(JsonNode) node =
        json_node_init_object(json_node_alloc(), printed);
    json_object_unref(printed);
    print_node(node);
    return kExitErrorAnswer;
  }
  if (strcmp(status, "not_implemented") == 0) {
    g_print("{\n  \"not_implemented\" : true\n}\n");
    return kExitNotImplemented;
  }
  g_printerr("quonctl: %s: %s\n", status[0] != '\0' ? status : "no status",
             json_object_get_string_member_with_default(answer, "message",
                                                        "no message"));
  return kExitNoAnswer;
}

int main(int argc, char** argv) {
  g_autofree gchar* socket_path = NULL;
  int i = 1;
  for (; i < argc; i++) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      g_print("%s", kUsage);
      return kExitSuccess;
    }
    if (strcmp(argv[i], "--socket") == 0) {
      if (i + 1 >= argc) {
        return usage_error("--socket needs a path");
      }
      g_free(socket_path);
      socket_path = g_strdup(argv[++i]);
    } else if (g_str_has_prefix(argv[i], "--socket=")) {
      g_free(socket_path);
      socket_path = g_strdup(argv[i] + strlen("--socket="));
    } else if (strcmp(argv[i], "--") == 0) {
      i++;
      break;
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      g_autofree gchar* message = g_strdup_printf("unknown option %s", argv[i]);
      return usage_error(message);
    } else {
      break;
    }
  }
  if (i >= argc) {
    return usage_error("no METHOD given");
  }
  const gchar* method = argv[i++];
  const gchar* args_text = i < argc ? argv[i++] : NULL;
  if (i < argc) {
    return usage_error("too many arguments");
  }
  if (method[0] == '\0') {
    return usage_error("METHOD is empty");
  }

  JsonObject* request = json_object_new();
  json_object_set_string_member(request, "method", method);
  if (args_text != NULL) {
    if (!fl_standin_json_nesting_within(args_text, strlen(args_text),
                                        FL_STANDIN_MAX_ARGS_DEPTH)) {
      json_object_unref(request);
      g_autofree gchar* message = g_strdup_printf(
          "JSON-ARGS nested deeper than %u levels", FL_STANDIN_MAX_ARGS_DEPTH);
      return usage_error(message);
    }
    g_autoptr(JsonParser) parser = json_parser_new();
    g_autoptr(GError) error = NULL;
    if (!json_parser_load_from_data(parser, args_text, -1, &error)) {
      json_object_unref(request);
      g_autofree gchar* message =
          g_strdup_printf("JSON-ARGS is not JSON: %s", error->message);
      return usage_error(message);
    }
    JsonNode* root = json_parser_get_root(parser);
    json_object_set_member(
        request, "args",
        root != NULL ? json_node_copy(root) : json_node_new(JSON_NODE_NULL));
  }
  g_autoptr(JsonNode) request_node =
      json_node_init_object(json_node_alloc(), request);
  json_object_unref(request);
  g_autofree gchar* request_text = to_json(request_node, FALSE);
  g_autofree gchar* line = g_strconcat(request_text, "\n", NULL);

  if (socket_path == NULL) {
    const gchar* runtime_dir = g_getenv("XDG_RUNTIME_DIR");
    if (runtime_dir == NULL || runtime_dir[0] == '\0') {
      return usage_error(
          "XDG_RUNTIME_DIR is not set; give the socket with --socket PATH");
    }
    socket_path = g_build_filename(runtime_dir, "quon_vpn-control.sock", NULL);
  }

  g_autoptr(GSocketClient) client = g_socket_client_new();
  g_socket_client_set_timeout(client, kTimeoutSeconds);
  g_autoptr(GSocketAddress) address = g_unix_socket_address_new(socket_path);
  g_autoptr(GError) error = NULL;
  g_autoptr(GSocketConnection) connection = g_socket_client_connect(
      client, G_SOCKET_CONNECTABLE(address), NULL, &error);
  if (connection == NULL) {
    g_printerr("quonctl: cannot connect to %s: %s\n", socket_path,
               error->message);
    return kExitNoAnswer;
  }
  GOutputStream* out = g_io_stream_get_output_stream(G_IO_STREAM(connection));
  if (!g_output_stream_write_all(out, line, strlen(line), NULL, NULL, &error)) {
    g_printerr("quonctl: cannot send the request: %s\n", error->message);
    return kExitNoAnswer;
  }
  g_autofree gchar* answer = read_answer(
      g_io_stream_get_input_stream(G_IO_STREAM(connection)), &error);
  if (answer == NULL) {
    g_printerr("quonctl: no answer: %s\n", error->message);
    return kExitNoAnswer;
  }
  return print_answer(answer);
}
