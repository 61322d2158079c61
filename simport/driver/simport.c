/* A simulated virtio-serial port driver, for testing chanpipe under Wine.
 *
 * Each root device installed for this driver is one port: it publishes one
 * interface of the port class, answers the port information request with
 * its configured name, hands the guest the bytes the host pushed and keeps
 * what the guest writes for the host. The host side is a control device
 * (\\.\ChanpipeSimportControl) that the tests' controller drives. Faults
 * are read per port from the device's registry key when the port starts. */
#include <ntddk.h>

#include "../simport.h"

/* {6FDE7521-1B65-48AE-B628-80BE62016026}: the port interface class. */
static const GUID port_class = {
    0x6fde7521, 0x1b65, 0x48ae, {0xb6, 0x28, 0x80, 0xbe, 0x62, 0x01, 0x60, 0x26}};

#define POOL_TAG 0x706d6953u /* "Simp" */

/* The routines the kernel calls, declared with their roles' types: on x86
 * these are stdcall, and a definition without NTAPI then fails to compile
 * instead of corrupting the kernel's stack. (IoSetCancelRoutine casts its
 * argument, so only the declaration catches a slip in cancel_read.) */
DRIVER_INITIALIZE DriverEntry;
static DRIVER_ADD_DEVICE add_device;
static DRIVER_UNLOAD unload;
static DRIVER_DISPATCH dispatch;
static DRIVER_CANCEL cancel_read;
static IO_COMPLETION_ROUTINE signal_done;

enum object_kind { KIND_CONTROL = 1, KIND_PORT = 2 };

/* Bytes in flight one way, as a list of blocks consumed from the front. */
struct block {
  LIST_ENTRY link;
  SIZE_T size;
  SIZE_T offset;
  UCHAR data[1];
};

struct queue {
  LIST_ENTRY blocks;
  ULONGLONG bytes;
};

/* Who holds the port, for share modes: handles open, and how many of them
 * read, write or delete, and how many let others do so. */
struct share {
  ULONG open, readers, writers, deleters, shared_read, shared_write, shared_delete;
};

struct port {
  ULONG kind;
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT pdo;
  PDEVICE_OBJECT lower;
  UNICODE_STRING interface_link;
  BOOLEAN interface_registered;
  BOOLEAN listed;          /* in the ports table */
  BOOLEAN back_at_release; /* hung up until the guest closes a handle */
  KSPIN_LOCK lock;

  /* Settings, read at start. */
  ULONG index;
  UCHAR name[SIMPORT_NAME_ROOM];
  ULONG name_length;
  ULONG no_nul;
  ULONG short_record; /* 0, or 1 + bytes to return */
  NTSTATUS open_fail;
  NTSTATUS second_open_fail;
  ULONG vanish_after; /* 0, or 1 + names answered before the path goes */
  NTSTATUS info_fail;
  ULONG read_fail_at;
  NTSTATUS read_fail;
  ULONG write_fail_at;
  NTSTATUS write_fail;
  ULONG write_limit; /* 0, or 1 + most bytes per write */

  /* State, guarded by lock; reset when the host replugs the port. */
  struct queue to_guest;
  struct queue to_host;
  LIST_ENTRY pending_reads;
  struct share share;
  struct simport_stat stat;
};

struct control {
  ULONG kind;
};

static PDEVICE_OBJECT control_device;
static KSPIN_LOCK table_lock;
static struct port* table[SIMPORT_MAX_PORTS];

/* ---- queues ---- */

static void queue_init(struct queue* q) {
  InitializeListHead(&q->blocks);
  q->bytes = 0;
}

static void queue_clear(struct queue* q) {
  while (!IsListEmpty(&q->blocks)) {
    ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&q->blocks), struct block, link), POOL_TAG);
  }
  q->bytes = 0;
}

/* Takes ownership of nothing: copies size bytes in. */
static NTSTATUS queue_put(struct queue* q, const UCHAR* data, SIZE_T size) {
  struct block* b;
  if (size == 0) return STATUS_SUCCESS;
  b = ExAllocatePoolWithTag(NonPagedPool, FIELD_OFFSET(struct block, data) + size, POOL_TAG);
  if (!b) return STATUS_INSUFFICIENT_RESOURCES;
  b->size = size;
  b->offset = 0;
  RtlCopyMemory(b->data, data, size);
  InsertTailList(&q->blocks, &b->link);
  q->bytes += size;
  return STATUS_SUCCESS;
}

/* Moves up to room bytes out of the queue; returns how many. */
static SIZE_T queue_take(struct queue* q, UCHAR* out, SIZE_T room) {
  SIZE_T done = 0;
  while (done < room && !IsListEmpty(&q->blocks)) {
    struct block* b = CONTAINING_RECORD(q->blocks.Flink, struct block, link);
    SIZE_T n = b->size - b->offset;
    if (n > room - done) n = room - done;
    RtlCopyMemory(out + done, b->data + b->offset, n);
    b->offset += n;
    done += n;
    if (b->offset == b->size) {
      RemoveEntryList(&b->link);
      ExFreePoolWithTag(b, POOL_TAG);
    }
  }
  q->bytes -= done;
  return done;
}

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* ---- waiting reads ---- */

static VOID NTAPI cancel_read(PDEVICE_OBJECT device, PIRP irp) {
  struct port* port = device->DeviceExtension;
  KIRQL irql;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KeAcquireSpinLock(&port->lock, &irql);
  /* A completer that lost the race re-initialised the entry: harmless. */
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  InitializeListHead(&irp->Tail.Overlay.ListEntry);
  port->stat.reads_pending--;
  port->stat.reads_cancelled++;
  KeReleaseSpinLock(&port->lock, irql);
  complete(irp, STATUS_CANCELLED, 0);
}

/* Under the port lock: takes waiting reads that can be answered now (data
 * queued, or the host gone with nothing left) onto done, their answers set.
 * The caller completes them after dropping the lock. */
static void answer_reads(struct port* port, LIST_ENTRY* done) {
  while (!IsListEmpty(&port->pending_reads) &&
         (port->to_guest.bytes > 0 || port->stat.host_closed)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&port->pending_reads), IRP, Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    if (!IoSetCancelRoutine(irp, NULL)) continue; /* its cancel routine owns it now */
    port->stat.reads_pending--;
    if (port->to_guest.bytes > 0) {
      ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
      irp->IoStatus.Information =
          queue_take(&port->to_guest, irp->AssociatedIrp.SystemBuffer, length);
      irp->IoStatus.Status = STATUS_SUCCESS;
    } else {
      irp->IoStatus.Information = 0;
      irp->IoStatus.Status = STATUS_PIPE_BROKEN;
    }
    InsertTailList(done, &irp->Tail.Overlay.ListEntry);
  }
}

/* Under the port lock: takes the waiting reads of one handle (or all, for
 * a null file object) onto done, cancelled. */
static void drop_reads(struct port* port, PFILE_OBJECT file, LIST_ENTRY* done) {
  LIST_ENTRY* entry = port->pending_reads.Flink;
  while (entry != &port->pending_reads) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    entry = entry->Flink;
    if (file && IoGetCurrentIrpStackLocation(irp)->FileObject != file) continue;
    if (!IoSetCancelRoutine(irp, NULL)) continue;
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    port->stat.reads_pending--;
    port->stat.reads_cancelled++;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    InsertTailList(done, &irp->Tail.Overlay.ListEntry);
  }
}

static void complete_all(LIST_ENTRY* done) {
  while (!IsListEmpty(done)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

/* ---- the guest's side of a port ---- */

/* The port is still listed, but its path opens nothing any more: what a
 * guest program meets when the port is unplugged between its lookup and
 * its open. Replugging the port brings the path back. */
static void port_vanish(struct port* port) {
  if (port->stat.vanished) return;
  if (NT_SUCCESS(IoDeleteSymbolicLink(&port->interface_link))) port->stat.vanished = 1;
}

/* The interface's path again, as enabling the interface made it: a link
 * to the bus driver's device object. */
static NTSTATUS port_return(struct port* port) {
  WCHAR buffer[128];
  UNICODE_STRING target;
  ULONG length = 0;
  NTSTATUS status;
  if (!port->stat.vanished) return STATUS_SUCCESS;
  status = IoGetDeviceProperty(port->pdo, DevicePropertyPhysicalDeviceObjectName,
                               sizeof buffer - sizeof(WCHAR), buffer, &length);
  if (!NT_SUCCESS(status)) return status;
  target.Buffer = buffer;
  target.Length = (USHORT)(length >= sizeof(WCHAR) ? length - sizeof(WCHAR) : 0);
  target.MaximumLength = sizeof buffer;
  status = IoCreateSymbolicLink(&port->interface_link, &target);
  if (NT_SUCCESS(status)) port->stat.vanished = 0;
  return status;
}

/* The share-mode rule of Windows' IoCheckShareAccess, which Wine 8 lacks:
 * an open that reads, writes or deletes must be allowed by every holder,
 * and must allow every holder. Opens asking for none of these are not
 * counted. Records the open in share on success. */
static NTSTATUS share_take(struct share* share, ACCESS_MASK access, ULONG mode, PFILE_OBJECT file) {
  BOOLEAN read = (access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
  BOOLEAN write = (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
  BOOLEAN del = (access & DELETE) != 0;
  BOOLEAN shared_read = (mode & FILE_SHARE_READ) != 0;
  BOOLEAN shared_write = (mode & FILE_SHARE_WRITE) != 0;
  BOOLEAN shared_delete = (mode & FILE_SHARE_DELETE) != 0;
  file->ReadAccess = read;
  file->WriteAccess = write;
  file->DeleteAccess = del;
  file->SharedRead = shared_read;
  file->SharedWrite = shared_write;
  file->SharedDelete = shared_delete;
  if (!read && !write && !del) return STATUS_SUCCESS;
  if ((read && share->shared_read < share->open) || (write && share->shared_write < share->open) ||
      (del && share->shared_delete < share->open) || (!shared_read && share->readers) ||
      (!shared_write && share->writers) || (!shared_delete && share->deleters))
    return STATUS_SHARING_VIOLATION;
  share->open++;
  share->readers += read;
  share->writers += write;
  share->deleters += del;
  share->shared_read += shared_read;
  share->shared_write += shared_write;
  share->shared_delete += shared_delete;
  return STATUS_SUCCESS;
}

static void share_give_back(struct share* share, PFILE_OBJECT file) {
  if (!file->ReadAccess && !file->WriteAccess && !file->DeleteAccess) return;
  share->open--;
  share->readers -= file->ReadAccess;
  share->writers -= file->WriteAccess;
  share->deleters -= file->DeleteAccess;
  share->shared_read -= file->SharedRead;
  share->shared_write -= file->SharedWrite;
  share->shared_delete -= file->SharedDelete;
}

static NTSTATUS port_create(struct port* port, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  ACCESS_MASK access = sp->Parameters.Create.SecurityContext
                           ? sp->Parameters.Create.SecurityContext->DesiredAccess
                           : 0;
  ULONG share = sp->Parameters.Create.ShareAccess;
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;

  KeAcquireSpinLock(&port->lock, &irql);
  port->stat.opens++;
  if (!port->stat.started) {
    status = STATUS_DEVICE_NOT_READY;
  } else if (port->open_fail) {
    status = port->open_fail;
  } else if (port->second_open_fail && port->stat.opens == 2) {
    status = port->second_open_fail;
  } else {
    /* A port is one end of one channel: it honours the share mode asked
     * for, as a file system would, so two holders cannot mix streams. */
    status = share_take(&port->share, access, share, sp->FileObject);
  }
  /* Wine 8 does not wait for this answer: the caller's open succeeds
   * whatever it is. A refused handle then fails every request with the
   * refusal, so the refusal still shows, one call later than on Windows. */
  sp->FileObject->FsContext = NT_SUCCESS(status) ? port : NULL;
  sp->FileObject->FsContext2 = (PVOID)(LONG_PTR)status;
  if (NT_SUCCESS(status)) {
    port->stat.handles++;
    if (port->stat.handles > port->stat.max_handles) port->stat.max_handles = port->stat.handles;
  }
  if (port->stat.open_log_count < SIMPORT_OPEN_LOG) {
    struct simport_open_record* r = &port->stat.open_log[port->stat.open_log_count++];
    r->access = access;
    r->share = share;
    r->options = sp->Parameters.Create.Options;
    r->status = status;
  }
  KeReleaseSpinLock(&port->lock, irql);
  return complete(irp, status, 0);
}

/* The handle goes away: end its waiting reads and give back its share.
 * Done once per handle, at cleanup or, failing that, at close. */
static void port_release(struct port* port, PFILE_OBJECT file) {
  LIST_ENTRY done;
  KIRQL irql;
  InitializeListHead(&done);
  KeAcquireSpinLock(&port->lock, &irql);
  drop_reads(port, file, &done);
  if (file->FsContext == port) {
    file->FsContext = NULL;
    share_give_back(&port->share, file);
    port->stat.handles--;
    port->stat.closes++;
    /* Decided here, not by the host side on seeing the close: the guest's
     * next open can come before the host side hears of this one. */
    if (port->back_at_release) {
      port->back_at_release = FALSE;
      port->stat.host_closed = 0;
    }
  }
  KeReleaseSpinLock(&port->lock, irql);
  complete_all(&done);
}

/* The NTSTATUS a request on this handle must fail with: the refusal of
 * its open, or success for a handle the port accepted. */
static NTSTATUS refusal(struct port* port, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (!file || file->FsContext == port) return STATUS_SUCCESS;
  return (NTSTATUS)(LONG_PTR)file->FsContext2;
}

static NTSTATUS port_read(struct port* port, PIRP irp) {
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
  NTSTATUS status;
  ULONG_PTR got = 0;
  KIRQL irql;

  KeAcquireSpinLock(&port->lock, &irql);
  port->stat.reads++;
  if (port->read_fail_at && port->stat.reads == port->read_fail_at) {
    status = port->read_fail;
  } else if (length == 0) {
    status = STATUS_SUCCESS;
  } else if (port->to_guest.bytes > 0 && IsListEmpty(&port->pending_reads)) {
    got = queue_take(&port->to_guest, irp->AssociatedIrp.SystemBuffer, length);
    status = STATUS_SUCCESS;
  } else if (port->stat.host_closed && port->to_guest.bytes == 0) {
    status = STATUS_PIPE_BROKEN;
  } else {
    /* Nothing yet: wait for the host, unless the caller gives up first. */
    IoSetCancelRoutine(irp, cancel_read);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
      status = STATUS_CANCELLED;
      port->stat.reads_cancelled++;
    } else {
      IoMarkIrpPending(irp);
      InsertTailList(&port->pending_reads, &irp->Tail.Overlay.ListEntry);
      port->stat.reads_pending++;
      KeReleaseSpinLock(&port->lock, irql);
      return STATUS_PENDING;
    }
  }
  KeReleaseSpinLock(&port->lock, irql);
  return complete(irp, status, got);
}

static NTSTATUS port_write(struct port* port, PIRP irp) {
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
  NTSTATUS status;
  ULONG_PTR taken = 0;
  KIRQL irql;

  KeAcquireSpinLock(&port->lock, &irql);
  port->stat.writes++;
  if (port->write_fail_at && port->stat.writes == port->write_fail_at) {
    status = port->write_fail;
  } else {
    taken = length;
    if (port->write_limit && taken > port->write_limit - 1) taken = port->write_limit - 1;
    status = queue_put(&port->to_host, irp->AssociatedIrp.SystemBuffer, taken);
    if (!NT_SUCCESS(status)) taken = 0;
  }
  KeReleaseSpinLock(&port->lock, irql);
  return complete(irp, status, taken);
}

/* The port information record: the driver's own seven bytes, then the
 * name. The own bytes are never NUL, so a reader that starts the name
 * anywhere but offset 7 finds the wrong name. */
static NTSTATUS port_info(struct port* port, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  UCHAR* out = irp->AssociatedIrp.SystemBuffer;
  ULONG room = sp->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR record[SIMPORT_RECORD_SIZE];
  ULONG length, i;
  NTSTATUS status = STATUS_SUCCESS;
  BOOLEAN vanish;
  KIRQL irql;

  KeAcquireSpinLock(&port->lock, &irql);
  port->stat.info_requests++;
  port->stat.info_out_length = room;
  port->stat.info_in_length = sp->Parameters.DeviceIoControl.InputBufferLength;
  for (i = 0; i < SIMPORT_NAME_OFFSET; ++i) record[i] = (UCHAR)(0xA0 + port->index + i);
  RtlCopyMemory(record + SIMPORT_NAME_OFFSET, port->name, port->name_length);
  length = SIMPORT_NAME_OFFSET + port->name_length;
  if (!port->no_nul) record[length++] = 0;
  if (port->short_record) length = port->short_record - 1;
  if (port->info_fail) {
    status = port->info_fail;
    length = 0;
  } else if (room < length) {
    status = STATUS_BUFFER_TOO_SMALL;
    length = 0;
  } else {
    RtlCopyMemory(out, record, length);
  }
  vanish = port->vanish_after && port->stat.info_requests == port->vanish_after - 1;
  KeReleaseSpinLock(&port->lock, irql);
  /* Gone before the caller has the answer. Counting closes instead would
   * race under Wine: its CloseHandle returns before the driver sees the
   * close, so the caller's next open could still find the path. */
  if (vanish) port_vanish(port);
  return complete(irp, status, length);
}

/* ---- the host's side: the control device ---- */

static struct port* port_at(ULONG index) {
  struct port* port = NULL;
  KIRQL irql;
  if (index >= SIMPORT_MAX_PORTS) return NULL;
  KeAcquireSpinLock(&table_lock, &irql);
  port = table[index];
  KeReleaseSpinLock(&table_lock, irql);
  return port;
}

static void port_reset(struct port* port) {
  queue_clear(&port->to_guest);
  queue_clear(&port->to_host);
  RtlZeroMemory(&port->share, sizeof port->share);
  port->stat.opens = 0;
  port->stat.max_handles = 0;
  port->stat.info_requests = 0;
  port->stat.info_out_length = 0;
  port->stat.info_in_length = 0;
  port->stat.reads = 0;
  port->stat.reads_cancelled = 0;
  port->stat.writes = 0;
  port->stat.closes = 0;
  port->stat.refused_requests = 0;
  port->stat.host_closed = 0;
  port->back_at_release = FALSE;
  port->stat.other_requests = 0;
  port->stat.open_log_count = 0;
  RtlZeroMemory(port->stat.open_log, sizeof port->stat.open_log);
}

/* Makes exactly the ports in mask present, each fresh. Refused while any
 * port is in use, so that no test inherits another's handles. */
static NTSTATUS control_plug(ULONGLONG mask) {
  ULONG i;
  KIRQL irql;
  for (i = 0; i < SIMPORT_MAX_PORTS; ++i) {
    struct port* port = port_at(i);
    BOOLEAN busy;
    if (!port) {
      if (mask & (1ull << i)) return STATUS_NO_SUCH_DEVICE;
      continue;
    }
    KeAcquireSpinLock(&port->lock, &irql);
    busy = port->stat.handles != 0 || port->stat.reads_pending != 0;
    KeReleaseSpinLock(&port->lock, irql);
    if (busy) return STATUS_DEVICE_BUSY;
  }
  for (i = 0; i < SIMPORT_MAX_PORTS; ++i) {
    struct port* port = port_at(i);
    BOOLEAN want = (mask & (1ull << i)) != 0;
    if (!port) continue;
    KeAcquireSpinLock(&port->lock, &irql);
    port_reset(port);
    KeReleaseSpinLock(&port->lock, irql);
    if (want != (BOOLEAN)port->stat.present) {
      /* An interface turned off takes its path with it. */
      NTSTATUS status = port_return(port);
      if (!NT_SUCCESS(status)) return status;
      status = IoSetDeviceInterfaceState(&port->interface_link, want);
      if (!NT_SUCCESS(status)) return status;
      port->stat.present = want;
    }
    if (want) {
      NTSTATUS status = port_return(port);
      if (!NT_SUCCESS(status)) return status;
      if (port->vanish_after == 1) port_vanish(port);
    }
  }
  return STATUS_SUCCESS;
}

static NTSTATUS control_request(PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
  ULONG in_length = sp->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out_length = sp->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;
  struct port* port;
  LIST_ENTRY done;
  ULONG_PTR information = 0;
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;
  ULONG first;

  if (code == SIMPORT_CTL_PLUG) {
    ULONGLONG mask;
    if (in_length != sizeof mask) return complete(irp, STATUS_INVALID_PARAMETER, 0);
    RtlCopyMemory(&mask, buffer, sizeof mask);
    return complete(irp, control_plug(mask), 0);
  }
  if (in_length < sizeof(ULONG)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
  RtlCopyMemory(&first, buffer, sizeof first);

  port = port_at(first);
  if (!port) return complete(irp, STATUS_NO_SUCH_DEVICE, 0);
  InitializeListHead(&done);
  KeAcquireSpinLock(&port->lock, &irql);
  switch (code) {
    case SIMPORT_CTL_PUSH:
      if (port->stat.host_closed) {
        status = STATUS_PIPE_CLOSING;
        break;
      }
      status = queue_put(&port->to_guest, buffer + sizeof first, in_length - sizeof first);
      answer_reads(port, &done);
      break;
    case SIMPORT_CTL_CLOSE:
      port->stat.host_closed = 1;
      answer_reads(port, &done);
      break;
    case SIMPORT_CTL_CONNECT:
      port->stat.host_closed = 0;
      port->back_at_release = FALSE;
      break;
    case SIMPORT_CTL_HANG_UP:
      port->stat.host_closed = 1;
      port->back_at_release = TRUE;
      answer_reads(port, &done);
      break;
    case SIMPORT_CTL_PULL:
      information = queue_take(&port->to_host, buffer, out_length);
      break;
    case SIMPORT_CTL_STAT:
      if (out_length < sizeof(struct simport_stat)) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      port->stat.to_guest = port->to_guest.bytes;
      port->stat.to_host = port->to_host.bytes;
      port->stat.name_length = port->name_length;
      RtlCopyMemory(buffer, &port->stat, sizeof port->stat);
      information = sizeof port->stat;
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  KeReleaseSpinLock(&port->lock, irql);
  complete_all(&done);
  return complete(irp, status, information);
}

/* ---- configuration ---- */

static ULONG read_value(HANDLE key, const WCHAR* name, UCHAR* out, ULONG room) {
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + SIMPORT_NAME_ROOM];
  KEY_VALUE_PARTIAL_INFORMATION* info = (KEY_VALUE_PARTIAL_INFORMATION*)buffer;
  UNICODE_STRING value_name;
  ULONG length = 0;
  RtlInitUnicodeString(&value_name, name);
  if (!NT_SUCCESS(ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, info, sizeof buffer,
                                  &length)))
    return 0;
  if (info->DataLength > room) return 0;
  RtlCopyMemory(out, info->Data, info->DataLength);
  return info->DataLength;
}

static ULONG read_dword(HANDLE key, const WCHAR* name) {
  ULONG value = 0;
  if (read_value(key, name, (UCHAR*)&value, sizeof value) != sizeof value) return 0;
  return value;
}

static NTSTATUS read_settings(struct port* port) {
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(port->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
  if (!NT_SUCCESS(status)) return status;
  port->index = read_dword(key, SIMPORT_VALUE_INDEX);
  port->name_length = read_value(key, SIMPORT_VALUE_NAME, port->name, sizeof port->name);
  port->no_nul = read_dword(key, SIMPORT_VALUE_NO_NUL);
  port->short_record = read_dword(key, SIMPORT_VALUE_SHORT);
  port->open_fail = (NTSTATUS)read_dword(key, SIMPORT_VALUE_OPEN_FAIL);
  port->second_open_fail = (NTSTATUS)read_dword(key, SIMPORT_VALUE_OPEN2_FAIL);
  port->vanish_after = read_dword(key, SIMPORT_VALUE_VANISH_AFTER);
  port->info_fail = (NTSTATUS)read_dword(key, SIMPORT_VALUE_INFO_FAIL);
  port->read_fail_at = read_dword(key, SIMPORT_VALUE_READ_FAIL_AT);
  port->read_fail = (NTSTATUS)read_dword(key, SIMPORT_VALUE_READ_FAIL);
  port->write_fail_at = read_dword(key, SIMPORT_VALUE_WRITE_FAIL_AT);
  port->write_fail = (NTSTATUS)read_dword(key, SIMPORT_VALUE_WRITE_FAIL);
  port->write_limit = read_dword(key, SIMPORT_VALUE_WRITE_LIMIT);
  ZwClose(key);
  if (port->index >= SIMPORT_MAX_PORTS) return STATUS_INVALID_PARAMETER;
  if (port->short_record > SIMPORT_RECORD_SIZE + 1) return STATUS_INVALID_PARAMETER;
  /* With its NUL the name must fit the record; without, it fills it. */
  if (port->no_nul ? port->name_length > SIMPORT_NAME_ROOM
                   : port->name_length > SIMPORT_NAME_ROOM - 1)
    return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

/* ---- plug and play ---- */

static NTSTATUS NTAPI signal_done(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  (void)irp;
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Lets the bus driver finish first, as a start must. */
static NTSTATUS forward_and_wait(struct port* port, PIRP irp) {
  KEVENT event;
  NTSTATUS status;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, signal_done, &event, TRUE, TRUE, TRUE);
  status = IoCallDriver(port->lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
  }
  return status;
}

static NTSTATUS port_start(struct port* port) {
  NTSTATUS status = read_settings(port);
  KIRQL irql;
  if (!NT_SUCCESS(status)) return status;
  KeAcquireSpinLock(&table_lock, &irql);
  if (table[port->index]) {
    status = STATUS_OBJECT_NAME_COLLISION;
  } else {
    table[port->index] = port;
    port->listed = TRUE;
  }
  KeReleaseSpinLock(&table_lock, irql);
  if (!NT_SUCCESS(status)) return status;
  port->stat.started = 1;
  status = IoSetDeviceInterfaceState(&port->interface_link, TRUE);
  if (NT_SUCCESS(status)) port->stat.present = 1;
  if (port->vanish_after == 1) port_vanish(port);
  return status;
}

static void port_unlist(struct port* port) {
  KIRQL irql;
  KeAcquireSpinLock(&table_lock, &irql);
  if (port->listed && table[port->index] == port) table[port->index] = NULL;
  port->listed = FALSE;
  KeReleaseSpinLock(&table_lock, irql);
}

static NTSTATUS port_pnp(struct port* port, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = forward_and_wait(port, irp);
      if (NT_SUCCESS(status)) status = port_start(port);
      return complete(irp, status, 0);
    case IRP_MN_REMOVE_DEVICE: {
      PDEVICE_OBJECT lower = port->lower;
      LIST_ENTRY done;
      KIRQL irql;
      if (port->stat.present) IoSetDeviceInterfaceState(&port->interface_link, FALSE);
      port->stat.present = 0;
      port_unlist(port);
      InitializeListHead(&done);
      KeAcquireSpinLock(&port->lock, &irql);
      drop_reads(port, NULL, &done);
      port->stat.started = 0;
      KeReleaseSpinLock(&port->lock, irql);
      complete_all(&done);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      status = IoCallDriver(lower, irp);
      queue_clear(&port->to_guest);
      queue_clear(&port->to_host);
      if (port->interface_registered) RtlFreeUnicodeString(&port->interface_link);
      IoDetachDevice(lower);
      IoDeleteDevice(port->self);
      return status;
    }
    default:
      /* Everything else belongs to the bus driver below. */
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(port->lower, irp);
  }
}

/* ---- dispatch ---- */

static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  ULONG kind = *(ULONG*)device->DeviceExtension;

  if (kind == KIND_CONTROL) {
    switch (sp->MajorFunction) {
      case IRP_MJ_CREATE:
      case IRP_MJ_CLEANUP:
      case IRP_MJ_CLOSE:
        return complete(irp, STATUS_SUCCESS, 0);
      case IRP_MJ_DEVICE_CONTROL:
        return control_request(irp);
      default:
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
  } else {
    struct port* port = device->DeviceExtension;
    KIRQL irql;
    switch (sp->MajorFunction) {
      case IRP_MJ_CREATE:
        return port_create(port, irp);
      case IRP_MJ_CLEANUP:
      case IRP_MJ_CLOSE:
        port_release(port, sp->FileObject);
        return complete(irp, STATUS_SUCCESS, 0);
      case IRP_MJ_READ:
      case IRP_MJ_WRITE:
      case IRP_MJ_DEVICE_CONTROL:
        if (!NT_SUCCESS(refusal(port, irp))) {
          KeAcquireSpinLock(&port->lock, &irql);
          port->stat.refused_requests++;
          KeReleaseSpinLock(&port->lock, irql);
          return complete(irp, refusal(port, irp), 0);
        }
        break;
      default:
        break;
    }
    switch (sp->MajorFunction) {
      case IRP_MJ_READ:
        return port_read(port, irp);
      case IRP_MJ_WRITE:
        return port_write(port, irp);
      case IRP_MJ_DEVICE_CONTROL:
        if (sp->Parameters.DeviceIoControl.IoControlCode == SIMPORT_IOCTL_PORT_INFO)
          return port_info(port, irp);
        KeAcquireSpinLock(&port->lock, &irql);
        port->stat.other_requests++;
        KeReleaseSpinLock(&port->lock, irql);
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
      case IRP_MJ_PNP:
        return port_pnp(port, irp);
      default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(port->lower, irp);
    }
  }
}

static NTSTATUS NTAPI add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  struct port* port;
  NTSTATUS status = IoCreateDevice(driver, sizeof(struct port), NULL, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  port = fdo->DeviceExtension;
  RtlZeroMemory(port, sizeof *port);
  port->kind = KIND_PORT;
  port->self = fdo;
  port->pdo = pdo;
  KeInitializeSpinLock(&port->lock);
  queue_init(&port->to_guest);
  queue_init(&port->to_host);
  InitializeListHead(&port->pending_reads);
  port->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (!port->lower) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  status = IoRegisterDeviceInterface(pdo, &port_class, NULL, &port->interface_link);
  if (!NT_SUCCESS(status)) {
    IoDetachDevice(port->lower);
    IoDeleteDevice(fdo);
    return status;
  }
  port->interface_registered = TRUE;
  fdo->Flags |= DO_BUFFERED_IO;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static VOID NTAPI unload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  (void)driver;
  RtlInitUnicodeString(&link, SIMPORT_CONTROL_LINK);
  IoDeleteSymbolicLink(&link);
  if (control_device) IoDeleteDevice(control_device);
  control_device = NULL;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  UNICODE_STRING name, link;
  NTSTATUS status;
  ULONG i;
  (void)registry_path;

  KeInitializeSpinLock(&table_lock);
  for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = dispatch;
  driver->DriverExtension->AddDevice = add_device;
  driver->DriverUnload = unload;

  RtlInitUnicodeString(&name, SIMPORT_CONTROL_NT);
  status = IoCreateDevice(driver, sizeof(struct control), &name, FILE_DEVICE_UNKNOWN,
                          FILE_DEVICE_SECURE_OPEN, FALSE, &control_device);
  if (!NT_SUCCESS(status)) return status;
  ((struct control*)control_device->DeviceExtension)->kind = KIND_CONTROL;
  control_device->Flags |= DO_BUFFERED_IO;
  RtlInitUnicodeString(&link, SIMPORT_CONTROL_LINK);
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(control_device);
    control_device = NULL;
    return status;
  }
  control_device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
