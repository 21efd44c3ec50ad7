// Starts a program the way a hostile caller of a set-user-id file can:
//   pw_exec [--close-std] [--ignore-signals] [--block-signals] [--timers=MS]
//           [--no-close-range] PROG [ARG...]
//   --timers=MS: all three interval timers armed, which exec keeps (the
//   real-time one for 30 ms, or MS ms when that is longer, the CPU-time ones
//   for MS ms of CPU);
//   --no-close-range: close_range fails with ENOSYS, as on kernels before
//   5.9 (a seccomp filter; needs root, since it must not set no_new_privs,
//   which would disable the set-user-id bit).
//   pw_exec --argc0 PROG [ENV...]   (empty argument vector; the remaining
//                                    words become the environment)
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

static int arm_timers(long cpu_ms) {
  const long real_ms = cpu_ms > 30 ? cpu_ms : 30;
  const struct itimerval real = {{0, 0},
                                 {real_ms / 1000, (real_ms % 1000) * 1000}};
  const struct itimerval cpu = {{0, 0},
                                {cpu_ms / 1000, (cpu_ms % 1000) * 1000}};
  return setitimer(ITIMER_REAL, &real, NULL) == 0 &&
                 setitimer(ITIMER_VIRTUAL, &cpu, NULL) == 0 &&
                 setitimer(ITIMER_PROF, &cpu, NULL) == 0
             ? 0
             : -1;
}

static int deny_close_range(void) {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close_range, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog prog = {sizeof(filter) / sizeof(filter[0]), filter};
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog);
}

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
    } else if (strncmp(argv[i], "--timers=", 9) == 0) {
      if (arm_timers(strtol(argv[i] + 9, NULL, 10)) != 0) {
        perror("pw_exec: setitimer");
        return 2;
      }
    } else if (strcmp(argv[i], "--no-close-range") == 0) {
      if (deny_close_range() != 0) {
        perror("pw_exec: seccomp");
        return 2;
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
