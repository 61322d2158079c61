// runstat: runs one program in the guest and reports its wall time, its CPU
// time and, on request, when its first byte of output came. busybox's
// "time" only has hundredths of a second, too coarse for a transfer that
// lasts well under a second.
//
//   runstat [-i IN] [-o OUT] [-e ERR] [-f] [-k] [-t SECONDS] -- PROGRAM [ARGS...]
//
// -i, -o, -e: the program's standard input, output and error (default: the
//   input and error of runstat, output to /dev/null).
// -f: the program's output goes through a pipe that runstat reads (and
//   copies to OUT when -o is given), noting when the first byte arrives.
// -k: with -f, kill the program as soon as the first byte has arrived.
// -t: the time box. The program runs in a process group of its own; if it
//   has not ended after SECONDS, runstat writes what each process of the
//   group waits in (state, wchan, kernel stack, system call) to its own
//   standard error, kills the group and reports the run as hung.
//
// Prints one line: status=N wall=S user=S sys=S first=S bytes=N hung=0|1,
// times in seconds; status is the exit status, or 128 plus the signal (-1
// when a hung program could not be reaped); first is -1 when no byte came
// (or without -f).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
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

// Copies a small /proc file to stderr, each line after PREFIX.
void show_proc_file(const char* prefix, long pid, const char* name) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/%s", pid, name);
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return;
  char line[512];
  bool any = false;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    std::size_t n = std::strlen(line);
    if (n > 0 && line[n - 1] == '\n') line[n - 1] = 0;
    std::fprintf(stderr, "%s%s: %s\n", prefix, name, line);
    any = true;
  }
  // wchan has no line end.
  if (!any) std::fprintf(stderr, "%s%s: (empty)\n", prefix, name);
  std::fclose(file);
}

// Field 5 of /proc/PID/stat, after the parenthesised name.
long process_group(long pid, char* state) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return -1;
  char line[1024];
  long group = -1;
  if (std::fgets(line, sizeof line, file) != nullptr) {
    const char* close_paren = std::strrchr(line, ')');
    long parent = 0;
    if (close_paren != nullptr &&
        std::sscanf(close_paren + 1, " %c %ld %ld", state, &parent, &group) != 3) {
      group = -1;
    }
  }
  std::fclose(file);
  return group;
}

// What every process of the hung group is waiting in, for the report.
void describe_group(pid_t group) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    char state = '?';
    if (*end != 0 || pid <= 0 || process_group(pid, &state) != group) continue;
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "runstat: hung: pid %ld state %c ", pid, state);
    show_proc_file(prefix, pid, "comm");
    show_proc_file(prefix, pid, "wchan");
    show_proc_file(prefix, pid, "syscall");
    show_proc_file(prefix, pid, "stack");
  }
  closedir(proc);
}

// Waits for the child until the deadline (none when negative). Returns
// false when the deadline passed first.
bool wait_child(pid_t child, double deadline, const sigset_t& chld, int* status, rusage* usage) {
  for (;;) {
    pid_t got = wait4(child, status, deadline < 0 ? 0 : WNOHANG, usage);
    if (got == child) return true;
    if (got < 0 && errno != EINTR) die("wait4");
    if (got < 0) continue;
    double left = deadline - now();
    if (left <= 0) return false;
    timespec wait_for{};
    wait_for.tv_sec = static_cast<time_t>(left);
    wait_for.tv_nsec = static_cast<long>((left - static_cast<double>(wait_for.tv_sec)) * 1e9);
    sigtimedwait(&chld, nullptr, &wait_for);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* in = nullptr;
  const char* out = nullptr;
  const char* err = nullptr;
  bool first_byte = false;
  bool kill_after_first = false;
  double box = -1;
  int opt;
  while ((opt = getopt(argc, argv, "+i:o:e:fkt:")) != -1) {
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
      case 't':
        box = std::atof(optarg);
        if (box <= 0) return 120;
        break;
      default:
        return 120;
    }
  }
  if (optind >= argc) {
    std::fprintf(stderr,
                 "usage: runstat [-i IN] [-o OUT] [-e ERR] [-f] [-k] [-t SECONDS] -- PROGRAM "
                 "[ARGS...]\n");
    return 120;
  }
  int pipe_fds[2] = {-1, -1};
  if (first_byte && pipe(pipe_fds) != 0) die("pipe");
  int copy_fd = -1;
  if (first_byte && out != nullptr) copy_fd = open_or_die(out, O_WRONLY | O_CREAT | O_TRUNC);

  // SIGCHLD stays blocked, so that the time box can wait for it.
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  sigprocmask(SIG_BLOCK, &chld, nullptr);

  double start = now();
  double deadline = box > 0 ? start + box : -1;
  pid_t child = fork();
  if (child < 0) die("fork");
  if (child == 0) {
    sigprocmask(SIG_UNBLOCK, &chld, nullptr);
    if (box > 0) setpgid(0, 0);
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

  // Set on both sides, so that the group exists whoever runs first.
  if (box > 0) setpgid(child, child);

  double first = -1;
  unsigned long long bytes = 0;
  bool in_time = true;
  if (first_byte) {
    close(pipe_fds[1]);
    static char buffer[65536];
    for (;;) {
      if (deadline > 0) {
        pollfd readable{pipe_fds[0], POLLIN, 0};
        double left = deadline - now();
        int ready = left > 0 ? poll(&readable, 1, static_cast<int>(left * 1000) + 1) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 && deadline - now() <= 0) {
          in_time = false;
          break;
        }
        if (ready <= 0) continue;
      }
      ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (first < 0) {
        first = now() - start;
        // In a time box the whole group goes, so that no helper keeps the pipe.
        if (kill_after_first) kill(box > 0 ? -child : child, SIGKILL);
      }
      bytes += static_cast<unsigned long long>(n);
      if (copy_fd >= 0 && write(copy_fd, buffer, static_cast<size_t>(n)) != n) die(out);
    }
  }
  int status = 0;
  rusage usage{};
  if (in_time) in_time = wait_child(child, deadline, chld, &status, &usage);
  double wall = now() - start;
  int code = 0;
  if (in_time) {
    code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  } else {
    std::fprintf(stderr, "runstat: hung: %s still running after %.0f s\n", argv[optind], box);
    describe_group(child);
    kill(-child, SIGKILL);
    // A process stuck in the kernel may not even die; do not hang with it.
    code = wait_child(child, now() + 10, chld, &status, &usage) ? 128 + SIGKILL : -1;
  }
  std::printf("status=%d wall=%.6f user=%.6f sys=%.6f first=%.6f bytes=%llu hung=%d\n", code, wall,
              seconds(usage.ru_utime), seconds(usage.ru_stime), first, bytes, in_time ? 0 : 1);
  return 0;
}
