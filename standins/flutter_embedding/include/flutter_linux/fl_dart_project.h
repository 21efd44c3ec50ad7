#ifndef FLUTTER_LINUX_FL_DART_PROJECT_H_
#define FLUTTER_LINUX_FL_DART_PROJECT_H_

#if !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

G_BEGIN_DECLS

G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlDartProject, fl_dart_project, FL, DART_PROJECT, GObject)

// Returns (transfer full) a project whose files lie beside the executable:
// lib/libapp.so, data/flutter_assets and data/icudtl.dat.
G_MODULE_EXPORT
FlDartProject* fl_dart_project_new();

// Paths of the project's files, (transfer none).
G_MODULE_EXPORT
const gchar* fl_dart_project_get_aot_library_path(FlDartProject* project);
G_MODULE_EXPORT
const gchar* fl_dart_project_get_assets_path(FlDartProject* project);
G_MODULE_EXPORT
const gchar* fl_dart_project_get_icu_data_path(FlDartProject* project);

// Sets the arguments handed to the Dart entry point: |argv| is a
// NULL-terminated vector (transfer none) that is copied; NULL clears them.
G_MODULE_EXPORT
void fl_dart_project_set_dart_entrypoint_arguments(FlDartProject* project,
                                                   char** argv);

// Returns (transfer none) the NULL-terminated arguments, or NULL when none
// were set.
G_MODULE_EXPORT
gchar** fl_dart_project_get_dart_entrypoint_arguments(FlDartProject* project);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_DART_PROJECT_H_
