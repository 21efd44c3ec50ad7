// Ballast for benchmarks: memory the stand-in embedding holds and has
// touched, so that the runner's process is as large as one with a real
// engine and its Dart heap. Only the command-line option
// --standin-ballast-mb=N asks for it; the product never does.

#ifndef FL_STANDIN_BALLAST_H_
#define FL_STANDIN_BALLAST_H_

#include <glib.h>

G_BEGIN_DECLS

// The largest ballast accepted, in MiB.
#define FL_STANDIN_BALLAST_MAX_MB 4096

// Parses the N of "--standin-ballast-mb=N" (TEXT is what follows the "=").
// Returns FALSE, with *mb untouched, unless TEXT is a whole number from 1 to
// FL_STANDIN_BALLAST_MAX_MB.
gboolean fl_standin_ballast_parse_mb(const gchar* text, guint* mb);

// Allocates MB MiB and writes to every page of it, so that all of it is
// resident. Free with fl_standin_ballast_free().
gpointer fl_standin_ballast_new(guint mb);
void fl_standin_ballast_free(gpointer ballast, guint mb);

G_END_DECLS

#endif  // FL_STANDIN_BALLAST_H_
