// runstat: runs one program in the guest and reports its wall time, its CPU
// time and, on request, when its first byte of output came. busybox's
// "time" only has hundredths of a second, too coarse for a transfer that
// lasts well under a second.
//
//   runstat [-i IN] [-o OUT] [-e ERR] [-f] [-k] -- PROGRAM [ARGS...]
//
// -i, -o, -e: the program's standard input, output and error (default: the
//   input and error of runstat, output to /dev/null).
// -f: the program's output goes through a pipe that runstat reads (and
//   copies to OUT when -o is given), noting when the first byte arrives.
// -k: with -f, kill the program as soon as the first byte has arrived.
//
// Prints one line: status=N wall=S user=S sys=S first=S bytes=N, times in
// seconds; status is the exit status, or 128 plus the signal; first is -1
// when no byte came (or without -f).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "runstat: %s: %s\n", what, std::strerror(errno));
  std::exit(120);
}

int open_or_die(const char* path, int flags) {
  int fd = open(path, flags, 0644);
  if (fd < 0) die(path);
  return fd;
}

void move_fd(int from, int to) {
  if (from != to) {
    if (dup2(from, to) < 0) die("dup2");
    close(from);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* in = nullptr;
  const char* out = nullptr;
  const char* err = nullptr;
  bool first_byte = false;
  bool kill_after_first = false;
  int opt;
  while ((opt = getopt(argc, argv, "+i:o:e:fk")) != -1) {
    switch (opt) {
      case 'i':
        in = optarg;
        break;
      case 'o':
        out = optarg;
        break;
      case 'e':
        err = optarg;
        break;
      case 'f':
        first_byte = true;
        break;
      case 'k':
        kill_after_first = true;
        break;
      default:
        return 120;
    }
  }
  if (optind >= argc) {
    std::fprintf(stderr,
                 "usage: runstat [-i IN] [-o OUT] [-e ERR] [-f] [-k] -- PROGRAM [ARGS...]\n");
    return 120;
  }
  int pipe_fds[2] = {-1, -1};
  if (first_byte && pipe(pipe_fds) != 0) die("pipe");
  int copy_fd = -1;
  if (first_byte && out != nullptr) copy_fd = open_or_die(out, O_WRONLY | O_CREAT | O_TRUNC);

  double start = now();
  pid_t child = fork();
  if (child < 0) die("fork");
  if (child == 0) {
    if (in != nullptr) move_fd(open_or_die(in, O_RDONLY), 0);
    if (first_byte) {
      close(pipe_fds[0]);
      move_fd(pipe_fds[1], 1);
    } else {
      move_fd(open_or_die(out != nullptr ? out : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC), 1);
    }
    if (err != nullptr) move_fd(open_or_die(err, O_WRONLY | O_CREAT | O_TRUNC), 2);
    execvp(argv[optind], argv + optind);
    die(argv[optind]);
  }

  double first = -1;
  unsigned long long bytes = 0;
  if (first_byte) {
    close(pipe_fds[1]);
    static char buffer[65536];
    for (;;) {
      ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (first < 0) {
        first = now() - start;
        if (kill_after_first) kill(child, SIGKILL);
      }
      bytes += static_cast<unsigned long long>(n);
      if (copy_fd >= 0 && write(copy_fd, buffer, static_cast<size_t>(n)) != n) die(out);
    }
  }
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) die("wait4");
  }
  double wall = now() - start;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::printf("status=%d wall=%.6f user=%.6f sys=%.6f first=%.6f bytes=%llu\n", code, wall,
              seconds(usage.ru_utime), seconds(usage.ru_stime), first, bytes);
  return 0;
}
