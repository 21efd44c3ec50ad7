// Secure storage is not offered on this desktop: the channel exists so that
// the interface gets a clear "not implemented" instead of a missing plug-in.

#include "flutter_secure_storage_linux/flutter_secure_storage_linux_plugin.h"

static const char kChannelName[] =
    "plugins.it_nomads.com/flutter_secure_storage";

static void method_call_cb(FlMethodChannel* channel,
                           FlMethodCall* method_call,
                           gpointer user_data) {
  g_autoptr(GError) error = NULL;
  if (!fl_method_call_respond_not_implemented(method_call, &error)) {
    g_warning("Failed to answer %s on %s: %s",
              fl_method_call_get_name(method_call), kChannelName,
              error->message);
  }
}

void flutter_secure_storage_linux_plugin_register_with_registrar(
    FlPluginRegistrar* registrar) {
  g_return_if_fail(FL_IS_PLUGIN_REGISTRAR(registrar));
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  // The messenger keeps the channel alive.
  g_autoptr(FlMethodChannel) channel =
      fl_method_channel_new(fl_plugin_registrar_get_messenger(registrar),
                            kChannelName, FL_METHOD_CODEC(codec));
  if (channel == NULL) {
    return;
  }
  fl_method_channel_set_method_call_handler(channel, method_call_cb, NULL,
                                            NULL);
}
