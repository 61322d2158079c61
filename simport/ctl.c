/* The host side of the simulated ports, for the tests.
 *
 *   simport-ctl ready COUNT SECONDS    until ports 0..COUNT-1 have started
 *   simport-ctl plug [INDEX...]        exactly these ports present, all fresh;
 *                                      waits while a port is still in use
 *   simport-ctl push INDEX < DATA      queue DATA for the guest
 *   simport-ctl close INDEX            the host hangs up
 *   simport-ctl pull INDEX > DATA      what the guest wrote, not yet pulled
 *   simport-ctl stat INDEX             counters, one "name=value" a line
 *   simport-ctl wait INDEX FIELD VALUE SECONDS
 *                                      until the counter has that value
 *   simport-ctl path INDEX             the port's device path
 *   simport-ctl open INDEX ACCESS SHARE [ACCESS SHARE...]
 *                                      open the port again and again, holding
 *                                      every handle; one line per open
 *   simport-ctl both-ways INDEX HEX_OUT HEX_IN
 *                                      one synchronous handle: a read waits,
 *                                      a write goes out, then the host sends
 *   simport-ctl feed PROGRAM [ARGS...] PROGRAM reads a Windows pipe that
 *                                      carries this program's standard input
 *   simport-ctl drain PROGRAM [ARGS...]
 *                                      PROGRAM writes a Windows pipe whose
 *                                      bytes go to this standard output
 *   simport-ctl host INDEX             the host side as a stream, for a
 *                                      bridge: see host_stream below
 *
 * Exit status 0 on success, 1 on a failed request, 2 on bad usage; feed and
 * drain end with PROGRAM's exit status, or 99 when they fail themselves. */
#include <windows.h>
// windows.h first: setupapi.h depends on it.
#include <setupapi.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "simport.h"

static const GUID port_class = {
    0x6fde7521, 0x1b65, 0x48ae, {0xb6, 0x28, 0x80, 0xbe, 0x62, 0x01, 0x60, 0x26}};

#define PUSH_CHUNK 65536

static HANDLE control;

static int fail(const char* what, DWORD error) {
  fprintf(stderr, "simport-ctl: %s failed: %lu\n", what, (unsigned long)error);
  return 1;
}

static BOOL request(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size,
                    DWORD* returned) {
  DWORD count = 0;
  BOOL ok = DeviceIoControl(control, code, (void*)in, in_size, out, out_size, &count, NULL);
  if (returned) *returned = count;
  return ok;
}

static int get_stat(ULONG index, struct simport_stat* stat) {
  DWORD count;
  if (!request(SIMPORT_CTL_STAT, &index, sizeof index, stat, sizeof *stat, &count) ||
      count != sizeof *stat)
    return fail("stat", GetLastError());
  return 0;
}

#define FIELD(name) \
  { #name, offsetof(struct simport_stat, name), sizeof(((struct simport_stat*)0)->name) }
static const struct {
  const char* name;
  size_t offset;
  size_t size;
} fields[] = {
    FIELD(started),         FIELD(present),         FIELD(opens),
    FIELD(handles),         FIELD(max_handles),     FIELD(info_requests),
    FIELD(info_out_length), FIELD(info_in_length),  FIELD(reads),
    FIELD(reads_pending),   FIELD(reads_cancelled), FIELD(writes),
    FIELD(host_closed),     FIELD(other_requests),  FIELD(refused_requests),
    FIELD(closes),          FIELD(vanished),        FIELD(to_guest),
    FIELD(to_host),         FIELD(name_length),     FIELD(open_log_count),
};

static unsigned long long field_value(const struct simport_stat* stat, size_t i) {
  const char* base = (const char*)stat + fields[i].offset;
  if (fields[i].size == 8) return *(const unsigned long long*)base;
  return *(const unsigned int*)base;
}

static int print_stat(ULONG index) {
  struct simport_stat stat;
  size_t i;
  if (get_stat(index, &stat)) return 1;
  for (i = 0; i < sizeof fields / sizeof fields[0]; ++i)
    printf("%s=%llu\n", fields[i].name, field_value(&stat, i));
  for (i = 0; i < stat.open_log_count && i < SIMPORT_OPEN_LOG; ++i)
    printf("open%u=access:0x%08x share:%u options:0x%08x status:0x%08x\n", (unsigned)i + 1,
           stat.open_log[i].access, stat.open_log[i].share, stat.open_log[i].options,
           (unsigned)stat.open_log[i].status);
  return 0;
}

/* Polls within a deadline: the tests wait for states, never for times. */
static int wait_for(ULONG index, const char* name, unsigned long long want, DWORD seconds) {
  DWORD start = GetTickCount();
  size_t i;
  for (i = 0; i < sizeof fields / sizeof fields[0]; ++i)
    if (!strcmp(fields[i].name, name)) break;
  if (i == sizeof fields / sizeof fields[0]) {
    fprintf(stderr, "simport-ctl: no counter %s\n", name);
    return 2;
  }
  for (;;) {
    struct simport_stat stat;
    unsigned long long have;
    if (get_stat(index, &stat)) return 1;
    have = field_value(&stat, i);
    if (have == want) return 0;
    if (GetTickCount() - start > seconds * 1000) {
      fprintf(stderr, "simport-ctl: port %lu %s is %llu, not %llu\n", index, name, have, want);
      return 1;
    }
    Sleep(10);
  }
}

static int push(ULONG index) {
  static BYTE buffer[sizeof(ULONG) + PUSH_CHUNK];
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  memcpy(buffer, &index, sizeof index);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, buffer + sizeof index, PUSH_CHUNK, &got, NULL)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
      return fail("reading standard input", GetLastError());
    }
    if (got == 0) return 0;
    if (!request(SIMPORT_CTL_PUSH, buffer, sizeof index + got, NULL, 0, NULL))
      return fail("push", GetLastError());
  }
}

static int pull(ULONG index) {
  static BYTE buffer[PUSH_CHUNK];
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  for (;;) {
    DWORD got = 0, put = 0;
    if (!request(SIMPORT_CTL_PULL, &index, sizeof index, buffer, sizeof buffer, &got))
      return fail("pull", GetLastError());
    if (got == 0) return 0;
    if (!WriteFile(out, buffer, got, &put, NULL) || put != got)
      return fail("writing standard output", GetLastError());
  }
}

/* The device path of port INDEX, found the way a guest program finds it. */
static int port_path(ULONG index, WCHAR* path, size_t room) {
  SP_DEVICE_INTERFACE_DATA data = {sizeof data};
  SP_DEVINFO_DATA device = {sizeof device};
  WCHAR want[64], instance[256];
  HDEVINFO set =
      SetupDiGetClassDevsW(&port_class, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  DWORD i;
  int found = 0;
  if (set == INVALID_HANDLE_VALUE) return 0;
  swprintf(want, 64, SIMPORT_ENUMERATOR L"\\%04lu", index);
  for (i = 0; !found && SetupDiEnumDeviceInterfaces(set, NULL, &port_class, i, &data); ++i) {
    BYTE detail_buffer[2048];
    SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = (SP_DEVICE_INTERFACE_DETAIL_DATA_W*)detail_buffer;
    detail->cbSize = sizeof *detail;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof detail_buffer, NULL, &device))
      continue;
    if (!SetupDiGetDeviceInstanceIdW(set, &device, instance, 256, NULL)) continue;
    if (_wcsicmp(instance, want) != 0) continue;
    if (wcslen(detail->DevicePath) >= room) continue;
    wcscpy(path, detail->DevicePath);
    found = 1;
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

static int open_many(ULONG index, int count, char** args) {
  WCHAR path[1024];
  int i;
  if (!port_path(index, path, 1024)) return fail("finding the port", ERROR_FILE_NOT_FOUND);
  for (i = 0; i + 1 < count; i += 2) {
    DWORD access = strtoul(args[i], NULL, 16);
    DWORD share = strtoul(args[i + 1], NULL, 16);
    HANDLE h = CreateFileW(path, access, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    /* Every handle is held until exit, so each open meets the ones before. */
    if (h == INVALID_HANDLE_VALUE)
      printf("open %d: error %lu\n", i / 2 + 1, (unsigned long)GetLastError());
    else
      printf("open %d: ok\n", i / 2 + 1);
  }
  return 0;
}

struct transfer {
  HANDLE handle;
  BYTE data[256];
  DWORD size;
  DWORD done;
  BOOL ok;
  DWORD error;
};

static DWORD WINAPI read_thread(void* context) {
  struct transfer* t = context;
  t->ok = ReadFile(t->handle, t->data, t->size, &t->done, NULL);
  t->error = t->ok ? 0 : GetLastError();
  return 0;
}

static int hex_to_bytes(const char* text, BYTE* out, DWORD room, DWORD* size) {
  DWORD n = (DWORD)strlen(text) / 2, i;
  if (strlen(text) % 2 || n > room) return 0;
  for (i = 0; i < n; ++i) {
    char pair[3] = {text[2 * i], text[2 * i + 1], 0};
    out[i] = (BYTE)strtoul(pair, NULL, 16);
  }
  *size = n;
  return 1;
}

static void print_hex(const char* label, const BYTE* data, DWORD size) {
  DWORD i;
  printf("%s=", label);
  for (i = 0; i < size; ++i) printf("%02x", data[i]);
  printf("\n");
}

/* One handle for both directions. Windows runs the I/O of a synchronous
 * handle one request at a time, so there the write would wait for the
 * read; Wine lets it through. Reports which happened. */
static int both_ways(ULONG index, const char* hex_out, const char* hex_in) {
  WCHAR path[1024];
  struct transfer reader = {0};
  BYTE out[256], in[sizeof(ULONG) + 256];
  DWORD out_size, in_size, written = 0;
  struct simport_stat stat;
  HANDLE thread;
  BOOL wrote;
  if (!hex_to_bytes(hex_out, out, sizeof out, &out_size) ||
      !hex_to_bytes(hex_in, in + sizeof index, 256, &in_size))
    return 2;
  if (!port_path(index, path, 1024)) return fail("finding the port", ERROR_FILE_NOT_FOUND);
  reader.handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
  if (reader.handle == INVALID_HANDLE_VALUE) return fail("CreateFile", GetLastError());
  reader.size = sizeof reader.data;
  thread = CreateThread(NULL, 0, read_thread, &reader, 0, NULL);
  if (!thread) return fail("CreateThread", GetLastError());
  if (wait_for(index, "reads_pending", 1, 60)) return 1;
  wrote = WriteFile(reader.handle, out, out_size, &written, NULL);
  if (get_stat(index, &stat)) return 1;
  printf("write=%s written=%lu reads_pending_after_write=%u\n", wrote ? "ok" : "failed",
         (unsigned long)written, stat.reads_pending);
  memcpy(in, &index, sizeof index);
  if (!request(SIMPORT_CTL_PUSH, in, sizeof index + in_size, NULL, 0, NULL))
    return fail("push", GetLastError());
  WaitForSingleObject(thread, INFINITE);
  printf("read=%s error=%lu\n", reader.ok ? "ok" : "failed", (unsigned long)reader.error);
  print_hex("read_bytes", reader.data, reader.done);
  CloseHandle(reader.handle);
  return 0;
}

/* The driver loads in the background when Wine starts: wait for it and
 * for every port, within the deadline. */
static int ready(ULONG count, DWORD seconds) {
  DWORD start = GetTickCount();
  for (;;) {
    ULONG i = 0;
    if (control == INVALID_HANDLE_VALUE)
      control = CreateFileW(SIMPORT_CONTROL_WIN32, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (control != INVALID_HANDLE_VALUE) {
      struct simport_stat stat;
      DWORD got;
      for (i = 0; i < count; ++i)
        if (!request(SIMPORT_CTL_STAT, &i, sizeof i, &stat, sizeof stat, &got) || !stat.started)
          break;
    }
    if (control != INVALID_HANDLE_VALUE && i == count) return 0;
    if (GetTickCount() - start > seconds * 1000) {
      fprintf(stderr, "simport-ctl: %lu of %lu ports started\n", i, count);
      return 1;
    }
    Sleep(50);
  }
}

/* A port still held by the run before (a process being torn down) keeps
 * the request busy for a moment: retry within a deadline. */
static int plug(ULONGLONG mask) {
  DWORD start = GetTickCount();
  while (!request(SIMPORT_CTL_PLUG, &mask, sizeof mask, NULL, 0, NULL)) {
    if (GetLastError() != ERROR_BUSY || GetTickCount() - start > 30000)
      return fail("plug", GetLastError());
    Sleep(20);
  }
  return 0;
}

static HANDLE inheritable(HANDLE handle) {
  HANDLE copy = INVALID_HANDLE_VALUE;
  DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                  DUPLICATE_SAME_ACCESS);
  return copy;
}

/* Copies from one handle to another until the source ends (end of file or
 * a broken pipe) or the destination refuses. */
static void pump(HANDLE from, HANDLE to) {
  static BYTE buffer[PUSH_CHUNK];
  DWORD got, put;
  while (ReadFile(from, buffer, sizeof buffer, &got, NULL) && got > 0)
    if (!WriteFile(to, buffer, got, &put, NULL)) break;
}

/* A real Windows anonymous pipe between this program and PROGRAM: its end
 * of file is a read failing with ERROR_BROKEN_PIPE, as on Windows. */
static int piped(int feed, int argc, char** argv) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  STARTUPINFOA startup = {sizeof startup};
  PROCESS_INFORMATION child;
  char command[8192] = "";
  HANDLE read_end, write_end;
  DWORD status = 99;
  int i;
  for (i = 0; i < argc; ++i) {
    if (strlen(command) + strlen(argv[i]) + 4 > sizeof command) return 99;
    strcat(command, i ? " \"" : "\"");
    strcat(command, argv[i]);
    strcat(command, "\"");
  }
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    fail("CreatePipe", GetLastError());
    return 99;
  }
  SetHandleInformation(feed ? write_end : read_end, HANDLE_FLAG_INHERIT, 0);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = feed ? read_end : inheritable(GetStdHandle(STD_INPUT_HANDLE));
  startup.hStdOutput = feed ? inheritable(GetStdHandle(STD_OUTPUT_HANDLE)) : write_end;
  startup.hStdError = inheritable(GetStdHandle(STD_ERROR_HANDLE));
  if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &child)) {
    fail("CreateProcess", GetLastError());
    return 99;
  }
  /* Only the child holds its end now, so the pipe ends when it does. */
  CloseHandle(feed ? read_end : write_end);
  if (feed) {
    pump(GetStdHandle(STD_INPUT_HANDLE), write_end);
    CloseHandle(write_end);
  } else {
    pump(read_end, GetStdHandle(STD_OUTPUT_HANDLE));
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  GetExitCodeProcess(child.hProcess, &status);
  return (int)status;
}

/* ---- the host side as a stream ----
 * Standard input carries requests, each a type byte, a 4-byte little-endian
 * length and that many bytes: 'P' bytes for the guest, 'C' the host hangs
 * up, 'H' the host hangs up until the guest next closes a handle, 'O' the
 * host is back, 'Q' the end. Standard output carries records
 * in the same framing: 'D' bytes the guest wrote, 'S' whenever the
 * guest's handles change, two 4-byte counts: handles open now and handles
 * closed so far (so a brief open between two looks is not missed), and
 * 'A' once the driver has taken a 'C', 'H' or 'O' (requests run on a thread of
 * their own, so without it the bridge cannot know when the guest will
 * see the host come or go). */

static int read_full(HANDLE in, BYTE* out, DWORD size) {
  DWORD done = 0, got;
  while (done < size) {
    if (!ReadFile(in, out + done, size - done, &got, NULL) || got == 0) return 0;
    done += got;
  }
  return 1;
}

/* Both threads write records: one whole record at a time. */
static CRITICAL_SECTION frame_lock;

static int write_frame(HANDLE out, BYTE type, const void* data, DWORD size) {
  BYTE head[5];
  DWORD put;
  int ok;
  head[0] = type;
  memcpy(head + 1, &size, 4);
  EnterCriticalSection(&frame_lock);
  ok = WriteFile(out, head, 5, &put, NULL) && put == 5 &&
       (size == 0 || (WriteFile(out, data, size, &put, NULL) && put == size));
  LeaveCriticalSection(&frame_lock);
  return ok;
}

static volatile LONG host_done;

static DWORD WINAPI host_requests(void* context) {
  static BYTE buffer[sizeof(ULONG) + PUSH_CHUNK];
  ULONG index = *(ULONG*)context;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  BYTE head[5];
  memcpy(buffer, &index, sizeof index);
  while (read_full(in, head, 5)) {
    DWORD size;
    memcpy(&size, head + 1, 4);
    if (size > PUSH_CHUNK || !read_full(in, buffer + sizeof index, size)) break;
    if (head[0] == 'Q') break;
    if (head[0] == 'P' && size &&
        !request(SIMPORT_CTL_PUSH, buffer, sizeof index + size, NULL, 0, NULL)) {
      fail("push", GetLastError());
      break;
    }
    if (head[0] == 'C' && !request(SIMPORT_CTL_CLOSE, &index, sizeof index, NULL, 0, NULL)) {
      fail("close", GetLastError());
      break;
    }
    if (head[0] == 'H' && !request(SIMPORT_CTL_HANG_UP, &index, sizeof index, NULL, 0, NULL)) {
      fail("hang up", GetLastError());
      break;
    }
    if (head[0] == 'O' && !request(SIMPORT_CTL_CONNECT, &index, sizeof index, NULL, 0, NULL)) {
      fail("connect", GetLastError());
      break;
    }
    if ((head[0] == 'C' || head[0] == 'H' || head[0] == 'O') &&
        !write_frame(GetStdHandle(STD_OUTPUT_HANDLE), 'A', NULL, 0))
      break;
  }
  InterlockedExchange(&host_done, 1);
  return 0;
}

static int host_stream(ULONG index) {
  static BYTE buffer[PUSH_CHUNK];
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  unsigned int last[2] = {~0u, ~0u};
  InitializeCriticalSection(&frame_lock);
  if (!CreateThread(NULL, 0, host_requests, &index, 0, NULL))
    return fail("CreateThread", GetLastError());
  while (!host_done) {
    struct simport_stat stat;
    DWORD got = 0;
    if (!request(SIMPORT_CTL_PULL, &index, sizeof index, buffer, sizeof buffer, &got))
      return fail("pull", GetLastError());
    if (got && !write_frame(out, 'D', buffer, got)) return 1;
    if (get_stat(index, &stat)) return 1;
    if (stat.handles != last[0] || stat.closes != last[1]) {
      last[0] = stat.handles;
      last[1] = stat.closes;
      if (!write_frame(out, 'S', last, sizeof last)) return 1;
    }
    if (!got) Sleep(2);
  }
  return 0;
}

int main(int argc, char** argv) {
  ULONG index = 0;
  if (argc < 2) {
    fprintf(stderr, "usage: simport-ctl COMMAND [ARGS...]\n");
    return 2;
  }
  if (!strcmp(argv[1], "feed") && argc > 2) return piped(1, argc - 2, argv + 2);
  if (!strcmp(argv[1], "drain") && argc > 2) return piped(0, argc - 2, argv + 2);
  control = CreateFileW(SIMPORT_CONTROL_WIN32, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, NULL);
  if (!strcmp(argv[1], "ready") && argc == 4)
    return ready(strtoul(argv[2], NULL, 10), strtoul(argv[3], NULL, 10));
  if (control == INVALID_HANDLE_VALUE) return fail("opening the control device", GetLastError());
  if (!strcmp(argv[1], "plug")) {
    ULONGLONG mask = 0;
    int i;
    for (i = 2; i < argc; ++i) mask |= 1ull << strtoul(argv[i], NULL, 10);
    return plug(mask);
  }
  if (argc < 3) return 2;
  index = strtoul(argv[2], NULL, 10);
  if (!strcmp(argv[1], "push")) return push(index);
  if (!strcmp(argv[1], "pull")) return pull(index);
  if (!strcmp(argv[1], "close")) {
    if (!request(SIMPORT_CTL_CLOSE, &index, sizeof index, NULL, 0, NULL))
      return fail("close", GetLastError());
    return 0;
  }
  if (!strcmp(argv[1], "stat")) return print_stat(index);
  if (!strcmp(argv[1], "wait") && argc == 6)
    return wait_for(index, argv[3], strtoull(argv[4], NULL, 10), strtoul(argv[5], NULL, 10));
  if (!strcmp(argv[1], "path")) {
    WCHAR path[1024];
    if (!port_path(index, path, 1024)) return fail("finding the port", ERROR_FILE_NOT_FOUND);
    printf("%ls\n", path);
    return 0;
  }
  if (!strcmp(argv[1], "open")) return open_many(index, argc - 3, argv + 3);
  if (!strcmp(argv[1], "both-ways") && argc == 5) return both_ways(index, argv[3], argv[4]);
  if (!strcmp(argv[1], "host")) return host_stream(index);
  fprintf(stderr, "simport-ctl: unknown command %s\n", argv[1]);
  return 2;
}
