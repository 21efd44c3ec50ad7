// Starts a program the way a hostile caller of a set-user-id file can:
//   pw_exec [--close-std] [--ignore-signals] [--block-signals] PROG [ARG...]
//   pw_exec --argc0 PROG [ENV...]   (empty argument vector; the remaining
//                                    words become the environment)
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  int close_std = 0;
  int argc0 = 0;
  int i = 1;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
    if (strcmp(argv[i], "--close-std") == 0) {
      close_std = 1;
    } else if (strcmp(argv[i], "--argc0") == 0) {
      argc0 = 1;
    } else if (strcmp(argv[i], "--ignore-signals") == 0) {
      const int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD};
      for (size_t k = 0; k < sizeof(sigs) / sizeof(sigs[0]); ++k) {
        signal(sigs[k], SIG_IGN);
      }
    } else if (strcmp(argv[i], "--block-signals") == 0) {
      sigset_t all;
      sigfillset(&all);
      sigprocmask(SIG_BLOCK, &all, NULL);
    } else {
      fprintf(stderr, "pw_exec: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (i >= argc) {
    fprintf(stderr, "pw_exec: no program\n");
    return 2;
  }
  const char* prog = argv[i];
  if (close_std) {
    close(0);
    close(1);
    close(2);
  }
  if (argc0) {
    char* no_args[] = {NULL};
    execve(prog, no_args, argv + i + 1);
  } else {
    extern char** environ;
    execve(prog, argv + i, environ);
  }
  return 127;
}
