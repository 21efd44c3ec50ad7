// The runner's application given an empty argument vector, without even its
// own name (what execve with an empty vector still passes on older kernels):
// the entry point gets no arguments and nothing reads past the end of the
// vector. The vector is the last word of a page whose next page is
// inaccessible, so a read past its end crashes in every build, also inside
// GLib, which the sanitizers do not see into.
#include <gtk/gtk.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include "my_application.h"

int main() {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  auto* pages =
      static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (pages == MAP_FAILED || mprotect(pages + page, page, PROT_NONE) != 0) {
    perror("argc_zero: guard page");
    return 2;
  }
  auto** arguments = reinterpret_cast<gchar**>(pages + page - sizeof(gchar*));
  arguments[0] = nullptr;

  g_autoptr(MyApplication) app = my_application_new();
  // What g_application_run does with the vector before its main loop.
  int status = -1;
  G_APPLICATION_GET_CLASS(app)->local_command_line(G_APPLICATION(app),
                                                   &arguments, &status);
  return status;
}
