// A local control socket for driving the method channel from scripts and
// tests (see quonctl). One request per connection: a JSON line in, a JSON
// line out. Everything runs asynchronously on the main context, so a slow,
// silent or hostile client never holds up the user interface.

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gio/gunixsocketaddress.h>

#include "fl_standin_json_nesting.h"
#include "flutter_linux_standin/fl_standin.h"

static const char kSocketName[] = "quon_vpn-control.sock";
// Connections served at the same time; more are refused at once.
static const guint kMaxConnections = 32;
// A client must have sent its request line within this time.
static const guint kRequestTimeoutSeconds = 10;
// A client that takes no part of its answer for this long is dropped, so that
// clients which never read cannot hold every connection slot.
static const guint kAnswerTimeoutSeconds = 10;
static const gsize kReadChunk = 4096;
// Deepest nesting of a request: the request object around the arguments.
static const guint kMaxRequestDepth = 1 + FL_STANDIN_MAX_ARGS_DEPTH;

struct _FlStandinControlServer {
  GObject parent_instance;
  FlBinaryMessenger* messenger;  // Weak.
  gchar* channel;
  gchar* path;
  dev_t socket_dev;  // Identity of our socket file, so that we only ever
  ino_t socket_ino;  // remove the file we made.
  GSocketService* service;
  GCancellable* cancellable;  // Cancels every connection on dispose.
  GList* connections;         // Connection*, not owned.
};

G_DEFINE_TYPE(FlStandinControlServer, fl_standin_control_server, G_TYPE_OBJECT)

// One client. Every asynchronous operation in flight holds a reference; the
// last one to finish frees it, which closes the socket.
typedef struct {
  gint refs;
  FlStandinControlServer* server;  // NULL once the server is gone.
  GSocketConnection* connection;
  GCancellable* cancellable;       // The server's: cancelled on dispose.
  GCancellable* read_cancellable;  // Stops reading once an answer is due.
  GByteArray* request;
  GBytes* answer;
  guint timeout_source;
  gboolean answered;  // An answer has been queued; read no further.
} Connection;

static Connection* connection_ref(Connection* conn) {
  conn->refs++;
  return conn;
}

static void connection_unref(gpointer data) {
  Connection* conn = data;
  if (--conn->refs > 0) {
    return;
  }
  if (conn->server != NULL) {
    conn->server->connections = g_list_remove(conn->server->connections, conn);
  }
  g_clear_object(&conn->connection);
  g_clear_object(&conn->cancellable);
  g_clear_object(&conn->read_cancellable);
  g_clear_pointer(&conn->request, g_byte_array_unref);
  g_clear_pointer(&conn->answer, g_bytes_unref);
  g_free(conn);
}

static void write_cb(GObject* object, GAsyncResult* result, gpointer data) {
  Connection* conn = data;
  g_autoptr(GError) error = NULL;
  if (!g_output_stream_write_all_finish(G_OUTPUT_STREAM(object), result, NULL,
                                        &error)) {
    g_debug("Control client went away before its answer: %s", error->message);
  }
  connection_unref(conn);
}

// Sends |answer| (transfer full) as one line; the connection closes once it
// is written and nothing else holds it.
static void send_answer(Connection* conn, JsonNode* answer) {
  g_return_if_fail(!conn->answered);
  conn->answered = TRUE;
  g_cancellable_cancel(conn->read_cancellable);
  if (conn->timeout_source != 0) {
    g_source_remove(conn->timeout_source);
    conn->timeout_source = 0;
  }
  g_autoptr(JsonGenerator) generator = json_generator_new();
  json_generator_set_root(generator, answer);
  json_node_unref(answer);
  gsize length = 0;
  g_autofree gchar* text = json_generator_to_data(generator, &length);
  GString* line = g_string_new_len(text, (gssize)length);
  g_string_append_c(line, '\n');
  conn->answer = g_string_free_to_bytes(line);
  gsize size = 0;
  const void* bytes = g_bytes_get_data(conn->answer, &size);
  g_socket_set_timeout(g_socket_connection_get_socket(conn->connection),
                       kAnswerTimeoutSeconds);
  g_output_stream_write_all_async(
      g_io_stream_get_output_stream(G_IO_STREAM(conn->connection)), bytes, size,
      G_PRIORITY_DEFAULT, conn->cancellable, write_cb, connection_ref(conn));
}

static JsonNode* status_answer(const gchar* status) {
  JsonObject* object = json_object_new();
  json_object_set_string_member(object, "status", status);
  JsonNode* node = json_node_init_object(json_node_alloc(), object);
  json_object_unref(object);
  return node;
}

static void send_failure(Connection* conn,
                         const gchar* status,
                         const gchar* message) {
  JsonNode* node = status_answer(status);
  json_object_set_string_member(json_node_get_object(node), "message", message);
  send_answer(conn, node);
}

static void invoke_cb(GObject* object, GAsyncResult* result, gpointer data) {
  Connection* conn = data;
  g_autoptr(GError) error = NULL;
  g_autoptr(FlMethodResponse) response =
      fl_standin_invoke_method_finish(result, &error);
  if (response == NULL) {
    if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
      send_failure(conn, "failed", error->message);
    }
  } else if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    JsonNode* node = status_answer("success");
    json_object_set_member(
        json_node_get_object(node), "result",
        fl_standin_value_to_json(fl_method_success_response_get_result(
            FL_METHOD_SUCCESS_RESPONSE(response))));
    send_answer(conn, node);
  } else if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* error_response = FL_METHOD_ERROR_RESPONSE(response);
    JsonNode* node = status_answer("error");
    JsonObject* object = json_node_get_object(node);
    json_object_set_string_member(
        object, "code", fl_method_error_response_get_code(error_response));
    const gchar* message = fl_method_error_response_get_message(error_response);
    if (message != NULL) {
      json_object_set_string_member(object, "message", message);
    } else {
      json_object_set_null_member(object, "message");
    }
    FlValue* details = fl_method_error_response_get_details(error_response);
    if (details != NULL) {
      json_object_set_member(object, "details",
                             fl_standin_value_to_json(details));
    } else {
      json_object_set_null_member(object, "details");
    }
    send_answer(conn, node);
  } else {
    send_answer(conn, status_answer("not_implemented"));
  }
  connection_unref(conn);
}

static void handle_request(Connection* conn, const gchar* text, gsize length) {
  // Stop the clock and the reading: the request is complete.
  if (conn->timeout_source != 0) {
    g_source_remove(conn->timeout_source);
    conn->timeout_source = 0;
  }
  if (!g_utf8_validate(text, (gssize)length, NULL)) {
    send_failure(conn, "bad_request", "Request is not UTF-8 text");
    return;
  }
  if (!fl_standin_json_nesting_within(text, length, kMaxRequestDepth)) {
    g_autofree gchar* message = g_strdup_printf(
        "Request nested deeper than %u levels", kMaxRequestDepth);
    send_failure(conn, "bad_request", message);
    return;
  }
  g_autoptr(JsonParser) parser = json_parser_new();
  g_autoptr(GError) error = NULL;
  if (!json_parser_load_from_data(parser, text, (gssize)length, &error)) {
    g_autofree gchar* message =
        g_strdup_printf("Request is not JSON: %s", error->message);
    send_failure(conn, "bad_request", message);
    return;
  }
  JsonNode* root = json_parser_get_root(parser);
  if (root == NULL || !JSON_NODE_HOLDS_OBJECT(root)) {
    send_failure(conn, "bad_request", "Request is not a JSON object");
    return;
  }
  JsonObject* request = json_node_get_object(root);
  JsonNode* method = json_object_get_member(request, "method");
  if (method == NULL || json_node_get_value_type(method) != G_TYPE_STRING ||
      json_node_get_string(method)[0] == '\0') {
    send_failure(conn, "bad_request",
                 "Request has no \"method\" (a non-empty string)");
    return;
  }
  g_autoptr(FlValue) args = NULL;
  JsonNode* args_node = json_object_get_member(request, "args");
  if (args_node != NULL) {
    args = fl_standin_value_from_json(args_node, &error);
    if (args == NULL) {
      g_autofree gchar* message =
          g_strdup_printf("Bad \"args\": %s", error->message);
      send_failure(conn, "bad_request", message);
      return;
    }
  }
  if (conn->server == NULL || conn->server->messenger == NULL) {
    send_failure(conn, "failed", "The engine is gone");
    return;
  }
  fl_standin_invoke_method(conn->server->messenger, conn->server->channel,
                           json_node_get_string(method), args,
                           conn->cancellable, invoke_cb, connection_ref(conn));
}

static void read_cb(GObject* object, GAsyncResult* result, gpointer data);

static void read_more(Connection* conn) {
  g_input_stream_read_bytes_async(
      g_io_stream_get_input_stream(G_IO_STREAM(conn->connection)), kReadChunk,
      G_PRIORITY_DEFAULT, conn->read_cancellable, read_cb,
      connection_ref(conn));
}

static void read_cb(GObject* object, GAsyncResult* result, gpointer data) {
  Connection* conn = data;
  g_autoptr(GError) error = NULL;
  g_autoptr(GBytes) chunk =
      g_input_stream_read_bytes_finish(G_INPUT_STREAM(object), result, &error);
  if (conn->answered) {
    // Timed out or refused meanwhile; the answer is on its way.
  } else if (chunk == NULL) {
    if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
      g_debug("Control client read failed: %s", error->message);
    }
  } else if (g_bytes_get_size(chunk) == 0) {
    // The client closed its side: what it sent is the request, if anything.
    if (conn->request->len > 0) {
      handle_request(conn, (const gchar*)conn->request->data,
                     conn->request->len);
    }
  } else {
    gsize size = 0;
    const guint8* bytes = g_bytes_get_data(chunk, &size);
    const guint8* newline = memchr(bytes, '\n', size);
    gsize take = newline != NULL ? (gsize)(newline - bytes) : size;
    if (conn->request->len + take >= FL_STANDIN_CONTROL_MAX_REQUEST) {
      g_autofree gchar* message = g_strdup_printf(
          "Request longer than %u bytes", FL_STANDIN_CONTROL_MAX_REQUEST);
      send_failure(conn, "bad_request", message);
    } else {
      g_byte_array_append(conn->request, bytes, (guint)take);
      if (newline != NULL) {
        handle_request(conn, (const gchar*)conn->request->data,
                       conn->request->len);
      } else {
        read_more(conn);
      }
    }
  }
  connection_unref(conn);
}

static gboolean request_timeout_cb(gpointer data) {
  Connection* conn = data;
  conn->timeout_source = 0;
  g_autofree gchar* message = g_strdup_printf(
      "No complete request within %u seconds", kRequestTimeoutSeconds);
  send_failure(conn, "bad_request", message);
  return G_SOURCE_REMOVE;
}

static gboolean incoming_cb(GSocketService* service,
                            GSocketConnection* connection,
                            GObject* source_object,
                            gpointer user_data) {
  FlStandinControlServer* self = FL_STANDIN_CONTROL_SERVER(user_data);
  Connection* conn = g_new0(Connection, 1);
  conn->refs = 1;
  conn->server = self;
  conn->connection = G_SOCKET_CONNECTION(g_object_ref(connection));
  conn->cancellable = G_CANCELLABLE(g_object_ref(self->cancellable));
  conn->read_cancellable = g_cancellable_new();
  conn->request = g_byte_array_new();
  guint busy = g_list_length(self->connections);
  self->connections = g_list_prepend(self->connections, conn);
  if (busy >= kMaxConnections) {
    send_failure(conn, "failed", "Too many control connections; try again");
  } else {
    conn->timeout_source = g_timeout_add_seconds_full(
        G_PRIORITY_DEFAULT, kRequestTimeoutSeconds, request_timeout_cb,
        connection_ref(conn), connection_unref);
    read_more(conn);
  }
  connection_unref(conn);
  return TRUE;
}

static void fl_standin_control_server_dispose(GObject* object) {
  FlStandinControlServer* self = FL_STANDIN_CONTROL_SERVER(object);
  if (self->service != NULL) {
    g_socket_service_stop(self->service);
    g_socket_listener_close(G_SOCKET_LISTENER(self->service));
    g_clear_object(&self->service);
  }
  // Connections still in flight finish with a cancelled operation and free
  // themselves; they must not touch the server any more.
  for (GList* l = self->connections; l != NULL; l = l->next) {
    Connection* conn = l->data;
    conn->server = NULL;
    g_cancellable_cancel(conn->read_cancellable);
    if (conn->timeout_source != 0) {
      guint source = conn->timeout_source;
      conn->timeout_source = 0;
      g_source_remove(source);  // May free |conn|: not touched after.
    }
  }
  g_clear_pointer(&self->connections, g_list_free);
  if (self->cancellable != NULL) {
    g_cancellable_cancel(self->cancellable);
    g_clear_object(&self->cancellable);
  }
  if (self->path != NULL) {
    struct stat st;
    if (lstat(self->path, &st) == 0 && st.st_dev == self->socket_dev &&
        st.st_ino == self->socket_ino) {
      (void)unlink(self->path);
    }
    g_clear_pointer(&self->path, g_free);
  }
  if (self->messenger != NULL) {
    g_object_remove_weak_pointer(G_OBJECT(self->messenger),
                                 (gpointer*)&self->messenger);
    self->messenger = NULL;
  }
  g_clear_pointer(&self->channel, g_free);
  G_OBJECT_CLASS(fl_standin_control_server_parent_class)->dispose(object);
}

static void fl_standin_control_server_class_init(
    FlStandinControlServerClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_standin_control_server_dispose;
}

static void fl_standin_control_server_init(FlStandinControlServer* self) {
  self->cancellable = g_cancellable_new();
}

gchar* fl_standin_control_socket_default_path(GError** error) {
  const gchar* runtime_dir = g_getenv("XDG_RUNTIME_DIR");
  if (runtime_dir == NULL || runtime_dir[0] == '\0') {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND,
                "XDG_RUNTIME_DIR is not set; give the socket path with "
                "--control-socket=PATH");
    return NULL;
  }
  return g_build_filename(runtime_dir, kSocketName, NULL);
}

static gboolean fill_address(struct sockaddr_un* address,
                             const gchar* path,
                             GError** error) {
  memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (strlen(path) >= sizeof(address->sun_path)) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_FILENAME_TOO_LONG,
                "Socket path %s is longer than %zu bytes", path,
                sizeof(address->sun_path) - 1);
    return FALSE;
  }
  memcpy(address->sun_path, path, strlen(path));
  return TRUE;
}

static gboolean set_errno_error(GError** error,
                                int saved_errno,
                                const gchar* what,
                                const gchar* path) {
  g_set_error(error, G_IO_ERROR, g_io_error_from_errno(saved_errno),
              "%s %s: %s", what, path, g_strerror(saved_errno));
  return FALSE;
}

// Clears the way for a new socket at |path|: a socket nobody listens on is
// left over from an earlier run and is removed; anything else stays.
static gboolean clear_stale_socket(const gchar* path, GError** error) {
  struct stat st;
  if (lstat(path, &st) != 0) {
    if (errno == ENOENT) {
      return TRUE;
    }
    return set_errno_error(error, errno, "Cannot inspect", path);
  }
  if (!S_ISSOCK(st.st_mode)) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_EXISTS,
                "%s exists and is not a socket", path);
    return FALSE;
  }
  struct sockaddr_un address;
  if (!fill_address(&address, path, error)) {
    return FALSE;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return set_errno_error(error, errno, "Cannot create a socket for", path);
  }
  int result = connect(fd, (const struct sockaddr*)&address, sizeof(address));
  int saved_errno = errno;
  close(fd);
  if (result == 0) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_ADDRESS_IN_USE,
                "Another program already listens at %s", path);
    return FALSE;
  }
  if (saved_errno != ECONNREFUSED) {
    return set_errno_error(error, saved_errno, "Cannot probe", path);
  }
  if (unlink(path) != 0 && errno != ENOENT) {
    return set_errno_error(error, errno, "Cannot remove stale socket", path);
  }
  return TRUE;
}

// Binds a listening socket and puts it at |path| with mode 0600. It is made
// inside a fresh private directory and linked into place, so it is never
// reachable with wider permissions and never replaces a file that appeared
// meanwhile.
static int bind_private_socket(const gchar* path, GError** error) {
  g_autofree gchar* dir = g_path_get_dirname(path);
  g_autofree gchar* tmp_dir =
      g_build_filename(dir, ".quon_vpn-control-XXXXXX", NULL);
  if (g_mkdtemp_full(tmp_dir, 0700) == NULL) {
    set_errno_error(error, errno, "Cannot create a directory beside", path);
    return -1;
  }
  g_autofree gchar* tmp_path = g_build_filename(tmp_dir, "socket", NULL);
  struct sockaddr_un address;
  int fd = -1;
  if (!fill_address(&address, tmp_path, error)) {
    goto fail;
  }
  fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    set_errno_error(error, errno, "Cannot create a socket for", path);
    goto fail;
  }
  if (bind(fd, (const struct sockaddr*)&address, sizeof(address)) != 0) {
    set_errno_error(error, errno, "Cannot bind", tmp_path);
    goto fail;
  }
  if (chmod(tmp_path, 0600) != 0) {
    set_errno_error(error, errno, "Cannot set the mode of", tmp_path);
    goto fail;
  }
  if (listen(fd, 16) != 0) {
    set_errno_error(error, errno, "Cannot listen on", path);
    goto fail;
  }
  if (link(tmp_path, path) != 0) {
    set_errno_error(error, errno, "Cannot create", path);
    goto fail;
  }
  (void)unlink(tmp_path);
  (void)rmdir(tmp_dir);
  return fd;

fail:
  if (fd >= 0) {
    close(fd);
  }
  (void)unlink(tmp_path);
  (void)rmdir(tmp_dir);
  return -1;
}

FlStandinControlServer* fl_standin_control_server_new(
    FlBinaryMessenger* messenger,
    const gchar* channel,
    const gchar* path,
    GError** error) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), NULL);
  g_return_val_if_fail(channel != NULL, NULL);
  g_return_val_if_fail(path != NULL, NULL);

  struct sockaddr_un address;
  if (!fill_address(&address, path, error) ||
      !clear_stale_socket(path, error)) {
    return NULL;
  }
  int fd = bind_private_socket(path, error);
  if (fd < 0) {
    return NULL;
  }
  g_autoptr(FlStandinControlServer) self = FL_STANDIN_CONTROL_SERVER(
      g_object_new(fl_standin_control_server_get_type(), NULL));
  self->path = g_strdup(path);
  struct stat st;
  if (lstat(path, &st) == 0) {
    self->socket_dev = st.st_dev;
    self->socket_ino = st.st_ino;
  }
  g_autoptr(GSocket) socket = g_socket_new_from_fd(fd, error);
  if (socket == NULL) {
    close(fd);
    return NULL;  // Dispose removes the file.
  }
  self->service = g_socket_service_new();
  if (!g_socket_listener_add_socket(G_SOCKET_LISTENER(self->service), socket,
                                    NULL, error)) {
    return NULL;
  }
  self->messenger = messenger;
  g_object_add_weak_pointer(G_OBJECT(messenger), (gpointer*)&self->messenger);
  self->channel = g_strdup(channel);
  g_signal_connect(self->service, "incoming", G_CALLBACK(incoming_cb), self);
  g_socket_service_start(self->service);
  return (FlStandinControlServer*)g_steal_pointer(&self);
}

const gchar* fl_standin_control_server_get_path(FlStandinControlServer* self) {
  g_return_val_if_fail(FL_STANDIN_IS_CONTROL_SERVER(self), NULL);
  return self->path;
}
