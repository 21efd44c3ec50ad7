// A method-channel client on the stand-in embedding's messenger, playing the
// Dart side (as Flutter's own tests do with their mock binary messenger):
// send a call, collect its answers on the main loop, and describe an answer
// in one comparable string.
#ifndef QUON_TESTS_LIB_STANDIN_CHANNEL_H_
#define QUON_TESTS_LIB_STANDIN_CHANNEL_H_

#include <flutter_linux/flutter_linux.h>
#include <flutter_linux_standin/fl_standin.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "main_loop.h"

namespace quon_test {

// One call from the Dart side and what came back for it. Stays where it is
// until answered: the reply callback points at it.
struct Call {
  Call() = default;
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  ~Call() {
    if (response != nullptr) {
      g_object_unref(response);
    }
  }

  // The first answer (owned); later ones only count.
  FlMethodResponse* response = nullptr;
  int answers = 0;
};

inline void call_reply_cb(GObject* object,
                          GAsyncResult* result,
                          gpointer user_data) {
  (void)object;
  auto* call = static_cast<Call*>(user_data);
  g_autoptr(GError) error = nullptr;
  FlMethodResponse* response = fl_standin_invoke_method_finish(result, &error);
  EXPECT_NE(nullptr, response) << (error != nullptr ? error->message : "");
  if (call->response == nullptr) {
    call->response = response;
  } else if (response != nullptr) {
    g_object_unref(response);
  }
  call->answers++;
}

// Sends |method| with |args| (transfer none, may be null) on |channel|; the
// answer arrives in |call| while the main loop runs.
inline void SendCall(FlBinaryMessenger* messenger,
                     const char* channel,
                     const char* method,
                     FlValue* args,
                     Call* call) {
  fl_standin_invoke_method(messenger, channel, method, args, nullptr,
                           call_reply_cb, call);
}

// "b:true", "b:false", "s:TEXT", "e:CODE:MESSAGE" (":details" appended when
// the error has details), "null", "not_implemented", or "no answer".
inline std::string Describe(FlMethodResponse* response) {
  if (response == nullptr) {
    return "no answer";
  }
  if (FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response)) {
    return "not_implemented";
  }
  if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    auto* error = FL_METHOD_ERROR_RESPONSE(response);
    FlValue* details = fl_method_error_response_get_details(error);
    const bool no_details =
        details == nullptr || fl_value_get_type(details) == FL_VALUE_TYPE_NULL;
    const gchar* message = fl_method_error_response_get_message(error);
    return std::string("e:") + fl_method_error_response_get_code(error) + ":" +
           (message != nullptr ? message : "(null)") +
           (no_details ? "" : ":details");
  }
  FlValue* result = fl_method_success_response_get_result(
      FL_METHOD_SUCCESS_RESPONSE(response));
  switch (result != nullptr ? fl_value_get_type(result) : FL_VALUE_TYPE_NULL) {
    case FL_VALUE_TYPE_NULL:
      return "null";
    case FL_VALUE_TYPE_BOOL:
      return fl_value_get_bool(result) ? "b:true" : "b:false";
    case FL_VALUE_TYPE_STRING:
      return std::string("s:") + fl_value_get_string(result);
    default:
      return "unexpected type";
  }
}

// Sends one call and runs the main loop until it is answered, at most
// |timeout_ms|; the answer described. Exactly one answer is expected.
inline std::string Invoke(FlBinaryMessenger* messenger,
                          const char* channel,
                          const char* method,
                          FlValue* args,
                          int timeout_ms = 60000) {
  auto call = std::make_unique<Call>();
  SendCall(messenger, channel, method, args, call.get());
  if (!RunUntil([&call] { return call->answers > 0; }, timeout_ms)) {
    ADD_FAILURE() << method << " not answered within " << timeout_ms << " ms";
    // A late answer must still find its record.
    (void)call.release();
    return "no answer";
  }
  EXPECT_EQ(1, call->answers) << method;
  return Describe(call->response);
}

}  // namespace quon_test

#endif  // QUON_TESTS_LIB_STANDIN_CHANNEL_H_
