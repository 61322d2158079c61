/* A broken chanpipe.exe for the self-test kit's own test: it runs the real
 * program (CHANPIPE_REAL) and spoils what `r` delivers, as CHANPIPE_STAND_IN
 * says:
 *   drop     the second 4096-byte chunk of the data is lost
 *   nocopy   nothing is passed on, and the run says status 0
 * Every other run is the real program's, unchanged. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#define CHUNK 4096

static int fail(const char* what) {
  fprintf(stderr, "stand-in: %s failed: %lu\n", what, (unsigned long)GetLastError());
  return 99;
}

int main(int argc, char** argv) {
  const char* real = getenv("CHANPIPE_REAL");
  const char* mode = getenv("CHANPIPE_STAND_IN");
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  STARTUPINFOA startup = {sizeof startup};
  PROCESS_INFORMATION child;
  char command[4096];
  HANDLE read_end = NULL, write_end = NULL, out = GetStdHandle(STD_OUTPUT_HANDLE);
  int spoil = argc > 1 && !strcmp(argv[1], "r") && mode;
  DWORD status = 99;
  int i;
  if (!real) return fail("CHANPIPE_REAL");
  snprintf(command, sizeof command, "\"%s\"", real);
  for (i = 1; i < argc; ++i) {
    size_t used = strlen(command);
    snprintf(command + used, sizeof command - used, " \"%s\"", argv[i]);
  }
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  if (spoil) {
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return fail("CreatePipe");
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    startup.hStdOutput = write_end;
  }
  if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &child))
    return fail("CreateProcess");
  if (spoil) {
    static BYTE buffer[CHUNK];
    unsigned long long at = 0;
    DWORD got, put;
    CloseHandle(write_end);
    while (ReadFile(read_end, buffer, CHUNK, &got, NULL) && got > 0) {
      /* Keeps the block's bytes outside [CHUNK, 2 * CHUNK) of the stream. */
      unsigned long long end = at + got;
      if (strcmp(mode, "nocopy") != 0) {
        if (at < CHUNK)
          WriteFile(out, buffer, (DWORD)((end < CHUNK ? end : CHUNK) - at), &put, NULL);
        if (end > 2 * CHUNK) {
          unsigned long long from = at > 2 * CHUNK ? at : 2 * CHUNK;
          WriteFile(out, buffer + (from - at), (DWORD)(end - from), &put, NULL);
        }
      }
      at = end;
    }
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  GetExitCodeProcess(child.hProcess, &status);
  if (spoil && !strcmp(mode, "nocopy")) return 0;
  return (int)status;
}
