#include "fl_standin_ballast.h"

#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

gboolean fl_standin_ballast_parse_mb(const gchar* text, guint* mb) {
  guint64 value = 0;
  if (text == NULL || *text == '\0' ||
      !g_ascii_string_to_unsigned(text, 10, 1, FL_STANDIN_BALLAST_MAX_MB,
                                  &value, NULL)) {
    return FALSE;
  }
  *mb = (guint)value;
  return TRUE;
}

gpointer fl_standin_ballast_new(guint mb) {
  gsize size = (gsize)mb << 20;
  // A private anonymous mapping, as a heap of this size would get; every page
  // is written (not just the first byte of the mapping) so that it is
  // resident and the kernel must copy its page tables on fork.
  void* ballast = mmap(NULL, size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (ballast == MAP_FAILED) {
    return NULL;
  }
  long page = sysconf(_SC_PAGESIZE);
  for (gsize offset = 0; offset < size; offset += (gsize)page) {
    ((volatile guint8*)ballast)[offset] = 1;
  }
  return ballast;
}

void fl_standin_ballast_free(gpointer ballast, guint mb) {
  if (ballast != NULL) {
    (void)munmap(ballast, (gsize)mb << 20);
  }
}
