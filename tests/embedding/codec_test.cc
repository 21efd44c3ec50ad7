// Values and the standard message and method codecs, checked against the wire
// format Flutter's Dart side reads and writes.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

// The numbers of the kinds are shared with code built against the real
// embedding.
static_assert(FL_VALUE_TYPE_NULL == 0 && FL_VALUE_TYPE_INT == 2 &&
                  FL_VALUE_TYPE_FLOAT_LIST == 8 && FL_VALUE_TYPE_MAP == 10 &&
                  FL_VALUE_TYPE_FLOAT32_LIST == 11 &&
                  FL_VALUE_TYPE_CUSTOM == 12,
              "FlValueType numbers");

using quon_test::BytesFromHex;
using quon_test::HexFromBytes;
using quon_test::ValueText;

std::string Encode(FlValue* value) {
  g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) bytes =
      fl_message_codec_encode_message(FL_MESSAGE_CODEC(codec), value, &error);
  EXPECT_NE(bytes, nullptr) << (error ? error->message : "");
  return bytes ? HexFromBytes(bytes) : "";
}

FlValue* Decode(GBytes* bytes, GError** error) {
  g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
  return fl_message_codec_decode_message(FL_MESSAGE_CODEC(codec), bytes, error);
}

FlValue* Decode(const std::string& hex, GError** error) {
  g_autoptr(GBytes) bytes = BytesFromHex(hex);
  return Decode(bytes, error);
}

FlValue* RoundTrip(FlValue* value) {
  g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) bytes =
      fl_message_codec_encode_message(FL_MESSAGE_CODEC(codec), value, &error);
  EXPECT_NE(bytes, nullptr);
  FlValue* back =
      fl_message_codec_decode_message(FL_MESSAGE_CODEC(codec), bytes, &error);
  EXPECT_NE(back, nullptr) << (error ? error->message : "");
  return back;
}

// A map holding one value of every type, nested in a list.
FlValue* EveryType() {
  const uint8_t u8[] = {0, 1, 255};
  const int32_t i32[] = {-1, 0, 2147483647};
  const int64_t i64[] = {std::numeric_limits<int64_t>::min(), 7};
  const float f32[] = {1.5f, -0.25f};
  const double f64[] = {3.25, -1e300};
  FlValue* map = fl_value_new_map();
  fl_value_set_string_take(map, "null", fl_value_new_null());
  fl_value_set_string_take(map, "true", fl_value_new_bool(true));
  fl_value_set_string_take(map, "false", fl_value_new_bool(false));
  fl_value_set_string_take(map, "int32", fl_value_new_int(-5));
  fl_value_set_string_take(map, "int64", fl_value_new_int(1LL << 40));
  fl_value_set_string_take(map, "float", fl_value_new_float(0.1));
  fl_value_set_string_take(map, "string", fl_value_new_string("h\xc3\xa9llo"));
  fl_value_set_string_take(map, "empty", fl_value_new_string(""));
  fl_value_set_string_take(map, "u8", fl_value_new_uint8_list(u8, 3));
  fl_value_set_string_take(map, "i32", fl_value_new_int32_list(i32, 3));
  fl_value_set_string_take(map, "i64", fl_value_new_int64_list(i64, 2));
  fl_value_set_string_take(map, "f32", fl_value_new_float32_list(f32, 2));
  fl_value_set_string_take(map, "f64", fl_value_new_float_list(f64, 2));
  fl_value_set_take(map, fl_value_new_int(42), fl_value_new_string("int key"));
  FlValue* list = fl_value_new_list();
  fl_value_append_take(list, fl_value_new_map());
  fl_value_append_take(list, fl_value_new_list());
  fl_value_set_string_take(map, "list", list);
  return map;
}

TEST(Codec, RoundTripsEveryType) {
  g_autoptr(FlValue) value = EveryType();
  g_autoptr(FlValue) back = RoundTrip(value);
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(fl_value_equal(value, back))
      << ValueText(value) << " vs " << ValueText(back);
  // Ints of either width read back as INT.
  EXPECT_EQ(fl_value_get_int(fl_value_lookup_string(back, "int64")), 1LL << 40);
  EXPECT_EQ(fl_value_get_float32_list(fl_value_lookup_string(back, "f32"))[1],
            -0.25f);
}

struct KnownEncoding {
  const char* what;
  FlValue* (*make)();
  const char* hex;
};

// Encodings as Dart's StandardMessageCodec writes them (little-endian).
const KnownEncoding kKnown[] = {
    {"null", [] { return fl_value_new_null(); }, "00"},
    {"true", [] { return fl_value_new_bool(true); }, "01"},
    {"false", [] { return fl_value_new_bool(false); }, "02"},
    {"int32", [] { return fl_value_new_int(5); }, "03 05 00 00 00"},
    {"negative int32", [] { return fl_value_new_int(-1); }, "03 ff ff ff ff"},
    {"int64 just above int32", [] { return fl_value_new_int(2147483648LL); },
     "04 00 00 00 80 00 00 00 00"},
    {"int64 just below int32", [] { return fl_value_new_int(-2147483649LL); },
     "04 ff ff ff 7f ff ff ff ff"},
    {"float padded to 8", [] { return fl_value_new_float(1.0); },
     "06 00 00 00 00 00 00 00 00 00 00 00 00 00 f0 3f"},
    {"string", [] { return fl_value_new_string("ok"); }, "07 02 6f 6b"},
    {"uint8 list",
     [] {
       const uint8_t d[] = {1, 2};
       return fl_value_new_uint8_list(d, 2);
     },
     "08 02 01 02"},
    {"int32 list padded to 4",
     [] {
       const int32_t d[] = {1};
       return fl_value_new_int32_list(d, 1);
     },
     "09 01 00 00 01 00 00 00"},
    {"int64 list padded to 8",
     [] {
       const int64_t d[] = {1};
       return fl_value_new_int64_list(d, 1);
     },
     "0a 01 00 00 00 00 00 00 01 00 00 00 00 00 00 00"},
    {"float32 list padded to 4",
     [] {
       const float d[] = {1.0f};
       return fl_value_new_float32_list(d, 1);
     },
     "0e 01 00 00 00 00 80 3f"},
    {"float64 list padded to 8",
     [] {
       const double d[] = {1.0};
       return fl_value_new_float_list(d, 1);
     },
     "0b 01 00 00 00 00 00 00 00 00 00 00 00 00 f0 3f"},
    {"list",
     [] {
       FlValue* v = fl_value_new_list();
       fl_value_append_take(v, fl_value_new_bool(true));
       fl_value_append_take(v, fl_value_new_null());
       return v;
     },
     "0c 02 01 00"},
    {"map",
     [] {
       FlValue* v = fl_value_new_map();
       fl_value_set_string_take(v, "a", fl_value_new_bool(true));
       return v;
     },
     "0d 01 07 01 61 01"},
    {"float inside a list is aligned from the message start",
     [] {
       FlValue* v = fl_value_new_list();
       fl_value_append_take(v, fl_value_new_float(1.0));
       return v;
     },
     "0c 01 06 00 00 00 00 00 00 00 00 00 00 00 f0 3f"},
};

TEST(Codec, KnownEncodings) {
  for (const auto& known : kKnown) {
    SCOPED_TRACE(known.what);
    g_autoptr(FlValue) value = known.make();
    EXPECT_EQ(Encode(value), known.hex);
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) back = Decode(known.hex, &error);
    ASSERT_NE(back, nullptr) << error->message;
    EXPECT_TRUE(fl_value_equal(value, back));
  }
}

// Every sized kind at the edges of the one-, three- and five-byte size forms,
// typed lists also with the padding that follows a long size.
TEST(Codec, SizeFormsAtTheirEdges) {
  struct Kind {
    const char* what;
    uint8_t type;
    size_t align;         // Elements start at a multiple of this.
    size_t element_size;  // Bytes per element on the wire.
    FlValue* (*make)(size_t count);
  };
  const Kind kinds[] = {
      {"string", 7, 1, 1,
       [](size_t n) {
         return fl_value_new_string(std::string(n, 'x').c_str());
       }},
      {"list of nulls", 12, 1, 1,
       [](size_t n) {
         FlValue* list = fl_value_new_list();
         for (size_t i = 0; i < n; i++) {
           fl_value_append_take(list, fl_value_new_null());
         }
         return list;
       }},
      {"uint8 list", 8, 1, 1,
       [](size_t n) {
         return fl_value_new_uint8_list(std::vector<uint8_t>(n, 7).data(), n);
       }},
      {"int32 list", 9, 4, 4,
       [](size_t n) {
         return fl_value_new_int32_list(std::vector<int32_t>(n, -1).data(), n);
       }},
      {"float64 list", 11, 8, 8,
       [](size_t n) {
         return fl_value_new_float_list(std::vector<double>(n, 0.5).data(), n);
       }},
  };
  const struct {
    size_t count;
    const char* size;  // The size bytes after the type byte.
  } sizes[] = {
      {253, "fd"},
      {254, "fe fe 00"},
      {0xffff, "fe ff ff"},
      {0x10000, "ff 00 00 01 00"},
  };
  for (const auto& kind : kinds) {
    for (const auto& size : sizes) {
      SCOPED_TRACE(std::string(kind.what) + " of " +
                   std::to_string(size.count));
      g_autoptr(FlValue) value = kind.make(size.count);
      g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
      g_autoptr(GError) error = nullptr;
      g_autoptr(GBytes) bytes = fl_message_codec_encode_message(
          FL_MESSAGE_CODEC(codec), value, &error);
      ASSERT_NE(bytes, nullptr) << error->message;

      g_autoptr(GBytes) size_bytes = BytesFromHex(size.size);
      std::vector<uint8_t> header = {kind.type};
      const auto* size_data =
          static_cast<const uint8_t*>(g_bytes_get_data(size_bytes, nullptr));
      header.insert(header.end(), size_data,
                    size_data + g_bytes_get_size(size_bytes));
      while (header.size() % kind.align != 0) {
        header.push_back(0);
      }
      gsize length = 0;
      const auto* data =
          static_cast<const uint8_t*>(g_bytes_get_data(bytes, &length));
      ASSERT_EQ(length, header.size() + size.count * kind.element_size);
      EXPECT_EQ(std::vector<uint8_t>(data, data + header.size()), header);

      g_autoptr(FlValue) back = Decode(bytes, &error);
      ASSERT_NE(back, nullptr) << error->message;
      EXPECT_TRUE(fl_value_equal(value, back));
    }
  }
}

// Dart decodes strings strictly: whatever it would refuse must fail here, at
// encoding, wherever the string sits in the message.
TEST(Codec, RefusesToEncodeWhatDartCannotDecode) {
  const struct {
    const char* what;
    const char* text;
    bool valid;
  } strings[] = {
      {"tail cut inside a two-byte character", "abc\xc3", false},
      {"lone continuation byte", "\x80", false},
      {"Latin-1 byte", "caf\xe9", false},
      {"overlong encoding", "\xc0\xaf", false},
      {"UTF-16 surrogate", "\xed\xa0\x80", false},
      {"above U+10FFFF", "\xf4\x90\x80\x80", false},
      {"four-byte character", "\xf0\x9f\x98\x80", true},
      {"replacement character", "\xef\xbf\xbd", true},
      {"noncharacter U+FFFF", "\xef\xbf\xbf", true},
  };
  const struct {
    const char* what;
    FlValue* (*wrap)(const char* text);
  } places[] = {
      {"value", [](const char* t) { return fl_value_new_string(t); }},
      {"sized value",
       [](const char* t) { return fl_value_new_string_sized(t, strlen(t)); }},
      {"list element",
       [](const char* t) {
         FlValue* list = fl_value_new_list();
         fl_value_append_take(list, fl_value_new_null());
         fl_value_append_take(list, fl_value_new_string(t));
         return list;
       }},
      {"map key",
       [](const char* t) {
         FlValue* map = fl_value_new_map();
         fl_value_set_string_take(map, t, fl_value_new_int(1));
         return map;
       }},
  };
  g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
  for (const auto& string : strings) {
    for (const auto& place : places) {
      SCOPED_TRACE(std::string(string.what) + " as " + place.what);
      g_autoptr(FlValue) value = place.wrap(string.text);
      g_autoptr(GError) error = nullptr;
      g_autoptr(GBytes) bytes = fl_message_codec_encode_message(
          FL_MESSAGE_CODEC(codec), value, &error);
      if (string.valid) {
        EXPECT_NE(bytes, nullptr) << error->message;
        continue;
      }
      EXPECT_EQ(bytes, nullptr);
      EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR,
                                  FL_MESSAGE_CODEC_ERROR_FAILED));
      EXPECT_NE(strstr(error != nullptr ? error->message : "", "UTF-8"),
                nullptr);
    }
  }

  // The method codec writes its own strings through the same check.
  g_autoptr(FlStandardMethodCodec) method_codec =
      fl_standard_method_codec_new();
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) call = fl_method_codec_encode_method_call(
      FL_METHOD_CODEC(method_codec), "st\xe4rt", nullptr, &error);
  EXPECT_EQ(call, nullptr);
  g_clear_error(&error);
  g_autoptr(GBytes) failure = fl_method_codec_encode_error_envelope(
      FL_METHOD_CODEC(method_codec), "START_FAILED", "xray: \xff", nullptr,
      &error);
  EXPECT_EQ(failure, nullptr);
  EXPECT_NE(error, nullptr);
}

TEST(Codec, EmptyMessageIsNull) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlValue) value = Decode("", &error);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(fl_value_get_type(value), FL_VALUE_TYPE_NULL);
}

struct BadInput {
  const char* what;
  const char* hex;
  int code;
};

const BadInput kBadInputs[] = {
    {"leftover byte", "00 00", FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA},
    {"large int (type 5)", "05 01 31", FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
    {"type byte 15", "0f", FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
    {"type byte 255", "ff", FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
    {"string of 4 GiB", "07 ff ff ff ff ff 61",
     FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
    {"uint8 list of 4 GiB", "08 ff ff ff ff ff 00",
     FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
    {"float64 list of 2^29 elements", "0b ff 00 00 00 20 00 00",
     FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
    {"list of 4 G entries", "0c ff ff ff ff ff 00",
     FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
    {"map of 4 G entries", "0d ff ff ff ff ff 00 00",
     FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
    {"map missing its last value", "0d 01 00",
     FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
    {"3-byte size cut short", "07 fe 01", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
    {"5-byte size cut short", "0c ff 00 00 01",
     FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
    {"float padding missing", "06 00 00", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
    {"bad element in a list", "0c 01 63",
     FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
};

TEST(Codec, MalformedInputFailsWithTheRightError) {
  for (const auto& bad : kBadInputs) {
    SCOPED_TRACE(bad.what);
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) value = Decode(bad.hex, &error);
    EXPECT_EQ(value, nullptr);
    EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR, bad.code))
        << (error ? error->message : "no error");
  }
}

TEST(Codec, EveryPrefixOfAValidMessageFails) {
  g_autoptr(FlValue) value = EveryType();
  g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
  g_autoptr(GBytes) whole =
      fl_message_codec_encode_message(FL_MESSAGE_CODEC(codec), value, nullptr);
  gsize size = 0;
  const auto* data =
      static_cast<const uint8_t*>(g_bytes_get_data(whole, &size));
  for (gsize length = 1; length < size; length++) {
    // An exact-size heap copy, so that any read past the end shows up under
    // AddressSanitizer.
    auto* copy = static_cast<uint8_t*>(g_memdup2(data, length));
    g_autoptr(GBytes) prefix = g_bytes_new_take(copy, length);
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) back = Decode(prefix, &error);
    EXPECT_EQ(back, nullptr) << "prefix of " << length << " bytes decoded";
    EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR,
                                FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA))
        << length;
  }
}

TEST(Codec, DeepNestingIsRefusedNotOverflowed) {
  std::string hex;
  for (int i = 0; i < 100000; i++) {
    hex += "0c 01 ";
  }
  hex += "00";
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlValue) value = Decode(hex, &error);
  EXPECT_EQ(value, nullptr);
  EXPECT_NE(error, nullptr);
}

TEST(Value, MapSetReplacesAndLookupFindsByValue) {
  g_autoptr(FlValue) map = fl_value_new_map();
  fl_value_set_string_take(map, "k", fl_value_new_int(1));
  fl_value_set_string_take(map, "k", fl_value_new_int(2));
  fl_value_set_take(map, fl_value_new_int(7), fl_value_new_bool(true));
  EXPECT_EQ(fl_value_get_length(map), 2u);
  EXPECT_EQ(fl_value_get_int(fl_value_lookup_string(map, "k")), 2);
  g_autoptr(FlValue) key = fl_value_new_int(7);
  EXPECT_TRUE(fl_value_get_bool(fl_value_lookup(map, key)));
  EXPECT_EQ(fl_value_lookup_string(map, "missing"), nullptr);
}

TEST(Value, ToStringAndEquality) {
  g_autoptr(FlValue) value = EveryType();
  std::string text = ValueText(value);
  EXPECT_NE(text.find("float: 0.1"), std::string::npos) << text;
  EXPECT_NE(text.find("int32: -5"), std::string::npos) << text;
  EXPECT_NE(text.find("42: int key"), std::string::npos) << text;
  g_autoptr(FlValue) one = fl_value_new_float(1.0);
  EXPECT_EQ(ValueText(one), "1.0");
  g_autoptr(FlValue) a = fl_value_new_int(1);
  g_autoptr(FlValue) b = fl_value_new_float(1.0);
  EXPECT_FALSE(fl_value_equal(a, b));
  const gchar* strv[] = {"x", "y", nullptr};
  g_autoptr(FlValue) list = fl_value_new_list_from_strv(strv);
  EXPECT_EQ(ValueText(list), "[x, y]");
}

TEST(Value, ContainersKeepTheirOwnReferences) {
  g_autoptr(FlValue) list = fl_value_new_list();
  FlValue* child = fl_value_new_string("kept");
  fl_value_append(list, child);
  fl_value_unref(child);  // The list still holds it.
  EXPECT_STREQ(fl_value_get_string(fl_value_get_list_value(list, 0)), "kept");
  FlValue* again = fl_value_ref(list);
  fl_value_unref(again);
  EXPECT_EQ(fl_value_get_length(list), 1u);
}

// Method codec: the examples Dart produces and expects.
TEST(MethodCodec, KnownEnvelopes) {
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  FlMethodCodec* method_codec = FL_METHOD_CODEC(codec);
  g_autoptr(GError) error = nullptr;

  g_autoptr(GBytes) call = fl_method_codec_encode_method_call(
      method_codec, "connect", nullptr, &error);
  EXPECT_EQ(HexFromBytes(call), "07 07 63 6f 6e 6e 65 63 74 00");

  g_autoptr(FlValue) yes = fl_value_new_bool(true);
  g_autoptr(FlValue) ok = fl_value_new_string("ok");
  g_autoptr(FlValue) five = fl_value_new_int(5);
  g_autoptr(FlValue) one = fl_value_new_float(1.0);
  struct {
    FlValue* value;
    const char* hex;
  } const successes[] = {
      {yes, "00 01"},
      {ok, "00 07 02 6f 6b"},
      {five, "00 03 05 00 00 00"},
      {one, "00 06 00 00 00 00 00 00 00 00 00 00 00 00 f0 3f"},
      {nullptr, "00 00"},
  };
  for (const auto& s : successes) {
    g_autoptr(GBytes) bytes =
        fl_method_codec_encode_success_envelope(method_codec, s.value, &error);
    EXPECT_EQ(HexFromBytes(bytes), s.hex);
  }
  g_autoptr(GBytes) failure = fl_method_codec_encode_error_envelope(
      method_codec, "E", nullptr, nullptr, &error);
  EXPECT_EQ(HexFromBytes(failure), "01 07 01 45 00 00");
}

TEST(MethodCodec, DecodesCalls) {
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  FlMethodCodec* method_codec = FL_METHOD_CODEC(codec);
  {
    g_autoptr(GBytes) bytes = BytesFromHex("07 02 67 6f 0d 01 07 01 61 01");
    g_autofree gchar* name = nullptr;
    g_autoptr(FlValue) args = nullptr;
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(fl_method_codec_decode_method_call(method_codec, bytes, &name,
                                                   &args, &error));
    EXPECT_STREQ(name, "go");
    EXPECT_TRUE(fl_value_get_bool(fl_value_lookup_string(args, "a")));
  }
}

TEST(MethodCodec, DecodesResponses) {
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  FlMethodCodec* method_codec = FL_METHOD_CODEC(codec);
  g_autoptr(GError) error = nullptr;

  g_autoptr(GBytes) empty = g_bytes_new(nullptr, 0);
  g_autoptr(FlMethodResponse) not_implemented =
      fl_method_codec_decode_response(method_codec, empty, &error);
  EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(not_implemented));
  EXPECT_EQ(fl_method_response_get_result(not_implemented, &error), nullptr);
  EXPECT_TRUE(g_error_matches(error, FL_METHOD_RESPONSE_ERROR,
                              FL_METHOD_RESPONSE_ERROR_NOT_IMPLEMENTED));
  g_clear_error(&error);

  g_autoptr(GBytes) error_bytes =
      BytesFromHex("01 07 01 45 07 02 68 69 03 07 00 00 00");
  g_autoptr(FlMethodResponse) failure =
      fl_method_codec_decode_response(method_codec, error_bytes, &error);
  ASSERT_TRUE(FL_IS_METHOD_ERROR_RESPONSE(failure));
  FlMethodErrorResponse* e = FL_METHOD_ERROR_RESPONSE(failure);
  EXPECT_STREQ(fl_method_error_response_get_code(e), "E");
  EXPECT_STREQ(fl_method_error_response_get_message(e), "hi");
  EXPECT_EQ(fl_value_get_int(fl_method_error_response_get_details(e)), 7);
  EXPECT_EQ(fl_method_response_get_result(failure, &error), nullptr);
  EXPECT_TRUE(g_error_matches(error, FL_METHOD_RESPONSE_ERROR,
                              FL_METHOD_RESPONSE_ERROR_REMOTE_ERROR));
  g_clear_error(&error);
}

// The codes of the real codec: leftovers after a whole call or answer are a
// plain failure there, not ADDITIONAL_DATA as after a lone value.
TEST(MethodCodec, RefusesBadCallsAndAnswersWithTheRealCodes) {
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  FlMethodCodec* method_codec = FL_METHOD_CODEC(codec);
  const struct {
    const char* what;
    bool is_call;
    const char* hex;
    int code;
  } cases[] = {
      {"call named by an int", true, "03 01 00 00 00 00",
       FL_MESSAGE_CODEC_ERROR_FAILED},
      {"call with a byte left over", true, "07 02 67 6f 00 00",
       FL_MESSAGE_CODEC_ERROR_FAILED},
      {"call without arguments", true, "07 02 67 6f",
       FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"call with its name cut short", true, "07 05 67 6f",
       FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"success with a byte left over", false, "00 01 00",
       FL_MESSAGE_CODEC_ERROR_FAILED},
      {"error with a byte left over", false, "01 07 01 45 00 00 00",
       FL_MESSAGE_CODEC_ERROR_FAILED},
      {"unknown envelope", false, "02 00", FL_MESSAGE_CODEC_ERROR_FAILED},
      {"error code not a string", false, "01 03 01 00 00 00 00 00",
       FL_MESSAGE_CODEC_ERROR_FAILED},
      {"error message a bool", false, "01 07 01 45 01 00",
       FL_MESSAGE_CODEC_ERROR_FAILED},
      {"error cut short", false, "01 07 01 45",
       FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    g_autoptr(GBytes) bytes = BytesFromHex(c.hex);
    g_autoptr(GError) error = nullptr;
    if (c.is_call) {
      g_autofree gchar* name = nullptr;
      g_autoptr(FlValue) args = nullptr;
      EXPECT_FALSE(fl_method_codec_decode_method_call(method_codec, bytes,
                                                      &name, &args, &error));
      EXPECT_EQ(name, nullptr);
    } else {
      g_autoptr(FlMethodResponse) response =
          fl_method_codec_decode_response(method_codec, bytes, &error);
      EXPECT_EQ(response, nullptr);
    }
    EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR, c.code))
        << (error != nullptr ? error->message : "no error");
  }
}

TEST(MethodCodec, ClassFunctionRefusesAnEmptyAnswer) {
  // The public entry point reads empty as not-implemented; the class
  // function itself must not read a byte that is not there.
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  g_autoptr(GBytes) empty = g_bytes_new(nullptr, 0);
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlMethodResponse) response =
      FL_METHOD_CODEC_GET_CLASS(codec)->decode_response(FL_METHOD_CODEC(codec),
                                                        empty, &error);
  EXPECT_EQ(response, nullptr);
  EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR,
                              FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA));
  EXPECT_STREQ(error != nullptr ? error->message : "", "Empty response");
}

TEST(Json, ConvertsBothWays) {
  g_autoptr(JsonParser) parser = json_parser_new();
  ASSERT_TRUE(json_parser_load_from_data(
      parser, R"({"s":"x","i":3,"f":2.5,"b":false,"n":null,"l":[1,[]]})", -1,
      nullptr));
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlValue) value =
      fl_standin_value_from_json(json_parser_get_root(parser), &error);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(fl_value_get_type(fl_value_lookup_string(value, "i")),
            FL_VALUE_TYPE_INT);
  EXPECT_EQ(fl_value_get_type(fl_value_lookup_string(value, "f")),
            FL_VALUE_TYPE_FLOAT);
  EXPECT_EQ(ValueText(value),
            "{s: x, i: 3, f: 2.5, b: false, n: null, "
            "l: [1, []]}");

  g_autoptr(JsonNode) back = fl_standin_value_to_json(value);
  g_autoptr(FlValue) again = fl_standin_value_from_json(back, &error);
  EXPECT_TRUE(fl_value_equal(value, again));

  // What JSON cannot hold stays readable rather than breaking the output.
  g_autoptr(FlValue) odd = fl_value_new_map();
  fl_value_set_take(odd, fl_value_new_int(1), fl_value_new_float(std::nan("")));
  fl_value_set_string_take(odd, "inf", fl_value_new_float(-INFINITY));
  g_autoptr(JsonNode) node = fl_standin_value_to_json(odd);
  g_autoptr(JsonGenerator) generator = json_generator_new();
  json_generator_set_root(generator, node);
  g_autofree gchar* text = json_generator_to_data(generator, nullptr);
  EXPECT_STREQ(text, R"({"1":"NaN","inf":"-Infinity"})");
}

}  // namespace
