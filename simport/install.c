/* Installs the simulated port driver and its ports in a Wine prefix.
 *
 *   simport-install SYS_FILE < LAYOUT
 *
 * LAYOUT has one port a line (blank lines and # comments are skipped):
 *   port INDEX name=HEX [no-nul] [short=N] [open-fail=STATUS]
 *        [second-open-fail=STATUS] [vanish-after=N] [info-fail=STATUS]
 *        [read-fail=AT:STATUS]
 *        [write-fail=AT:STATUS] [write-limit=N]
 * Numbers are decimal, statuses hexadecimal NTSTATUS values. Each port
 * becomes the root device ROOT\CHANPIPE_SIMPORT\<INDEX, 4 digits>, whose
 * registry key carries its settings; the driver reads them when the port
 * starts. The prefix must not hold an earlier install. Exits 0 once every
 * port's interface is present, 1 otherwise. */
#include <windows.h>
// windows.h first: setupapi.h depends on it.
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "simport.h"

static const GUID port_class = {
    0x6fde7521, 0x1b65, 0x48ae, {0xb6, 0x28, 0x80, 0xbe, 0x62, 0x01, 0x60, 0x26}};
/* Root devices of no setup class. */
static const GUID no_class = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

struct setting {
  const WCHAR* value;
  DWORD type;
  BYTE data[SIMPORT_NAME_ROOM];
  DWORD size;
};

struct port_plan {
  unsigned index;
  struct setting settings[16];
  int count;
};

static int fail(const char* what, DWORD error) {
  fprintf(stderr, "simport-install: %s failed: %lu\n", what, (unsigned long)error);
  return 1;
}

static void add_dword(struct port_plan* plan, const WCHAR* value, DWORD number) {
  struct setting* s = &plan->settings[plan->count++];
  s->value = value;
  s->type = REG_DWORD;
  memcpy(s->data, &number, sizeof number);
  s->size = sizeof number;
}

static int parse_hex_bytes(const char* text, struct setting* s) {
  size_t length = strlen(text);
  size_t i;
  if (length % 2 || length / 2 > sizeof s->data) return 0;
  for (i = 0; i < length / 2; ++i) {
    char pair[3] = {text[2 * i], text[2 * i + 1], 0};
    char* end;
    s->data[i] = (BYTE)strtoul(pair, &end, 16);
    if (*end) return 0;
  }
  s->size = (DWORD)(length / 2);
  return 1;
}

/* "AT:STATUS" into two settings. */
static int parse_fault(struct port_plan* plan, const char* text, const WCHAR* at_value,
                       const WCHAR* status_value) {
  char* end;
  unsigned long at = strtoul(text, &end, 10);
  unsigned long status;
  if (*end != ':' || at == 0) return 0;
  status = strtoul(end + 1, &end, 16);
  if (*end) return 0;
  add_dword(plan, at_value, (DWORD)at);
  add_dword(plan, status_value, (DWORD)status);
  return 1;
}

static int parse_line(char* line, struct port_plan* plan) {
  char* token = strtok(line, " \t\r\n");
  char* end;
  memset(plan, 0, sizeof *plan);
  if (!token || strcmp(token, "port") != 0) return 0;
  token = strtok(NULL, " \t\r\n");
  if (!token) return 0;
  plan->index = (unsigned)strtoul(token, &end, 10);
  if (*end || plan->index >= SIMPORT_MAX_PORTS) return 0;
  add_dword(plan, SIMPORT_VALUE_INDEX, plan->index);
  while ((token = strtok(NULL, " \t\r\n")) != NULL) {
    char* value = strchr(token, '=');
    if (value) *value++ = 0;
    if (plan->count >= 14) return 0;
    if (!strcmp(token, "name") && value) {
      struct setting* s = &plan->settings[plan->count++];
      s->value = SIMPORT_VALUE_NAME;
      s->type = REG_BINARY;
      if (!parse_hex_bytes(value, s)) return 0;
    } else if (!strcmp(token, "no-nul") && !value) {
      add_dword(plan, SIMPORT_VALUE_NO_NUL, 1);
    } else if (!strcmp(token, "short") && value) {
      add_dword(plan, SIMPORT_VALUE_SHORT, (DWORD)strtoul(value, NULL, 10) + 1);
    } else if (!strcmp(token, "open-fail") && value) {
      add_dword(plan, SIMPORT_VALUE_OPEN_FAIL, (DWORD)strtoul(value, NULL, 16));
    } else if (!strcmp(token, "second-open-fail") && value) {
      add_dword(plan, SIMPORT_VALUE_OPEN2_FAIL, (DWORD)strtoul(value, NULL, 16));
    } else if (!strcmp(token, "vanish-after") && value) {
      add_dword(plan, SIMPORT_VALUE_VANISH_AFTER, (DWORD)strtoul(value, NULL, 10) + 1);
    } else if (!strcmp(token, "info-fail") && value) {
      add_dword(plan, SIMPORT_VALUE_INFO_FAIL, (DWORD)strtoul(value, NULL, 16));
    } else if (!strcmp(token, "read-fail") && value) {
      if (!parse_fault(plan, value, SIMPORT_VALUE_READ_FAIL_AT, SIMPORT_VALUE_READ_FAIL)) return 0;
    } else if (!strcmp(token, "write-fail") && value) {
      if (!parse_fault(plan, value, SIMPORT_VALUE_WRITE_FAIL_AT, SIMPORT_VALUE_WRITE_FAIL))
        return 0;
    } else if (!strcmp(token, "write-limit") && value) {
      add_dword(plan, SIMPORT_VALUE_WRITE_LIMIT, (DWORD)strtoul(value, NULL, 10) + 1);
    } else {
      return 0;
    }
  }
  return 1;
}

static int install_service(const WCHAR* sys_file) {
  WCHAR target[MAX_PATH];
  SC_HANDLE manager, service;
  if (!GetSystemDirectoryW(target, MAX_PATH)) return fail("GetSystemDirectory", GetLastError());
  wcscat(target, L"\\drivers\\" SIMPORT_SYS_NAME);
  if (!CopyFileW(sys_file, target, FALSE)) return fail("CopyFile", GetLastError());
  manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (!manager) return fail("OpenSCManager", GetLastError());
  service = CreateServiceW(manager, SIMPORT_SERVICE, SIMPORT_SERVICE, SERVICE_ALL_ACCESS,
                           SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           L"\\SystemRoot\\system32\\drivers\\" SIMPORT_SYS_NAME, NULL, NULL, NULL,
                           NULL, NULL);
  if (!service) return fail("CreateService", GetLastError());
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return 0;
}

static int add_port(const struct port_plan* plan) {
  static const WCHAR hardware_id[] = SIMPORT_HARDWARE_ID L"\0";
  WCHAR instance[64];
  SP_DEVINFO_DATA device = {sizeof device};
  HDEVINFO set = SetupDiCreateDeviceInfoList(NULL, NULL);
  HKEY key;
  int i, result = 1;
  if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList", GetLastError());
  swprintf(instance, 64, SIMPORT_ENUMERATOR L"\\%04u", plan->index);
  if (!SetupDiCreateDeviceInfoW(set, instance, &no_class, NULL, NULL, 0, &device)) {
    fail("SetupDiCreateDeviceInfo", GetLastError());
  } else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                (const BYTE*)hardware_id, sizeof hardware_id)) {
    fail("SetupDiSetDeviceRegistryProperty(HARDWAREID)", GetLastError());
  } else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_SERVICE,
                                                (const BYTE*)SIMPORT_SERVICE,
                                                sizeof SIMPORT_SERVICE)) {
    fail("SetupDiSetDeviceRegistryProperty(SERVICE)", GetLastError());
  } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
    fail("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)", GetLastError());
  } else if ((key = SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL,
                                            NULL)) == INVALID_HANDLE_VALUE) {
    fail("SetupDiCreateDevRegKey", GetLastError());
  } else {
    result = 0;
    for (i = 0; i < plan->count && !result; ++i) {
      const struct setting* s = &plan->settings[i];
      LONG error = RegSetValueExW(key, s->value, 0, s->type, s->data, s->size);
      if (error != ERROR_SUCCESS) result = fail("RegSetValueEx", (DWORD)error);
    }
    RegCloseKey(key);
  }
  SetupDiDestroyDeviceInfoList(set);
  return result;
}

static int start_service(void) {
  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service;
  if (!manager) return fail("OpenSCManager", GetLastError());
  service = OpenServiceW(manager, SIMPORT_SERVICE, SERVICE_ALL_ACCESS);
  if (!service) return fail("OpenService", GetLastError());
  if (!StartServiceW(service, 0, NULL)) return fail("StartService", GetLastError());
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return 0;
}

static int count_present(void) {
  SP_DEVICE_INTERFACE_DATA data = {sizeof data};
  HDEVINFO set =
      SetupDiGetClassDevsW(&port_class, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  int n = 0;
  if (set == INVALID_HANDLE_VALUE) return 0;
  while (SetupDiEnumDeviceInterfaces(set, NULL, &port_class, (DWORD)n, &data)) ++n;
  SetupDiDestroyDeviceInfoList(set);
  return n;
}

int wmain(int argc, WCHAR** argv) {
  static struct port_plan plans[SIMPORT_MAX_PORTS];
  char line[4096];
  int count = 0, i, waited;
  if (argc != 2) {
    fprintf(stderr, "usage: simport-install SYS_FILE < LAYOUT\n");
    return 2;
  }
  while (fgets(line, sizeof line, stdin)) {
    char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '#' || *p == '\n' || *p == '\r' || *p == 0) continue;
    if (count == SIMPORT_MAX_PORTS || !parse_line(p, &plans[count])) {
      fprintf(stderr, "simport-install: bad layout line %d\n", count + 1);
      return 1;
    }
    ++count;
  }
  if (install_service(argv[1])) return 1;
  for (i = 0; i < count; ++i)
    if (add_port(&plans[i])) return 1;
  if (start_service()) return 1;
  /* The ports start in the background; wait for them, within bounds. */
  for (waited = 0; waited < 60000; waited += 50) {
    if (count_present() == count) {
      printf("simport-install: %d ports present\n", count);
      return 0;
    }
    Sleep(50);
  }
  fprintf(stderr, "simport-install: %d of %d ports present\n", count_present(), count);
  return 1;
}
