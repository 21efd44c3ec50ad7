#ifndef FLUTTER_LINUX_FL_ENGINE_H_
#define FLUTTER_LINUX_FL_ENGINE_H_

#if !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

#include "fl_binary_messenger.h"
#include "fl_dart_project.h"

G_BEGIN_DECLS

G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlEngine, fl_engine, FL, ENGINE, GObject)

// Returns (transfer full) an engine running |project| (referenced).
G_MODULE_EXPORT
FlEngine* fl_engine_new(FlDartProject* project);

// Returns (transfer full) an engine without a view.
G_MODULE_EXPORT
FlEngine* fl_engine_new_headless(FlDartProject* project);

// Returns (transfer none) the messenger that carries the engine's platform
// channels; it lives as long as the engine.
G_MODULE_EXPORT
FlBinaryMessenger* fl_engine_get_binary_messenger(FlEngine* engine);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_ENGINE_H_
