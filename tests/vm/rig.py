#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The library in front of real Linux serial drivers, 8250 (a 16550) and
ftdi_sio (QEMU's usb-serial, an FTDI FT232 behind xHCI), in a QEMU machine.

rig.py KERNEL_DIR SERIAL_HOST LIBRARY

Boots Debian's generic kernel (unpacked into KERNEL_DIR, never installed, by
cmake/install-deps.sh) with an initramfs of busybox, the library and
serial_host, then plays the receiver on the pseudo-terminals behind both
ports. It reads each port's settings from the device side (the 16550's
registers through the QEMU monitor, the FTDI's requests through trace
events), checks the capture files through a 9p share, and unplugs and
replugs the USB adapter through QMP. Exit status 0 when every check held.
"""
import collections, glob, gzip, json, os, pty, queue, re, shutil, socket, subprocess
import sys, tempfile, termios, threading, time

CACHE, SERIAL_HOST, LIBRARY = sys.argv[1:4]
MODULES = ["xhci-pci", "ftdi_sio", "virtio_pci", "9pnet_virtio", "9p"]
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


# --- The kernel, as the dependency step unpacked it. ----------------------

def kernel():
    found = glob.glob(os.path.join(CACHE, "root/boot/vmlinuz-*"))
    if not found:
        sys.exit("no kernel in %s: run bash cmake/install-deps.sh test" % CACHE)
    version = os.path.basename(found[0])[len("vmlinuz-"):]
    return found[0], version


# --- The initramfs: a newc cpio, gzipped. ---------------------------------

def cpio(entries):
    out = bytearray()
    for inode, (name, mode, data) in enumerate(entries + [("TRAILER!!!", 0, b"")], 1):
        name_bytes = name.encode() + b"\0"
        fields = [inode, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0,
                  len(name_bytes), 0]
        out += b"070701" + b"".join(b"%08X" % f for f in fields) + name_bytes
        out += b"\0" * (-len(out) % 4)
        out += data
        out += b"\0" * (-len(out) % 4)
    return bytes(out)


def module_files(root, version):
    base = os.path.join(root, "lib/modules", version)
    by_name = {os.path.basename(p)[:-3].replace("-", "_"): p
               for p in glob.glob(base + "/kernel/**/*.ko", recursive=True)}
    wanted, files = [m.replace("-", "_") for m in MODULES], {}
    while wanted:
        name = wanted.pop()
        if name in files:
            continue
        files[name] = by_name[name]
        data = open(by_name[name], "rb").read()
        depends = re.search(rb"\0depends=([^\0]*)\0", data)
        wanted += [d.decode().replace("-", "_")
                   for d in depends[1].split(b",") if d] if depends else []
    return base, files.values()


def initramfs(path, root, version):
    entries, dirs = [], set()

    def add(name, data, mode=0o100755):
        parts = name.strip("/").split("/")
        for i in range(1, len(parts)):
            d = "/".join(parts[:i])
            if d not in dirs:
                dirs.add(d)
                entries.append((d, 0o040755, b""))
        entries.append((name.strip("/"), mode, data))

    here = os.path.dirname(os.path.abspath(__file__))
    add("init", open(os.path.join(here, "init"), "rb").read())
    add("bin/busybox", open("/bin/busybox", "rb").read())
    add("serial_host", open(SERIAL_HOST, "rb").read())
    add("libTolvaneGPS.so.1", open(LIBRARY, "rb").read())
    ldd = subprocess.run(["ldd", SERIAL_HOST, LIBRARY], capture_output=True,
                         text=True).stdout
    for library in sorted(set(re.findall(r"(?:=> |^\t)(/\S+)", ldd, re.M))):
        add(library, open(library, "rb").read())
    base, modules = module_files(root, version)
    for module in modules:
        add(os.path.relpath(module, root), open(module, "rb").read(), 0o100644)
    for extra in ["modules.order", "modules.builtin", "modules.builtin.modinfo"]:
        if os.path.exists(os.path.join(base, extra)):
            add(os.path.relpath(os.path.join(base, extra), root),
                open(os.path.join(base, extra), "rb").read(), 0o100644)
    with open(path, "wb") as out:
        out.write(gzip.compress(cpio(entries), 6))


# --- The machine and its monitor. ------------------------------------------

class Machine:
    def __init__(self, work, vmlinuz, initrd, s1, u0):
        self.qmp_path = os.path.join(work, "qmp.sock")
        self.trace = os.path.join(work, "trace.log")
        self.out = os.path.join(work, "out")
        os.mkdir(self.out)
        self.process = subprocess.Popen([
            "qemu-system-x86_64", "-accel", "tcg", "-m", "512", "-nodefaults",
            "-display", "none", "-no-reboot", "-kernel", vmlinuz,
            "-initrd", initrd,
            "-append", "console=ttyS0 quiet loglevel=1 panic=-1",
            "-chardev", "stdio,id=con,signal=off", "-serial", "chardev:con",
            "-chardev", "serial,id=s1,path=" + s1, "-serial", "chardev:s1",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", "serial,id=u0,path=" + u0,
            "-device", "usb-serial,id=usbser0,bus=xhci.0,chardev=u0",
            "-fsdev", "local,id=fs0,path=%s,security_model=none" % self.out,
            "-device", "virtio-9p-pci,fsdev=fs0,mount_tag=out",
            "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path,
            "-trace", "serial_update_parameters",
            "-trace", "usb_serial_set_baud", "-trace", "usb_serial_set_data",
            "-trace", "usb_serial_handle_control", "-D", self.trace],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        self.answers = queue.Queue()
        self.console = collections.deque(maxlen=30)  # shown when it fails
        threading.Thread(target=self._read, daemon=True).start()
        self.qmp = None

    def _read(self):
        for line in self.process.stdout:
            self.console.append(line.rstrip())
            if line.startswith("@ "):
                self.answers.put(line[2:].strip())
        self.answers.put("")

    def next(self, timeout=60):
        try:
            return self.answers.get(timeout=timeout)
        except queue.Empty:
            return ""

    def ask(self, command, timeout=30):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return self.next(timeout)

    def command(self, execute, **arguments):
        if self.qmp is None:
            self.qmp = socket.socket(socket.AF_UNIX)
            self.qmp.connect(self.qmp_path)
            self.qmp_file = self.qmp.makefile("rw")
            self.qmp_file.readline()  # the greeting
            self.command("qmp_capabilities")
        self.qmp_file.write(json.dumps({"execute": execute,
                                        "arguments": arguments}) + "\n")
        self.qmp_file.flush()
        while True:
            reply = json.loads(self.qmp_file.readline())
            if "return" in reply or "error" in reply:
                return reply.get("return", reply.get("error"))

    def port_byte(self, address):
        text = self.command("human-monitor-command",
                            **{"command-line": "i /b 0x%x" % address})
        return int(text.strip().split("=")[-1], 16)

    def traces(self, name):
        text = open(self.trace).read() if os.path.exists(self.trace) else ""
        return [line for line in text.splitlines() if name in line]


# --- The receiver side. -----------------------------------------------------

def nmea(body):
    checksum = 0
    for c in body.encode():
        checksum ^= c
    return ("$%s*%02X\r\n" % (body, checksum)).encode()


EPOCH = b"".join(nmea(b) for b in [
    "GPGGA,100000.00,5926.2223,N,02445.2207,E,1,08,0.9,32.2,M,18.5,M,,",
    "GPGSA,A,3,02,05,07,09,13,16,20,26,,,,,1.6,0.9,1.3",
    "GPRMC,100000.00,A,5926.2223,N,02445.2207,E,11.5,45.0,081226,,,A",
    "GPVTG,45.0,T,,M,11.5,N,21.3,K,A"])
EVERY_BYTE = bytes(b for b in range(256) if b not in (0x11, 0x13)) + b"\r\n"


def send_paced(master, data, baud=4800):
    start = time.monotonic()
    for at in range(0, len(data), 8):
        delay = start + at * 10 / baud - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        os.write(master, data[at:at + 8])


def speed_of(master):
    return termios.tcgetattr(master)[5]


def wait_for(condition, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.01)
    return False


def capture_paced(machine, master, name, data):
    """One GPSWrite while the receiver sends data at 4800 baud."""
    answer = []
    asker = threading.Thread(target=lambda: answer.append(machine.ask("w " + name)))
    asker.start()
    send_paced(master, data)
    asker.join()
    path = os.path.join(machine.out, name)
    return open(path, "rb").read() if os.path.exists(path) else None


def line_bits(lcr):
    """Data bits, stop bits and parity: bits 0 to 3, and 4 (even parity) only
    with parity on. Linux sets bit 4 whenever PARODD is clear, parity or not."""
    return lcr & (0x1F if lcr & 0x08 else 0x0F)


def ftdi_lines(machine):
    """DTR and RTS as the FTDI's modem control requests (0x4001) left them:
    the high byte says which lines a request sets, the low byte to what."""
    dtr = rts = None
    for line in machine.traces("usb_serial_handle_control"):
        found = re.search(r"control 0x4001, value 0x([0-9a-f]+)", line)
        if found:
            value = int(found[1], 16)
            dtr = value & 1 if value & 0x100 else dtr
            rts = (value >> 1) & 1 if value & 0x200 else rts
    return dtr, rts


def the_16550(machine, master):
    print("-- 8250: a 16550 on ttyS1", flush=True)
    check(machine.ask("o /dev/ttyS1") == "opened", "GPSOpen answered")
    lcr, mcr = machine.port_byte(0x2FB), machine.port_byte(0x2FC)
    print("   LCR 0x%02x, MCR 0x%02x" % (lcr, mcr))
    check(line_bits(lcr) == 0x03, "line control: 8 data bits, no parity, 1 stop bit")
    check(mcr & 0x03 == 0, "modem control: DTR and RTS off after GPSOpen")
    trace = machine.traces("serial_update_parameters")
    print("   " + (trace[-1] if trace else "no trace"))
    check(bool(trace) and "4800" in trace[-1], "speed 4800 (trace)")
    check(speed_of(master) == termios.B4800, "speed 4800 (host pty)")
    for name, data in [("s1-epoch", EPOCH), ("s1-bytes", EVERY_BYTE)]:
        check(capture_paced(machine, master, name, data) == data,
              "%s: %d bytes exact" % (name, len(data)))
    check(machine.port_byte(0x2FC) & 0x03 == 0, "DTR and RTS still off after the capture")

    # XON/XOFF on the real line: the host stops reading, the driver's buffer
    # fills, the line sends XOFF; reading again sends XON.
    os.write(master, bytes(b for b in range(1, 250) if b not in (0x11, 0x13)) * 24)
    heard = bytearray()

    def listen(byte):
        while byte not in heard:
            try:
                heard.extend(os.read(master, 64))
            except BlockingIOError:
                return False
        return True

    os.set_blocking(master, False)
    check(wait_for(lambda: listen(0x13), 10), "XOFF (0x13) sent when the input buffer filled")
    for i in range(6):
        machine.ask("w drain-%d" % i)
    check(wait_for(lambda: listen(0x11), 10), "XON (0x11) sent once the host read again")
    os.set_blocking(master, True)
    check(machine.ask("c") == "closed", "GPSClose answered")


def the_ftdi(machine, master):
    print("-- ftdi_sio: an FT232 on ttyUSB0, named /dev/gps", flush=True)
    check(machine.ask("o /dev/gps") == "opened", "GPSOpen answered")
    check(wait_for(lambda: speed_of(master) == termios.B4800, 5), "speed 4800 (host pty)")
    baud = machine.traces("usb_serial_set_baud")
    data = machine.traces("usb_serial_set_data")
    control = [l for l in machine.traces("usb_serial_handle_control") if "0x4001" in l or "16385" in l]
    for line in (baud[-1:] + data[-1:] + control[-2:]):
        print("   " + line)
    check(bool(baud) and "4800" in baud[-1], "FTDI baud request: 4800")
    check(bool(data) and "parity N, data bits 8, stop bits 1" in data[-1],
          "FTDI data request: 8N1")
    check(ftdi_lines(machine) == (0, 0), "FTDI modem control: DTR and RTS off after GPSOpen")
    for name, payload in [("u-epoch", EPOCH), ("u-bytes", EVERY_BYTE)]:
        check(capture_paced(machine, master, name, payload) == payload,
              "%s: %d bytes exact" % (name, len(payload)))
    check(ftdi_lines(machine) == (0, 0), "DTR and RTS still off after the capture")

    # Unplugged mid-read: the call keeps what it had; later calls wait.
    answer = []
    asker = threading.Thread(target=lambda: answer.append(machine.ask("w u-unplug")))
    asker.start()
    send_paced(master, EPOCH[:120])
    unplugged = time.monotonic()
    machine.command("device_del", id="usbser0")
    asker.join()
    took = time.monotonic() - unplugged
    kept = open(os.path.join(machine.out, "u-unplug"), "rb").read()
    check(len(kept) > 0 and EPOCH.startswith(kept) and took < 1.0,
          "mid-read unplug: %d bytes kept, returned %.3f s after device_del" % (len(kept), took))
    for i in range(2):
        parts = machine.ask("w u-dead-%d" % i).split()
        ms, cpu = float(parts[2]), float(parts[3])
        # Under TCG a quiet wait shows about 10 ms of guest CPU; a spin would
        # show the whole 2 s.
        check(1900 <= ms <= 3000 and cpu < 100,
              "a call on the dead line: %.0f ms, %.2f ms CPU" % (ms, cpu))

    # Plugged in again: capture resumes through the same handle. The host
    # pty keeps the old speed, so it is moved off 4800 first: 4800 again
    # means the library has reopened the port and set it up.
    settings = termios.tcgetattr(master)
    settings[4] = settings[5] = termios.B9600
    termios.tcsetattr(master, termios.TCSANOW, settings)
    replugged = time.monotonic()
    machine.command("device_add", driver="usb-serial", id="usbser0",
                    bus="xhci.0", chardev="u0")
    back, reopened = None, None
    for i in range(5):
        asker = threading.Thread(target=lambda: answer.append(machine.ask("w u-back-%d" % i)))
        asker.start()
        if wait_for(lambda: speed_of(master) == termios.B4800, 2.5):
            reopened = reopened or time.monotonic() - replugged
            os.write(master, b"$GPRMC,back\r\n")
        asker.join()
        got = open(os.path.join(machine.out, "u-back-%d" % i), "rb").read()
        if got:
            back = got
            break
    delay = time.monotonic() - replugged
    check(back == b"$GPRMC,back\r\n",
          "after the replug, capture goes on with no new GPSOpen: %r; set to 4800 again "
          "%.2f s and the block in %.2f s after device_add"
          % (back, reopened or -1, delay))
    baud = machine.traces("usb_serial_set_baud")
    check(bool(baud) and "4800" in baud[-1], "the replugged adapter is set to 4800 again")
    check(machine.ask("c") == "closed", "GPSClose answered")


def main():
    started = time.monotonic()
    vmlinuz, version = kernel()
    work = tempfile.mkdtemp()
    try:
        initrd = os.path.join(work, "initrd.gz")
        initramfs(initrd, os.path.join(CACHE, "root"), version)
        s1_master, s1_slave = pty.openpty()
        u0_master, u0_slave = pty.openpty()
        machine = Machine(work, vmlinuz, initrd, os.ttyname(s1_slave),
                          os.ttyname(u0_slave))
        print("kernel %s and initramfs in %.1f s" % (version, time.monotonic() - started), flush=True)
        check(machine.next(120) == "ready", "the machine booted and loaded the library")
        print("booted in %.1f s" % (time.monotonic() - started), flush=True)
        if failures:
            print("\n".join(machine.console))
        if not failures:
            the_16550(machine, s1_master)
            the_ftdi(machine, u0_master)
            machine.ask("quit")
        try:
            machine.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            machine.process.kill()
        print("whole rig: %.1f s" % (time.monotonic() - started))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
