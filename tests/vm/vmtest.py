#!/usr/bin/python3
"""Boots a fresh Debian 12 guest with our package and runs the scenarios in tests/vm/scenarios on
the real 8250, ftdi_sio and cdc_acm drivers. Prints one line per scenario and a count; exit
status 1 on any failure. Called by scripts/vm-test, which builds the package first.

The guest boots once with its own init as PID 1 for the scenarios, and once more with systemd as
PID 1 for those marked "# boot: systemd" (the package's service), if any are chosen.

  vmtest.py --deb PACKAGE --build BUILD_DIR [--only NAME ...]
"""
import argparse
import glob
import hashlib
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
GUEST_DIR = "/usr/local/lib/rq70-vm"
BOOT_LIMIT_S = 240          # from QEMU's start to the guest's first request
SCENARIO_MARGIN_S = 30      # beyond a scenario's own limit before the host gives up on it
REPLY_LIMIT_S = 20          # a QMP command, a simulator starting or stopping


# The devices a scenario may ask for in its "# devices:" line. Each is one QEMU device whose
# line ends in a simulator on the host (it serves the pty QEMU makes for the device's chardev),
# or one the guest makes itself (no QEMU arguments, no host simulator).
# Each adapter has a socket of its own on the bus (`port`): plugged back in, it comes back where it
# was, as an adapter plugged back into its cradle's socket does. Left to choose, QEMU may take
# another socket, and an adapter elsewhere on the bus is not one the updater follows.
def ftdi(name, serial, port, boot=True):
    return {"driver": "ftdi_sio", "needs": ["xhci"], "sim": True, "pluggable": True, "boot": boot,
            "device": "usb-serial,id=%s,bus=xhci.0,port=%d,chardev=sim-%s,serial=%s" % (name, port, name, serial)}


DEVICES = {
    "uart1": {"driver": "8250", "sim": True, "pluggable": False,
              "device": "isa-serial,id=uart1,chardev=sim-uart1,index=1"},
    "ftdi1": ftdi("ftdi1", "RQ70BENCH1", 1),
    # Plugged in only by the scenarios that want them, so that ftdi1 stays ttyUSB0 for the rest.
    "ftdi2": ftdi("ftdi2", "RQ70BENCH2", 2, boot=False),
    "ftdi3": ftdi("ftdi3", "RQ70BENCH3", 3, boot=False),
    # The USB gadget on dummy_hcd inside the guest (tests/vm/guest/gadget).
    "acm1": {"driver": "cdc_acm", "sim": False},
}
SHARED = {"xhci": ["-device", "qemu-xhci,id=xhci"]}

# How the guest boots for a scenario's "# boot:" line: the init that the kernel starts, and the
# folder of that boot's console, QEMU output and host simulator logs under build/vm/.
BOOTS = {
    "plain": {"init": "init=%s/init" % GUEST_DIR, "run": "run"},
    # systemd as PID 1, starting only the basic system and the scenarios (guest/rq70-vm.target).
    "systemd": {"init": "init=/lib/systemd/systemd systemd.unit=rq70-vm.target", "run": "run-systemd"},
}


def log(message):
    print("vm-test: " + message, file=sys.stderr, flush=True)


def run(command, **keywords):
    return subprocess.run(command, check=True, **keywords)


class Scenario:
    def __init__(self, path):
        self.path = path
        self.name = re.sub(r"^\d+-", "", os.path.basename(path)[:-3])
        text = open(path).read()
        found = re.search(r"^# devices:(.*)$", text, re.M)
        self.devices = found.group(1).split() if found else []
        found = re.search(r"^# limit: *(\d+)", text, re.M)
        self.limit = int(found.group(1)) if found else 120
        found = re.search(r"^# boot: *(\w+)", text, re.M)
        self.boot = found.group(1) if found else "plain"
        if self.boot not in BOOTS:
            sys.exit("vm-test: %s asks for an unknown boot %s" % (path, self.boot))
        unknown = [d for d in self.devices if d not in DEVICES]
        if unknown:
            sys.exit("vm-test: %s asks for unknown devices %s" % (path, unknown))


# ---- the guest's root and disk -------------------------------------------------------------

def base_tarball(vm):
    """The debootstrapped root, made once per version of make-base."""
    script = os.path.join(HERE, "make-base")
    key = hashlib.sha256(open(script, "rb").read()).hexdigest()[:16]
    tarball = os.path.join(vm, "base-%s.tar" % key)
    if os.path.exists(tarball):
        return tarball
    log("making the guest's base root (debootstrap; a few minutes, once)")
    root = os.path.join(vm, "base-root")
    run([script, root, os.path.join(vm, "cache")])
    run(["tar", "-C", root, "-cf", tarball + ".part", "."])
    os.rename(tarball + ".part", tarball)
    shutil.rmtree(root)
    for old in glob.glob(os.path.join(vm, "base-*.tar")):
        if old != tarball:
            os.remove(old)
    return tarball


def install_package(root, deb, archives):
    """Our package into the guest root by apt, which resolves its Depends; the .debs apt fetched
    are kept for the next run."""
    shutil.copy(deb, os.path.join(root, "tmp"))
    inside = os.path.join(root, "var/cache/apt/archives")
    for cached in glob.glob(os.path.join(archives, "*.deb")):
        shutil.copy(cached, inside)
    command = ["chroot", root, "apt-get", "install", "-y", "-q", "--no-install-recommends",
               "/tmp/" + os.path.basename(deb)]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive", PATH="/usr/sbin:/usr/bin:/sbin:/bin")
    result = subprocess.run(command, env=env, capture_output=True, text=True)
    if result.returncode != 0:
        # The package lists in the base may be older than the archive: fetch them again once.
        log("apt-get install failed; refreshing the package lists and trying again")
        run(["chroot", root, "apt-get", "update", "-qq"], env=env)
        result = subprocess.run(command, env=env, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("vm-test: apt could not install %s in the guest:\n%s%s"
                 % (deb, result.stdout[-3000:], result.stderr[-3000:]))
    os.makedirs(archives, exist_ok=True)
    for fetched in glob.glob(os.path.join(inside, "*.deb")):
        target = os.path.join(archives, os.path.basename(fetched))
        if not os.path.exists(target):
            shutil.copy(fetched, target)
        os.remove(fetched)
    os.remove(os.path.join(root, "tmp", os.path.basename(deb)))


def make_disk(vm, deb, build, scenarios):
    root = os.path.join(vm, "root")
    if os.path.exists(root):
        shutil.rmtree(root)
    os.makedirs(root)
    run(["tar", "-C", root, "-xf", base_tarball(vm)])
    install_package(root, deb, os.path.join(vm, "cache", "apt"))

    # The test's own files; nothing of the product is put in by hand.
    guest = root + GUEST_DIR
    os.makedirs(guest + "/scenarios")
    for name in ("init", "lib.sh", "gadget"):
        shutil.copy(os.path.join(HERE, "guest", name), guest)
    for name in ("rq70-vm.service", "rq70-vm.target"):
        shutil.copy(os.path.join(HERE, "guest", name), root + "/etc/systemd/system/")
    shutil.copy(os.path.join(HERE, "guest", "vmtool"), root + "/usr/local/bin/vmtool")
    for scenario in scenarios:
        shutil.copy(scenario.path, guest + "/scenarios/")
    shutil.copy(os.path.join(build, "tools", "RQ70-DEMO.KRV"), guest)
    # The window driver: test code that steers the installed windows, not part of the package.
    shutil.copy(os.path.join(build, "tests", "vm", "windriver", "librq70windriver.so"), guest)
    shutil.copy(os.path.join(HERE, "windriver", "drive.sh"), guest)

    kernel = sorted(glob.glob(root + "/boot/vmlinuz-*"))[-1]
    initrd = sorted(glob.glob(root + "/boot/initrd.img-*"))[-1]
    shutil.copy(kernel, os.path.join(vm, "vmlinuz"))
    shutil.copy(initrd, os.path.join(vm, "initrd.img"))
    used = int(subprocess.run(["du", "-sm", root], capture_output=True, text=True, check=True)
               .stdout.split()[0])
    image = os.path.join(vm, "root.img")
    if os.path.exists(image):
        os.remove(image)
    run(["mkfs.ext4", "-q", "-F", "-L", "rq70-vm", "-d", root, image, "%dM" % (used + 512)],
        stdout=subprocess.DEVNULL)
    shutil.rmtree(root)
    return image


# ---- QEMU ---------------------------------------------------------------------------------

def kvm_works(vm):
    """KVM only where a short boot shows it starts the kernel; the answer is kept per kernel."""
    if not os.access("/dev/kvm", os.R_OK | os.W_OK):
        return False
    kernel = os.path.join(vm, "vmlinuz")
    key = hashlib.sha256(open(kernel, "rb").read()).hexdigest()[:16]
    answer = os.path.join(vm, "kvm-probe-" + key)
    if os.path.exists(answer):
        return open(answer).read().strip() == "yes"
    console = os.path.join(vm, "kvm-probe.log")
    probe = subprocess.Popen(
        ["qemu-system-x86_64", "-accel", "kvm", "-cpu", "host", "-m", "256", "-nographic",
         "-no-reboot", "-nic", "none", "-monitor", "none", "-serial", "file:" + console, "-kernel", kernel,
         "-append", "console=ttyS0 panic=-1"], stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    works = False
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline and probe.poll() is None:
        if "Linux version" in open(console, errors="replace").read() if os.path.exists(console) else "":
            works = True
            break
        time.sleep(0.2)
    probe.kill()
    probe.wait()
    open(answer, "w").write("yes\n" if works else "no\n")
    return works


class Qmp:
    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX)
        deadline = time.monotonic() + REPLY_LIMIT_S
        while True:
            try:
                self.sock.connect(path)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.file = self.sock.makefile("rwb", buffering=0)
        self.events = []
        self._read()  # the greeting
        self.command("qmp_capabilities")

    def _read(self):
        ready, _, _ = select.select([self.sock], [], [], REPLY_LIMIT_S)
        if not ready:
            raise RuntimeError("QMP did not answer")
        line = self.file.readline()
        if not line:
            raise RuntimeError("QMP closed")
        return json.loads(line)

    def command(self, name, **arguments):
        self.file.write(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
        while True:
            message = self._read()
            if "event" in message:
                self.events.append(message)
            elif "error" in message:
                raise RuntimeError("%s: %s" % (name, message["error"].get("desc")))
            else:
                return message.get("return")

    def wait_event(self, name, device):
        deadline = time.monotonic() + REPLY_LIMIT_S
        while True:
            for event in self.events:
                if event["event"] == name and event.get("data", {}).get("device") == device:
                    self.events.remove(event)
                    return
            if time.monotonic() > deadline:
                raise RuntimeError("no %s for %s" % (name, device))
            self.events.append(self._read())


class HostSim:
    """rq70-devsim on the host end of a QEMU device's line: it serves the pty QEMU made for the
    device's chardev. The host holds that pty open itself, so QEMU sees the line connected from the
    start and a simulator started afresh is no line change the guest could notice."""

    def __init__(self, name, pty, devsim, folder):
        self.name, self.pty, self.devsim, self.folder = name, pty, devsim, folder
        self.holder = os.open(pty, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.holder)
        self.process = None
        self.options = []
        self.starts = 0
        self.mark = 0

    def paths(self):
        stem = os.path.join(self.folder, self.name)
        return stem + ".dump.json", stem + ".log"

    def start(self, options):
        self.stop()
        self.options = options
        self.starts += 1
        dump, byte_log = self.paths()
        for path in (dump, byte_log):
            if os.path.exists(path):
                os.remove(path)
        self.process = subprocess.Popen(
            [self.devsim, "--tty", self.pty, "--dump", dump, "--log", byte_log] + options,
            stdout=subprocess.PIPE, stderr=open(os.path.join(self.folder, self.name + ".err"), "a"),
            text=True)
        ready, _, _ = select.select([self.process.stdout], [], [], REPLY_LIMIT_S)
        if not ready or not self.process.stdout.readline().strip():
            raise RuntimeError("the simulator for %s did not start" % self.name)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(REPLY_LIMIT_S)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def dump(self):
        """Its memory as one line of JSON; a fresh simulator with the same options follows."""
        self.stop()
        with open(self.paths()[0]) as f:
            text = json.dumps(json.load(f), separators=(",", ":"))
        self.start(self.options)
        return text

    def bytes_in(self):
        """How many bytes the computer has sent so far, and a digest of them."""
        sent = []
        with open(self.paths()[1]) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 3 and parts[1] == "in":
                    sent.append(parts[2])
        return "%d %s" % (len(sent), hashlib.sha256(" ".join(sent).encode()).hexdigest()[:16])


class Guest:
    def __init__(self, vm, image, scenarios, devsim, boot):
        self.vm = vm
        self.run_dir = os.path.join(vm, BOOTS[boot]["run"])
        if os.path.exists(self.run_dir):
            shutil.rmtree(self.run_dir)
        os.makedirs(self.run_dir)
        self.wanted = sorted({d for s in scenarios for d in s.devices})
        self.sims = {}
        self.devsim = devsim
        control_path = os.path.join(self.run_dir, "ctl.sock")
        self.listener = socket.socket(socket.AF_UNIX)
        self.listener.bind(control_path)
        self.listener.listen(1)

        accel = "kvm" if kvm_works(vm) else "tcg"
        log("booting the guest (%s, %s)" % (accel, boot))
        command = [
            "qemu-system-x86_64", "-accel", accel, "-cpu", "max" if accel == "tcg" else "host",
            "-m", "1024", "-nographic", "-no-reboot", "-S", "-nic", "none",
            "-monitor", "none", "-serial", "file:" + os.path.join(self.run_dir, "console.log"),
            "-qmp", "unix:%s,server=on,wait=off" % os.path.join(self.run_dir, "qmp.sock"),
            "-kernel", os.path.join(vm, "vmlinuz"), "-initrd", os.path.join(vm, "initrd.img"),
            "-append", "console=ttyS0 root=/dev/vda rw quiet panic=-1 " + BOOTS[boot]["init"],
            "-drive", "file=%s,format=raw,if=virtio" % image,
            "-device", "virtio-serial", "-chardev", "socket,id=ctl,path=" + control_path,
            "-device", "virtserialport,chardev=ctl,name=rq70.ctl",
        ]
        for need in sorted({n for d in self.wanted for n in DEVICES[d].get("needs", [])}):
            command += SHARED[need]
        for name in self.wanted:
            if DEVICES[name]["sim"]:
                command += ["-chardev", "pty,id=sim-" + name]
                if DEVICES[name].get("boot", True):
                    command += ["-device", DEVICES[name]["device"]]
        self.qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                     stdout=open(os.path.join(self.run_dir, "qemu.out"), "w"),
                                     stderr=subprocess.STDOUT)
        self.qmp = Qmp(os.path.join(self.run_dir, "qmp.sock"))
        ptys = {c["label"]: c["filename"] for c in self.qmp.command("query-chardev")}
        for name in self.wanted:
            if DEVICES[name]["sim"]:
                sim = HostSim(name, ptys["sim-" + name].split(":", 1)[1], devsim, self.run_dir)
                sim.start(["--baud", "0"])
                self.sims[name] = sim
        ready, _, _ = select.select([self.listener], [], [], REPLY_LIMIT_S)
        if not ready:
            raise RuntimeError("QEMU did not connect the control channel")
        self.channel, _ = self.listener.accept()
        self.buffer = b""
        self.qmp.command("cont")

    def next_request(self, limit):
        """The guest's next request line, or None when `limit` seconds pass or QEMU ends."""
        deadline = time.monotonic() + limit
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or self.qemu.poll() is not None:
                return None
            ready, _, _ = select.select([self.channel], [], [], min(left, 1.0))
            if ready:
                chunk = self.channel.recv(4096)
                if not chunk:
                    return None
                self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode(errors="replace").strip()

    def answer(self, text):
        self.channel.sendall(text.encode() + b"\n")

    def handle(self, words):
        """One request of the vocabulary in tests/vm/README.md; returns the answer's data."""
        verb, arguments = words[0], words[1:]
        if verb == "hello":
            return ""
        if verb in ("unplug", "plug"):
            name = arguments[0]
            if not DEVICES.get(name, {}).get("pluggable"):
                raise RuntimeError("%s cannot be plugged" % name)
            if verb == "unplug":
                self.qmp.command("device_del", id=name)
                self.qmp.wait_event("DEVICE_DELETED", name)
            else:
                fields = dict(f.split("=", 1) for f in DEVICES[name]["device"].split(",")[1:])
                self.qmp.command("device_add", driver=DEVICES[name]["device"].split(",")[0], **fields)
            return ""
        sim = self.sims.get(arguments[0]) if arguments else None
        if verb in ("sim", "dump", "sent") and sim is None:
            raise RuntimeError("no host simulator for %s" % (arguments[:1] or ["?"])[0])
        if verb == "sim":
            sim.start(arguments[1:] or ["--baud", "0"])
            return ""
        if verb == "dump":
            return sim.dump()
        if verb == "sent":
            return sim.bytes_in()
        raise RuntimeError("unknown request '%s'" % verb)

    def close(self):
        for sim in self.sims.values():
            sim.stop()
        if self.qemu.poll() is None:
            try:
                self.qemu.wait(30)
            except subprocess.TimeoutExpired:
                self.qemu.kill()
                self.qemu.wait()


def run_guest(vm, image, scenarios, devsim, boot):
    """Runs every scenario in one boot; returns {name: line}."""
    results = {}
    guest = Guest(vm, image, scenarios, devsim, boot)
    try:
        request = guest.next_request(BOOT_LIMIT_S)
        if request is None:
            return results, "the guest did not boot (no request within %ds)" % BOOT_LIMIT_S
        log("the guest is up")
        limits = {s.name: s.limit for s in scenarios}
        current, limit = None, BOOT_LIMIT_S
        while request is not None:
            words = request.split()
            verb = words[0] if words else ""
            if verb == "done":
                guest.answer("ok")
                return results, None
            if verb == "begin":
                current = words[1]
                limit = limits.get(current, 120) + SCENARIO_MARGIN_S
                log("scenario %s" % current)
                # Every scenario meets its simulators fresh, at full speed.
                for sim in guest.sims.values():
                    sim.start(["--baud", "0"])
                guest.answer("ok")
            elif verb == "result":
                line = request.split(None, 1)[1]
                results[line.split()[1]] = line
                log(line)
                guest.answer("ok")
            else:
                try:
                    data = guest.handle(words)
                    guest.answer("ok " + data if data else "ok")
                except (RuntimeError, OSError, ValueError, IndexError) as error:
                    guest.answer("err %s" % error)
            request = guest.next_request(limit)
        if current and current not in results:
            return results, "%s never reported (the guest stopped answering)" % current
        return results, "the guest stopped before the last scenario"
    finally:
        guest.close()


def fetch_logs(vm, image):
    logs = os.path.join(vm, "logs")
    if os.path.exists(logs):
        shutil.rmtree(logs)
    os.makedirs(logs)
    # -c: a guest that did not end cleanly still leaves its logs readable.
    subprocess.run(["debugfs", "-c", "-R", "rdump /var/log/rq70-vm %s" % logs, image],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return os.path.join(logs, "rq70-vm")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--deb", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--only", nargs="*", default=[])
    arguments = parser.parse_args()
    build = os.path.abspath(arguments.build)
    vm = os.path.join(build, "vm")
    os.makedirs(vm, exist_ok=True)

    scenarios = [Scenario(p) for p in sorted(glob.glob(os.path.join(HERE, "scenarios", "*.sh")))]
    if arguments.only:
        scenarios = [s for s in scenarios if s.name in arguments.only]
    started = time.monotonic()
    image = make_disk(vm, os.path.abspath(arguments.deb), build, scenarios)
    log("guest disk ready after %.0fs" % (time.monotonic() - started))
    results, problems = {}, {}
    for boot in BOOTS:
        chosen = [s for s in scenarios if s.boot == boot]
        if chosen:
            found, problems[boot] = run_guest(vm, image, chosen, os.path.join(build, "devsim", "rq70-devsim"),
                                              boot)
            results.update(found)
    logs = fetch_logs(vm, image)

    failed = 0
    for scenario in scenarios:
        line = results.get(scenario.name)
        if line is None:
            line = "FAIL %s %s - never reported: %s" % (
                scenario.name, "+".join(DEVICES[d]["driver"] for d in scenario.devices) or "-",
                problems.get(scenario.boot) or "no result")
        print(line, flush=True)
        failed += not line.startswith("PASS ")
    print("%d passed, %d failed" % (len(scenarios) - failed, failed))
    log("guest logs in %s, console in %s (%.0fs in all)"
        % (logs, " and ".join(os.path.join(vm, BOOTS[b]["run"], "console.log") for b in problems),
           time.monotonic() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
