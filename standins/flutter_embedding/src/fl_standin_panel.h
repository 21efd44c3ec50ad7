#ifndef EMBEDDING_SRC_FL_STANDIN_PANEL_H_
#define EMBEDDING_SRC_FL_STANDIN_PANEL_H_

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

// The control panel that stands in for the Dart user interface inside an
// FlView. It talks to the platform only through method calls on the channel
// "v2ray" of the engine's messenger, as the Dart code would.
G_DECLARE_FINAL_TYPE(FlStandinPanel,
                     fl_standin_panel,
                     FL_STANDIN,
                     PANEL,
                     GtkBox)

// Returns (transfer floating) a panel speaking on |messenger| (weakly held)
// that takes its settings from the Dart entry point arguments |args|
// (transfer none; may be NULL).
FlStandinPanel* fl_standin_panel_new(FlBinaryMessenger* messenger,
                                     gchar** args);

G_END_DECLS

#endif  // EMBEDDING_SRC_FL_STANDIN_PANEL_H_
