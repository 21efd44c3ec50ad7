#ifndef URL_LAUNCHER_LINUX_URL_LAUNCHER_PLUGIN_H_
#define URL_LAUNCHER_LINUX_URL_LAUNCHER_PLUGIN_H_

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

#ifdef FLUTTER_PLUGIN_IMPL
#define FLUTTER_PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define FLUTTER_PLUGIN_EXPORT
#endif

// Registers the URL launcher channel on the registrar's messenger.
// |registrar| is (transfer none).
FLUTTER_PLUGIN_EXPORT void url_launcher_plugin_register_with_registrar(
    FlPluginRegistrar* registrar);

G_END_DECLS

#endif  // URL_LAUNCHER_LINUX_URL_LAUNCHER_PLUGIN_H_
