#ifndef FLUTTER_LINUX_FL_VIEW_H_
#define FLUTTER_LINUX_FL_VIEW_H_

#if !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <gmodule.h>
#include <gtk/gtk.h>

#include "fl_dart_project.h"
#include "fl_engine.h"

G_BEGIN_DECLS

/**
 * FlView:
 *
 * The widget that shows a Flutter application. It implements
 * #FlPluginRegistry. Its parent type is not part of the API: treat it as a
 * #GtkWidget (cast with GTK_WIDGET()).
 */
G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlView, fl_view, FL, VIEW, GtkBox)

// Returns (transfer floating) a view running |project| (referenced) on an
// engine of its own.
G_MODULE_EXPORT
FlView* fl_view_new(FlDartProject* project);

// Returns (transfer none) the engine of the view.
G_MODULE_EXPORT
FlEngine* fl_view_get_engine(FlView* view);

// Sets the colour painted behind the application; |color| (transfer none) is
// copied. The default is opaque black.
G_MODULE_EXPORT
void fl_view_set_background_color(FlView* view, const GdkRGBA* color);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_VIEW_H_
