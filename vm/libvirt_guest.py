"""A libvirt daemon of our own and a transient domain that boots the
project's busybox guest (vm/lib.sh) with chanpipe inside, for the tests,
the measurements and the demo of chanpipe on libvirt hosts. Run as root,
with Debian's python3 (python3-libvirt).

    with Daemons(work) as daemons:             # virtlogd and libvirtd
        dom = Domain(daemons, "chanpipe-x", chanpipe, runstat, cache,
                     [("unix", "org.x"), ("tcp", "org.y", free_port()), ("pty", "org.z")],
                     files={"data/in": payload})  # /data/in in the guest
        dom.ask("/chanpipe r org.x | wc -c")    # the agent runs it, answers its output
        ident = dom.request("xfer chanpipe w org.x 60 /data/in")  # runs in the background
        dom.answer(ident)                       # its output, once it ended
        dom.source("org.x")                     # the socket's path; (host, port) for tcp
        dom.alias("org.x"), dom.state("org.x")  # "channel0"; "connected" or "disconnected"
        dom.destroy()                           # else the daemons' stop does it
    as_user = ensure_user()                     # runuser prefix for USER, in group libvirt

The daemons listen on the usual unix sockets (qemu:///system; members of
group "libvirt" may use the read-write one with no polkit) and on
127.0.0.1's TCP port 16509 with no authentication (qemu+tcp://127.0.0.1/system).
If a libvirtd already answers on both, it is reused and left running; one
that answers on the unix socket alone is refused. Daemons(work, remote=False)
(the demo's) has no TCP listener and reuses any libvirtd that answers, as
a host's own. A virtlogd that answers is reused too. Daemons started here
are stopped by PID, after the domains.

The default guest script is the guest's agent (vm/agent-guest.sh, driven
by vm/agent.py): "ID COMMAND" on its second serial line runs COMMAND in
the background and answers "ID OUTPUT" on one line; its functions xfer and
counter are there for the commands. A guest that
writes before QEMU has taken the host's connection loses those bytes:
wait for "counter NAME host_connected" to be 1 first.
"""
import os
import re
import shlex
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

import libvirt

HERE = os.path.dirname(os.path.realpath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from agent import Agent, Failed  # noqa: E402
AGENT = os.path.join(HERE, "agent-guest.sh")
LOCAL = "qemu:///system"
REMOTE = "qemu+tcp://127.0.0.1/system"
RUN = "/run/libvirt"
USER = "chanpipe-test"  # not root, in group libvirt

# The remote URI's listener; it lets anyone on this machine in.
LIBVIRTD_TCP = """listen_tls = 0
listen_tcp = 1
listen_addr = "127.0.0.1"
auth_tcp = "none"
"""
LIBVIRTD_CONF = """unix_sock_group = "libvirt"
unix_sock_ro_perms = "0777"
unix_sock_rw_perms = "0770"
auth_unix_ro = "none"
auth_unix_rw = "none"
log_outputs = "3:file:{work}/libvirtd.log"
"""


def until(predicate, seconds, what):
    end = time.monotonic() + seconds
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise Failed("%s: not within %g s" % (what, seconds))
        time.sleep(0.1)


def answers(path):
    """Whether a unix socket at path takes connections."""
    with socket.socket(socket.AF_UNIX) as s:
        try:
            s.connect(path)
            return True
        except OSError:
            return False


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def quiet_open(uri, read_only=False):
    """A connection, or None; libvirt's own error printing is off."""
    libvirt.registerErrorHandler(lambda *_: None, None)
    try:
        return (libvirt.openReadOnly if read_only else libvirt.open)(uri)
    except libvirt.libvirtError:
        return None


def ensure_user():
    """The user USER in group libvirt, made if missing (and kept)."""
    if subprocess.run(["id", "-u", USER], capture_output=True).returncode != 0:
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                        "--groups", "libvirt", USER], check=True)
    return ["runuser", "-u", USER, "--"]


class Daemons:
    """virtlogd and libvirtd, started (or reused) by start(), stopped with
    every domain of ours by stop(). work: a folder for configs and logs;
    qemu_conf: what libvirtd reads instead of /etc/libvirt/qemu.conf (a
    libvirtd that runs already is refused then); remote False: no TCP
    listener, and any libvirtd that runs already is reused (the demo's)."""

    def __init__(self, work, qemu_conf=None, remote=True):
        self.work, self.qemu_conf, self.started, self.domains = work, qemu_conf, [], []
        self.remote = remote

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *_):
        self.stop()

    def _daemon(self, program, config):
        path = os.path.join(self.work, program + ".conf")
        with open(path, "w") as f:
            f.write(config)
        args = ["/usr/sbin/" + program, "--config", path,
                "--pid-file", os.path.join(self.work, program + ".pid")]
        if program == "libvirtd":
            args = self._namespace() + args + (["--listen"] if self.remote else [])
        log = open(os.path.join(self.work, program + ".out"), "w")
        process = subprocess.Popen(args,
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                   start_new_session=True)
        self.started.append(process)

    def _namespace(self):
        """What runs libvirtd in a mount namespace of its own, where that is
        needed: with qemu_conf, over /etc/libvirt/qemu.conf; and where
        libvirt-qemu may not open /dev/kvm, over it a node that it may
        (root:kvm 0660, as udev's rule would make it). Without the latter,
        libvirt takes QEMU's capabilities, probed with KVM, for outdated at
        every look and probes them again: a minute more for each domain's
        start."""
        binds = []
        if self.qemu_conf is not None:
            path = os.path.join(self.work, "qemu.conf")
            with open(path, "w") as f:
                f.write(self.qemu_conf)
            binds.append((path, "/etc/libvirt/qemu.conf"))
        if os.path.exists("/dev/kvm") and subprocess.run(
                ["runuser", "-u", "libvirt-qemu", "--", "test", "-r", "/dev/kvm", "-a", "-w",
                 "/dev/kvm"]).returncode != 0:
            node = os.path.join(self.work, "kvm")
            if not os.path.exists(node):
                os.mknod(node, 0o660 | stat.S_IFCHR, os.stat("/dev/kvm").st_rdev)
                shutil.chown(node, group="kvm")
                os.chmod(node, 0o660)
            binds.append((node, "/dev/kvm"))
        if not binds:
            return []
        mounts = "".join("mount --bind %s %s && " % (shlex.quote(a), b) for a, b in binds)
        return ["unshare", "--mount", "--propagation", "slave", "sh", "-c", mounts + 'exec "$@"', "-"]

    def start(self):
        """Sets start_seconds, how long it took until libvirtd answered, and
        reused, whether it ran already."""
        began, self.reused = time.monotonic(), False
        os.makedirs(self.work, exist_ok=True)
        if not answers(RUN + "/virtlogd-sock"):
            self._daemon("virtlogd", 'log_outputs = "3:file:%s/virtlogd.log"\n' % self.work)
            until(lambda: answers(RUN + "/virtlogd-sock"), 30, "virtlogd")
        if answers(RUN + "/libvirt-sock"):
            if self.qemu_conf is not None or self.remote and not quiet_open(REMOTE):
                raise Failed("a libvirtd runs already that does not listen on 127.0.0.1 or"
                             " has another qemu.conf: stop it first")
            print("libvirt harness: reusing the running libvirtd", flush=True)
            self.reused = True
        else:
            self._daemon("libvirtd", (LIBVIRTD_TCP if self.remote else "") +
                         LIBVIRTD_CONF.format(work=self.work))
        # The first connection waits for QEMU's capabilities to be probed.
        self._conn = until(lambda: self._check() and quiet_open(LOCAL), 120, "libvirtd")
        if self.remote:
            until(lambda: quiet_open(REMOTE), 30, "libvirtd on " + REMOTE)
        self.start_seconds = time.monotonic() - began

    @property
    def conn(self):
        """A read-write connection to qemu:///system. Opened again when
        libvirtd dropped it: once the process has registered an event loop,
        libvirtd drops a connection whose loop does not run for half a
        minute (its keepalive pings go unanswered), and isAlive() does not
        tell until the next call fails."""
        try:
            self._conn.getLibVersion()
        except libvirt.libvirtError:
            self._conn = libvirt.open(LOCAL)
        return self._conn

    def _check(self):
        for process in self.started:
            if process.poll() is not None:
                raise Failed("%s ended with status %d; see %s" % (
                    process.args[0], process.returncode, self.work))
        return True

    def stop(self):
        for dom in list(self.domains):
            dom.destroy()
        # libvirtd (started last) first: it holds virtlogd.
        for process in reversed(self.started):
            process.terminate()
            try:
                process.wait(30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self.started = []


def channel_xml(kind, name, where=None):
    """A <channel>: unix (libvirt's path, or where), tcp (where: the port
    on 127.0.0.1) or pty."""
    target = "<target type='virtio' name='%s'/>" % name
    if kind == "unix":
        return "<channel type='unix'><source mode='bind'%s/>%s</channel>" % (
            " path='%s'" % where if where else "", target)
    if kind == "tcp":
        return ("<channel type='tcp'><source mode='bind' host='127.0.0.1' service='%d'/>"
                "<protocol type='raw'/>%s</channel>" % (where, target))
    if kind == "pty":
        return "<channel type='pty'>%s</channel>" % target
    raise ValueError(kind)


# ACPI: without it the guest finds no HPET or PM timer, falls back on
# jiffies, and its clock runs 8 to 10 % slow under TCG (runstat's times).
DOMAIN_XML = """<domain type='qemu'>
  <name>{name}</name>
  <memory unit='MiB'>768</memory>
  <vcpu>1</vcpu>
  <os>
    <type arch='x86_64' machine='pc'>hvm</type>
    <kernel>{dir}/vmlinuz</kernel>
    <initrd>{dir}/initrd.cpio</initrd>
    <cmdline>console=ttyS0 panic=-1 quiet chanpipe.ports={ports}</cmdline>
  </os>
  <features><acpi/></features>
  <on_poweroff>destroy</on_poweroff>
  <on_reboot>destroy</on_reboot>
  <on_crash>destroy</on_crash>
  <devices>
    <serial type='file'><source path='{dir}/console.log'/><target port='0'/></serial>
    <serial type='unix'><source mode='connect' path='{dir}/agent'/>
      <target type='pci-serial' port='1'><model name='pci-serial'/></target></serial>
    {channels}
    <memballoon model='none'/>
  </devices>
</domain>
"""


class Domain:
    """A transient domain booted with the channels given, (KIND, NAME) or
    (KIND, NAME, WHERE) as channel_xml takes them, and script as /guest.sh
    (the agent by default); files (guest path: bytes) go into its
    initramfs besides /chanpipe and /runstat. Its kernel, initramfs and
    sockets live in a folder of /tmp of mode 0711: libvirt chowns the
    kernel, initramfs and the agent's socket to libvirt-qemu while the
    domain runs (and gives them back after), but not the folders above,
    which QEMU must be able to pass, and the work folder may be under a
    home of mode 0700; socket paths must stay short too."""

    def __init__(self, daemons, name, chanpipe, runstat, cache, channels, script=AGENT,
                 files=None, seconds=180):
        self.daemons, self.name, self.channels, self.agent = daemons, name, channels, None
        self.dir = tempfile.mkdtemp(prefix="chanpipe-lv.")
        os.chmod(self.dir, 0o711)
        try:
            self._boot(chanpipe, runstat, cache, script, files or {}, seconds)
        except BaseException:
            self.destroy()
            shutil.rmtree(self.dir, ignore_errors=True)
            raise

    def _boot(self, chanpipe, runstat, cache, script, files, seconds):
        stage = os.path.join(self.dir, "stage")
        for path, data in dict(files, chanpipe=open(chanpipe, "rb").read(),
                               runstat=open(runstat, "rb").read()).items():
            os.makedirs(os.path.dirname(os.path.join(stage, path)), exist_ok=True)
            with open(os.path.join(stage, path), "wb") as f:
                f.write(data)
        os.chmod(os.path.join(stage, "chanpipe"), 0o755)
        os.chmod(os.path.join(stage, "runstat"), 0o755)
        subprocess.run(["bash", "-c", '. "$0/vm/lib.sh" && qemu_fetch_kernel "$1" && '
                        'qemu_make_initramfs "$2" "$3" "$4/initrd.cpio" && '
                        'cp "$QEMU_KERNEL_DIR/vmlinuz" "$4/vmlinuz"',
                        ROOT, cache, stage, script, self.dir], check=True)
        shutil.rmtree(stage)
        agent = Agent([os.path.join(self.dir, "agent")], seconds, accept=False)
        self.xml = DOMAIN_XML.format(name=self.name, dir=self.dir, ports=len(self.channels),
                                     channels="\n    ".join(channel_xml(*c) for c in self.channels))
        began = time.monotonic()
        self.daemons.conn.createXML(self.xml, 0)
        self.daemons.domains.append(self)
        with open("%s/qemu/%s.pid" % (RUN, self.name)) as f:
            self.qemu = int(f.read())
        # QEMU connected while it started; the agent speaks once booted.
        agent.accept(seconds)
        self.agent = agent
        self.boot_seconds = time.monotonic() - began

    @property
    def dom(self):
        """The running domain, on the daemons' connection."""
        return self.daemons.conn.lookupByName(self.name)

    def request(self, command):
        """Starts command in the guest; answer(returned id) gives its output."""
        return self.agent.ask(command)

    def answer(self, ident, seconds=180):
        return self.agent.answer(ident, seconds)["text"]

    def ask(self, command, seconds=180):
        """command's output, its lines joined by spaces."""
        return self.answer(self.request(command), seconds)

    def _channel(self, name):
        for channel in ET.fromstring(self.dom.XMLDesc(0)).iter("channel"):
            if channel.find("target").get("name") == name:
                return channel
        raise Failed("%s: no channel %s" % (self.name, name))

    def source(self, name):
        """Where the host end of channel name is: a unix socket's or a pty's
        path, or (host, port)."""
        channel = self._channel(name)
        source = channel.find("source")
        if channel.get("type") == "tcp":
            return source.get("host"), int(source.get("service"))
        return source.get("path")

    def alias(self, name):
        """The device alias (channel0...) of channel name."""
        return self._channel(name).find("alias").get("name")

    def state(self, name):
        """"connected" or "disconnected": whether the guest holds the port open."""
        return self._channel(name).find("target").get("state")

    def destroy(self):
        """Kills the domain if it runs, and removes its folder."""
        if self not in self.daemons.domains:
            return
        self.daemons.domains.remove(self)
        try:
            self.dom.destroy()
        except libvirt.libvirtError as e:
            if e.get_error_code() != libvirt.VIR_ERR_NO_DOMAIN:  # else it had ended
                print("libvirt harness: destroying %s: %s" % (self.name, e), flush=True)
        # libvirtd leaves a domain's QEMU running when it stops itself.
        for signal in (0, 15, 15, 9):
            try:
                with open("/proc/%d/cmdline" % self.qemu, "rb") as f:
                    if b"guest=%s," % self.name.encode() not in f.read():
                        break
                os.kill(self.qemu, signal)
            except OSError:
                break  # it has ended
            time.sleep(0.5)
        if self.agent:
            for line in self.agent.lines:
                line.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def console(self):
        """The guest's console so far (for a failure's report)."""
        try:
            with open(os.path.join(self.dir, "console.log"), errors="replace") as f:
                return re.sub(r"\n+", "\n", f.read())
        except OSError as e:
            return str(e)
