/* The simulated virtio-serial port driver's private interface, shared by the
 * driver, its installer and the host-side controller. Only the tests use it;
 * chanpipe knows nothing of it. */
#ifndef CHANPIPE_TESTS_WINE_DRIVER_SIMPORT_H_
#define CHANPIPE_TESTS_WINE_DRIVER_SIMPORT_H_

#define SIMPORT_SERVICE L"chanpipe_simport"
#define SIMPORT_SYS_NAME L"chanpipe_simport.sys"
#define SIMPORT_ENUMERATOR L"ROOT\\CHANPIPE_SIMPORT"
#define SIMPORT_HARDWARE_ID L"root\\chanpipe_simport"
/* The host side: one control device for all ports. */
#define SIMPORT_CONTROL_NT L"\\Device\\ChanpipeSimportControl"
#define SIMPORT_CONTROL_LINK L"\\DosDevices\\ChanpipeSimportControl"
#define SIMPORT_CONTROL_WIN32 L"\\\\.\\ChanpipeSimportControl"

#define SIMPORT_MAX_PORTS 64
#define SIMPORT_RECORD_SIZE 512
#define SIMPORT_NAME_OFFSET 7
#define SIMPORT_NAME_ROOM (SIMPORT_RECORD_SIZE - SIMPORT_NAME_OFFSET)

/* Per-port settings, in the device's registry key (written at install). */
#define SIMPORT_VALUE_INDEX L"PortIndex"           /* REG_DWORD, 0..63 */
#define SIMPORT_VALUE_NAME L"PortName"             /* REG_BINARY, the name's bytes */
#define SIMPORT_VALUE_NO_NUL L"RecordNoNul"        /* REG_DWORD: name fills the record, no NUL */
#define SIMPORT_VALUE_SHORT L"RecordShort"         /* REG_DWORD: 1 + byte count to return */
#define SIMPORT_VALUE_OPEN_FAIL L"OpenFail"        /* REG_DWORD NTSTATUS for every open */
#define SIMPORT_VALUE_OPEN2_FAIL L"SecondOpenFail" /* REG_DWORD NTSTATUS for open #2 */
/* REG_DWORD: 1 + names answered before the port's path vanishes */
#define SIMPORT_VALUE_VANISH_AFTER L"VanishAfter"
#define SIMPORT_VALUE_INFO_FAIL L"InfoFail"        /* REG_DWORD NTSTATUS for 0x222000 */
#define SIMPORT_VALUE_READ_FAIL_AT L"ReadFailAt"   /* REG_DWORD read number, 1-based */
#define SIMPORT_VALUE_READ_FAIL L"ReadFail"        /* REG_DWORD NTSTATUS */
#define SIMPORT_VALUE_WRITE_FAIL_AT L"WriteFailAt" /* REG_DWORD write number, 1-based */
#define SIMPORT_VALUE_WRITE_FAIL L"WriteFail"      /* REG_DWORD NTSTATUS */
#define SIMPORT_VALUE_WRITE_LIMIT L"WriteLimit"    /* REG_DWORD: 1 + most bytes one write takes */

/* The port information request, as the guest program sends it. */
#define SIMPORT_IOCTL_PORT_INFO 0x222000

/* Control requests: CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA00 + n, METHOD_BUFFERED,
 * FILE_ANY_ACCESS). Every other input starts with a port index (ULONG). */
#define SIMPORT_CTL(n) ((0x22u << 16) | ((0xA00u + (n)) << 2))
#define SIMPORT_CTL_PLUG SIMPORT_CTL(0)  /* in: ULONGLONG mask of present ports */
#define SIMPORT_CTL_PUSH SIMPORT_CTL(1)  /* in: port, bytes for the guest */
#define SIMPORT_CTL_CLOSE SIMPORT_CTL(2) /* in: port; the host side hangs up */
#define SIMPORT_CTL_PULL SIMPORT_CTL(3)  /* in: port; out: bytes the guest wrote */
#define SIMPORT_CTL_STAT SIMPORT_CTL(4)  /* in: port; out: struct simport_stat */
/* in: port; the host side is back after a close, what it had queued kept */
#define SIMPORT_CTL_CONNECT SIMPORT_CTL(5)
/* in: port; the host side hangs up until the guest next closes a handle
 * (the guest has seen it go), then is back as after CONNECT */
#define SIMPORT_CTL_HANG_UP SIMPORT_CTL(6)

#define SIMPORT_OPEN_LOG 4

struct simport_open_record {
  unsigned int access;  /* desired access after generic mapping */
  unsigned int share;   /* share access asked for */
  unsigned int options; /* create options, disposition in the top byte */
  int status;           /* what the open was answered with */
};

struct simport_stat {
  unsigned int started;     /* the device has started */
  unsigned int present;     /* its interface is enabled */
  unsigned int opens;       /* open requests, failed ones too */
  unsigned int handles;     /* open now */
  unsigned int max_handles; /* most open at once */
  unsigned int info_requests;
  unsigned int info_out_length; /* output length of the last info request */
  unsigned int info_in_length;  /* input length of the last info request */
  unsigned int reads;           /* read requests */
  unsigned int reads_pending;   /* waiting for data now */
  unsigned int reads_cancelled;
  unsigned int writes;
  unsigned int host_closed;
  unsigned int other_requests;   /* control requests the port does not know */
  unsigned int refused_requests; /* requests on handles whose open was refused */
  unsigned int closes;           /* accepted handles closed */
  unsigned int vanished;         /* listed, but the path is gone */
  unsigned long long to_guest;   /* bytes queued for the guest */
  unsigned long long to_host;    /* bytes the guest wrote, not yet pulled */
  unsigned int name_length;      /* bytes of the configured name */
  unsigned int open_log_count;   /* first SIMPORT_OPEN_LOG opens are logged */
  struct simport_open_record open_log[SIMPORT_OPEN_LOG];
};

#endif /* CHANPIPE_TESTS_WINE_DRIVER_SIMPORT_H_ */
