#!/usr/bin/env python3
"""The end-to-end scenarios on a booted MIPS board.

qemu-system-mipsel boots Debian's Malta kernel with an initramfs made here:
BusyBox as init and the userland, the agent built against uClibc-ng or musl
with the stand-in store in /lib, the start recipes of router/, and Debian's
mipsel curl with its libraries. The board's NIC is eth1 in the guest; its
far side is a tap device in a network namespace of our own, where the local
inventory services answer on 192.0.2.1 and up (TEST-NET-1) and dnsmasq
leases 192.0.2.100. The guest runs each scenario in turn, started by init,
crond, udhcpc's hook or as an init script would, and prints what it left;
this side judges it with the same checks as the end-to-end harness. Nothing
leaves the namespace.

    board_test.py --build BUILD --libc uclibc-ng|musl --libc-root ROOT
                  [--host NAME] --ca-file FILE --max-time SECONDS
                  --pin-keys KEY,KEY

BUILD is a mipsel build folder for that C library, ROOT where its loader and
library are; the other options say what the build's test agents with report
options were built with (see e2e_test.py).
Exits 0 on pass, 1 on failure, 77 (skipped) when it cannot run here.
"""
import argparse
import copy
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.realpath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import e2e_test as e2e  # noqa: E402  the scenarios and their checks

TOP = os.path.realpath(os.path.join(HERE, "..", ".."))
GUEST_IP = "192.0.2.2"
DNS = "192.0.2.1"  # the lease's name server, and its router
# The scenarios that mean the same on a board; the rest need the host's
# strace, a stub curl, a private /dev or a service that answers otherwise.
# Those with a clock of their own set the board's. The image's own init,
# crond and udhcpc start the first ones with the recipes of router/, whose
# lease rows find the service by the lease's DNS alone;
# started_by_inittab must come first, as init starts it at boot.
SCENARIOS = ["started_by_inittab", "cron_report_waits_its_offset", "started_by_dhcp_lease",
             "dhcp_hook_does_not_wait", "lease_renewal_reconfigures_without_a_report",
             "safe_stall_keeps_the_reply",
             "safe_planted_link_replaced", "default_planted_link_followed",
             "road_of_one_run", "arguments_ignored", "store_file_missing",
             "wan_zero_falls_back", "both_reads_fail", "eth1_without_ipv4", "longest_ipv4",
             "curl_missing", "store_keeps_file_open", "stdout_closed",
             "stderr_closed_curl_missing", "all_closed", "log_reader_gone",
             "store_talks_into_one_log", "store_talks_one_log_curl_missing",
             "ca_signed_accepted", "ca_unsigned_refused", "ca_signed_unpinned_refused",
             "ca_clock_1970_refused", "stalled_service_times_out", "pinned_first_key_accepted",
             "pinned_second_key_accepted", "unpinned_key_refused", "pinned_clock_1970_accepted"]
# Each kind of agent, where the image has it.
AGENTS = {"plain": "/usr/bin/kelvorn", "options": "/usr/bin/kelvorn_options",
          "pinned": "/usr/bin/kelvorn_pinned", "safe": "/usr/bin/kelvorn_safe"}
GUEST_PATH = "/usr/bin:/bin:/usr/sbin:/sbin"
BOOT_LIMIT = 1200  # seconds for boot, every scenario and power-off; a limit, not a margin
MARK = "@@kelvorn "

# How the guest's shell starts the agent for each way of starting it.
STARTS = {
    "captured": "{agent} </dev/null >/tmp/out 2>/tmp/err",
    "stdout_closed": "{agent} </dev/null >&- 2>/tmp/err",
    "stderr_closed": "{agent} </dev/null >/tmp/out 2>&-",
    "all_closed": "{agent} <&- >&- 2>&-",
    # The log's reader has gone before the agent writes its first line; the
    # pipeline's status is the reader's, so the agent's comes by a file.
    "reader_gone": "( sleep 1; {agent} </dev/null 2>/tmp/err; echo $? >/tmp/status ) | true;"
                   " read status </tmp/status; (exit $status)",
    "one_log": "{agent} </dev/null >/tmp/out 2>&1",
    "peek": "{agent} </dev/null >/tmp/out 2>/tmp/err & " + e2e.PEEK + "; wait $!",
    # The recipes: init has started it at boot; crond fires at the next half
    # hour, three seconds on, and its report must start at this router's
    # offset, not before; the lease's hook starts it (timed, with udhcpc's
    # whole run); udhcpc renews the lease it holds, with eth1's netmask
    # changed meanwhile, which the renewal puts back.
    "inittab": ":",
    "crond": "o=$(/usr/sbin/kelvorn-start --offset 20); t=$(( ($(date +%s) / 1800 + 1) * 1800 ));"
             ' date -s "@$((t - 3))" >/dev/null; crond -c /var/spool/cron/crontabs;'
             ' report_started; now=$(date +%s); echo "' + MARK + 'seconds 1 $((t + o)) $now";'
             ' [ $now -ge $((t + o)) ] || echo "reported before its offset, $o s" >>$LEFT',
    "dhcp_lease": 'start=$(uptime_s); lease; echo "' + MARK + 'seconds 1 $start $(uptime_s)"',
    "renew": "udhcpc -f -i eth1 -s /usr/share/udhcpc/kelvorn.script >/dev/null 2>&1 & u=$!;"
             " report_started; report_ended; ip -4 addr flush dev eth1;"
             " ip addr add 192.0.2.100/25 dev eth1; kill -USR1 $u;"
             " wait_for 'ip -4 addr show dev eth1 | grep -q 192.0.2.100/24'; report_ended; kill $u",
}
RECIPE_LOG = "/var/log/kelvorn.log"
# Shell functions the recipe starts use, each waiting two minutes at most:
# a limit, not a margin.
HELPERS = """LOG={log} LEFT={left}
wait_for() { i=0; while ! eval "$1" && [ $i -lt 1200 ]; do sleep 0.1; i=$((i + 1)); done; }
report_started() { wait_for "grep -q '^debug> ' $LOG 2>/dev/null"; }
report_ended() { sleep 1; wait_for "! pidof kelvorn curl >/dev/null"; }
uptime_s() { cut -d' ' -f1 /proc/uptime; }
# A lease from scratch (deconfig, then bound): eth1 keeps its IPv6
# link-local address throughout.
lease() {
  udhcpc -i eth1 -s /usr/share/udhcpc/kelvorn.script -q -n -t 5 -T 1 >/dev/null 2>&1
  ip -6 addr show dev eth1 scope link | grep -q fe80 || echo "eth1 lost its link-local" >>$LEFT
}
# The service has answered the request, with half its reply.
requested() { wait_for "[ -s /tmp/vercheck.conf ]"; }
# What is still running.
in_flight() {
  echo "{mark}in_flight 1 $(pidof kelvorn | wc -w) $(pidof curl | wc -w)"
  cp $LOG /tmp/out
  killall kelvorn curl 2>/dev/null
  report_ended
}
""".replace("{mark}", MARK).replace("{log}", RECIPE_LOG).replace("{left}", e2e.LEFT)


def sq(text):
    """`text` as one word for the guest's shell."""
    return "'" + text.replace("'", "'\\''") + "'"


def show_file(tag, path):
    # As hex bytes: what a file holds survives the serial line whole.
    return ('if [ -e {p} ]; then echo "{m}{t}"; od -An -v -tx1 {p}; '
            'else echo "{m}{t} absent"; fi'.format(m=MARK, t=tag, p=path))


def service_key(s):
    return (s.service, s.signer, s.key)


def guest_setup(s, service_ip, host):
    """What the board holds before the scenario's agent starts."""
    lines = ["rm -rf /tmp/out /tmp/err /tmp/vercheck.conf /tmp/precious /tmp/apmib.store "
             + RECIPE_LOG,
             ": >" + e2e.LEFT, "ip -4 addr flush dev eth1"]
    if s.store is not None:
        lines.append("printf %%s %s >/tmp/apmib.store" % sq(s.store))
    if s.stale_reply is not None:
        lines.append("printf %%s %s >/tmp/vercheck.conf" % sq(s.stale_reply))
    mac, ipv4 = s.eth1
    lines.append("ip link set eth1 down; ip link set eth1 address %s; ip link set eth1 up" % mac)
    if ipv4 and s.eth1 != e2e.LEASED:
        lines.append("ip addr add %s/24 dev eth1" % ipv4)
    # The scenario's service is reached through eth1 from an address of the
    # board's own, whatever eth1 itself holds.
    lines.append("ip route replace %s/32 dev eth1 src %s" % (service_ip, GUEST_IP))
    lines.append("echo '127.0.0.1 localhost' >/etc/hosts")
    if s.eth1 != e2e.LEASED:
        lines.append("echo '%s %s' >>/etc/hosts" % (service_ip, host))
    else:
        # Only the lease's DNS server finds the service: it answers with this
        # scenario's once the harness has seen the line.
        lines += ["ip route replace %s/32 dev eth1 src %s; : >/etc/resolv.conf" % (DNS, GUEST_IP),
                  'echo "%sdns %s"' % (MARK, service_ip),
                  "wait_for \"nslookup %s %s 2>/dev/null | sed -n '/^Name:/,\\$p' |"
                  " grep -q '%s\\$'\"" % (host, DNS, service_ip)]
    if s.clock:
        lines.append('now=$(date +%%s); date -s %s >/dev/null' % sq(s.clock))
    return lines


def guest_scenario(name, s, service_ip, host):
    lines = ['echo "%sbegin %s"' % (MARK, name)]
    if s.start != "inittab":  # init set that board up before it started the agent
        lines += guest_setup(s, service_ip, host)
    env = "PATH=%s" % (s.path if s.path != e2e.PATH else GUEST_PATH)
    if s.store is not None:
        env += " APMIB_STORE=/tmp/apmib.store"
    agent = "env -i %s %s %s" % (env, AGENTS[s.kind], " ".join(sq(a) for a in s.args))
    if s.plant:  # where the kernel lets root follow a planted link, as routers'
        lines += ["links=$(cat /proc/sys/fs/protected_symlinks)",
                  "echo 0 >/proc/sys/fs/protected_symlinks", e2e.PLANTS[s.plant]]
    if s.start in e2e.RECIPE_STARTS:
        # The console is the recipe's log; the status is nowhere.
        lines += [STARTS[s.start], "requested; in_flight" if s.in_flight else
                  "report_ended; [ -e $LOG ] && cp $LOG /tmp/out", "killall crond 2>/dev/null",
                  show_file("stdout 1", "/tmp/out"), show_file("stderr 1", "/tmp/err")]
    else:
        for run in range(1, s.runs + 1):
            lines += [STARTS[s.start].format(agent=agent),
                      'echo "%sstatus %d $?"' % (MARK, run),
                      show_file("stdout %d" % run, "/tmp/out"),
                      show_file("stderr %d" % run, "/tmp/err")]
    if s.clock:
        lines.append('date -s "@$((now + 1))" >/dev/null')
    lines += [e2e.AFTERMATH, show_file("left", e2e.LEFT), show_file("store", "/tmp/apmib.store"),
              show_file("reply", "/tmp/vercheck.conf")]
    if s.plant:
        lines.append("echo $links >/proc/sys/fs/protected_symlinks")
    lines.append('echo "%send %s"' % (MARK, name))
    return "\n".join(lines) + "\n"


# BusyBox init is PID 1: it sets the board up, starts the agent with the
# recipe's inittab entry, and runs the scenarios.
INITTAB = """::sysinit:/etc/board-init
{recipe}::once:/etc/board-scenarios
"""
SCENARIOS_SH = """#!/bin/sh
. /scenarios.sh
echo "{mark}done"
poweroff -f
"""
BOARD_INIT = """#!/bin/sh
/bin/busybox mkdir -p /proc /sys /dev /tmp /sbin /usr/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
insmod /lib/modules/mii.ko
insmod /lib/modules/pcnet32.ko
ip link set lo up
ip addr add {guest}/32 dev lo
ip link set eth0 name eth1
ip link set eth1 up
mkdir -p "$(dirname {ca})"; cp /etc/ca.pem {ca}
echo "{mark}board $(uname -m) $(uname -r)"
"""


def needed(path):
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True)
    return [l.split("[", 1)[1].rstrip("]") for l in out.stdout.splitlines() if "(NEEDED)" in l]


def copy_closure(program, assets_root, image):
    """`program` and every library it needs, walked through NEEDED, from
    Debian's unpacked packages into the image's /lib."""
    dirs = [os.path.join(assets_root, d) for d in
            ("lib/mipsel-linux-gnu", "usr/lib/mipsel-linux-gnu", "lib", "usr/lib")]
    todo, seen = needed(program), set()
    while todo:
        lib = todo.pop()
        if lib in seen:
            continue
        seen.add(lib)
        found = next((os.path.join(d, lib) for d in dirs if os.path.exists(os.path.join(d, lib))),
                     None)
        if found is None:
            raise RuntimeError("%s needs %s, which no fetched package has" % (program, lib))
        shutil.copy(os.path.realpath(found), os.path.join(image, "lib", lib))
        todo += needed(found)


# Where each C library's files go on the board, from its root.
LIBC_FILES = {"uclibc-ng": [("lib/ld-uClibc.so.0", "ld-uClibc.so.0"),
                            ("lib/libc.so.0", "libc.so.0")],
              "musl": [("libc.so", "ld-musl-mipsel.so.1")]}
# The recipes, installed as they are.
RECIPES = [("kelvorn-start", "usr/sbin/kelvorn-start"),
           ("udhcpc.script", "usr/share/udhcpc/kelvorn.script"),
           ("crontab", "var/spool/cron/crontabs/root")]


def make_initramfs(build, libc, libc_root, assets, host, work, service_ips):
    image = os.path.join(work, "image")
    for d in ("bin", "lib/modules", "usr/bin", "usr/sbin", "usr/share/udhcpc", "etc",
              "var/spool/cron/crontabs"):
        os.makedirs(os.path.join(image, d))
    root = os.path.join(assets, "root")
    shutil.copy(os.path.join(root, "bin/busybox"), os.path.join(image, "bin"))
    os.symlink("busybox", os.path.join(image, "bin/sh"))
    for module in ("mii.ko", "pcnet32.ko"):
        found = subprocess.run(["find", os.path.join(root, "lib/modules"), "-name", module],
                               capture_output=True, text=True, check=True).stdout.split()
        shutil.copy(found[0], os.path.join(image, "lib/modules"))
    # The agent as a firmware build installs it, the stand-in store and
    # uClibc-ng where a uClibc router keeps them.
    stage = os.path.join(work, "stage")
    subprocess.run(["cmake", "--install", build, "--prefix", "/usr", "--strip"],
                   env=dict(os.environ, DESTDIR=stage), check=True, stdout=subprocess.DEVNULL)
    shutil.copy(os.path.join(stage, "usr/bin/kelvorn"), os.path.join(image, "usr/bin"))
    # The test agents with report options, and the CA the options one trusts.
    for agent in ("kelvorn_options", "kelvorn_pinned", "kelvorn_safe"):
        shutil.copy(os.path.join(build, "tests", agent), os.path.join(image, "usr/bin"))
    shutil.copy(e2e.BUILD["ca_file"], os.path.join(image, "etc/ca.pem"))
    shutil.copy(os.path.join(build, "platform/apmib/libapmib.so"), os.path.join(image, "lib"))
    for source, lib in LIBC_FILES[libc]:
        shutil.copy(os.path.realpath(os.path.join(libc_root, source)),
                    os.path.join(image, "lib", lib))
    for source, target in RECIPES:
        shutil.copy(os.path.join(TOP, "router", source), os.path.join(image, target))
    with open(os.path.join(image, RECIPES[-1][1]), "r+") as f:  # a spread over 20 s
        text = f.read().replace("--spread", "--spread 20")
        f.seek(0)
        f.write(text)
    # Debian's curl, a glibc program, with its loader and libraries.
    shutil.copy(os.path.join(root, "usr/bin/curl"), os.path.join(image, "usr/bin"))
    shutil.copy(os.path.realpath(os.path.join(root, "lib/ld.so.1")), os.path.join(image, "lib"))
    copy_closure(os.path.join(root, "usr/bin/curl"), root, image)
    with open(os.path.join(image, "etc/nsswitch.conf"), "w") as f:
        f.write("hosts: files dns\n")
    # crond runs a crontab's jobs as the user it is named after.
    with open(os.path.join(image, "etc/passwd"), "w") as f:
        f.write("root:x:0:0:root:/root:/bin/sh\n")
    with open(os.path.join(image, "etc/group"), "w") as f:
        f.write("root:x:0:\n")
    os.symlink("bin/busybox", os.path.join(image, "init"))
    with open(os.path.join(TOP, "router", "inittab")) as f:
        recipe = f.read()
    with open(os.path.join(image, "etc/inittab"), "w") as f:
        f.write(INITTAB.format(recipe=recipe))
    first = e2e.SCENARIOS[SCENARIOS[0]]
    for script, text in (
            ("etc/board-init", BOARD_INIT.format(guest=GUEST_IP, mark=MARK, ca=e2e.BUILD["ca_file"])
             + "\n".join(guest_setup(first, service_ips[service_key(first)], host)) + "\n"),
            ("etc/board-scenarios", SCENARIOS_SH.format(mark=MARK))):
        with open(os.path.join(image, script), "w") as f:
            f.write(text)
        os.chmod(os.path.join(image, script), 0o755)
    with open(os.path.join(image, "scenarios.sh"), "w") as f:
        f.write(HELPERS)
        for name in SCENARIOS:
            s = e2e.SCENARIOS[name]
            f.write(guest_scenario(name, s, service_ips[service_key(s)], host))
    initrd = os.path.join(work, "initrd.gz")
    files = subprocess.run(["find", "."], cwd=image, capture_output=True, check=True).stdout
    cpio = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=image, input=files,
                          capture_output=True, check=True).stdout
    with open(initrd, "wb") as f:
        f.write(subprocess.run(["gzip", "-1"], input=cpio, capture_output=True,
                               check=True).stdout)
    return initrd


class Run:
    """One run of the agent in the guest, as the checks take it."""

    def __init__(self):
        self.returncode, self.stdout, self.stderr, self.seconds = None, "", "", 0.0
        self.in_flight = None  # agents and curls still running


def parse_hex(lines):
    return bytes(int(b, 16) for line in lines for b in line.split()).decode(errors="replace")


def boot(assets, initrd, log, work, dns):
    """Boots the board and reads its console as it comes; after each
    scenario notes how many requests the service has logged by then, and
    has `dns` answer for the service as the guest asks."""
    kernel = open(os.path.join(assets, "kernel")).read().strip()
    vmlinuz = os.path.join(assets, "root/boot", kernel.replace("linux-image-", "vmlinuz-"))
    qemu = ["qemu-system-mipsel", "-M", "malta", "-m", "256", "-vga", "none", "-nographic",
            "-no-reboot", "-kernel", vmlinuz, "-initrd", initrd,
            # init passes APMIB_STORE on to what it starts, for the stand-in
            # store: the recipes name no store of their own.
            "-append", "console=ttyS0 panic=-1 quiet loglevel=0 APMIB_STORE=/tmp/apmib.store",
            "-netdev", "tap,id=wan,ifname=tap0,script=no,downscript=no",
            "-device", "pcnet,netdev=wan,romfile="]
    started = time.monotonic()
    guest = subprocess.Popen(qemu, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, errors="replace")
    # However the guest fares, the board is switched off in the end.
    watchdog = threading.Timer(BOOT_LIMIT, guest.kill)
    watchdog.start()
    console, requests_seen = [], {}
    try:
        for line in guest.stdout:
            line = line.rstrip("\r\n")
            console.append(line)
            if line.startswith(MARK + "end "):
                with open(log) as f:
                    requests_seen[line.split()[-1]] = len(f.read().splitlines())
            elif line.startswith(MARK + "dns "):
                dns(line.split()[-1])
    finally:
        watchdog.cancel()
        guest.kill()
        guest.wait()
    with open(os.path.join(work, "console.log"), "w") as f:
        f.write("\n".join(console) + "\n")
    return console, requests_seen, time.monotonic() - started


def judge(console, requests_seen, requests, host):
    """Each scenario's runs, rebuilt from the console, through the checks."""
    failures, first, served, measured = {}, 0, {}, {}
    blocks, current = {}, None
    for line in console:
        if line.startswith(MARK + "begin "):
            current = line.split()[-1]
            blocks[current] = []
        elif current:
            blocks[current].append(line)
            if line.startswith(MARK + "end "):
                current = None
    for name in SCENARIOS:
        s = e2e.SCENARIOS[name]
        if name not in blocks:
            failures[name] = ["never reported: the board stopped before it"]
            continue
        runs = [Run() for _ in range(s.runs)]
        files, tag = {}, None
        for line in blocks[name]:
            if line.startswith(MARK + "status "):
                _, _, run, status = line.split()
                runs[int(run) - 1].returncode = int(status)
            elif line.startswith(MARK + "seconds "):
                _, _, run, start, end = line.split()
                runs[int(run) - 1].seconds = float(end) - float(start)
            elif line.startswith(MARK + "in_flight "):
                _, _, run, agents, curls = line.split()
                runs[int(run) - 1].in_flight = (int(agents), int(curls))
            elif line.startswith(MARK):
                tag = line[len(MARK):]
                files[tag.replace(" absent", "")] = None if tag.endswith(" absent") else []
                tag = None if tag.endswith(" absent") else tag
            elif tag is not None and re.fullmatch(r"( [0-9a-f]{2})+", line):
                files[tag].append(line)  # od's lines; not what else the guest says
        text = {t: (parse_hex(lines) if lines is not None else None) for t, lines in files.items()}
        for i, r in enumerate(runs, 1):
            r.stdout = text.get("stdout %d" % i) or ""
            r.stderr = text.get("stderr %d" % i) or ""
        last = requests_seen.get(name, first)
        if s.start in e2e.RECIPE_STARTS and s.within is not None:
            measured[name] = runs[0].seconds
        before = served.get(service_key(s), 0)
        # Each service numbers its replies from its start, not from the
        # scenario's.
        s = copy.copy(s)
        s.reply, s.left = (re.sub(r"reply (\d+)", lambda m: "reply %d" % (before + int(m[1])), t)
                           if t else t for t in (s.reply, s.left))
        found = e2e.verify(s, host, runs, requests[first:last], text.get("reply"),
                           text.get("store"), text.get("left") or "")
        served[service_key(s)] = before + last - first
        first = last
        if found:
            failures[name] = found
    return failures, measured


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--libc", choices=sorted(LIBC_FILES), required=True)
    parser.add_argument("--libc-root", required=True)
    parser.add_argument("--host", default="inventory.kelvorn.net")
    parser.add_argument("--ca-file", required=True)
    parser.add_argument("--max-time", required=True)
    parser.add_argument("--pin-keys", required=True)
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    build = os.path.realpath(args.build)
    e2e.set_build(args.ca_file, args.max_time, args.pin_keys)

    fetched = [os.path.join(TOP, "scripts/mipsel-packages.sh"), "board", "--cached"]
    if not args.inside:
        assets = subprocess.run(fetched, capture_output=True, text=True)
        if assets.returncode != 0:
            print("SKIPPED: " + assets.stderr.strip())
            return e2e.SKIP
        if not os.path.exists("/dev/net/tun"):
            print("SKIPPED: no /dev/net/tun here, for the board's tap device")
            return e2e.SKIP
        return e2e.run_sandboxed(__file__, sys.argv[1:], ("qemu-system-mipsel", "cpio", "readelf",
                                                           "openssl", "ip", "dnsmasq"))

    assets = subprocess.run(fetched, capture_output=True, text=True, check=True).stdout.strip()
    e2e.make_sandbox(args.host, [build, assets])
    work = e2e.WORK
    tap = subprocess.run(["ip", "tuntap", "add", "dev", "tap0", "mode", "tap"],
                         capture_output=True, text=True)
    if tap.returncode != 0:
        print("SKIPPED: no tap device for the board here: 'ip tuntap add' said: "
              + (tap.stderr.strip() or "exit %d" % tap.returncode))
        return e2e.SKIP
    e2e.sh("ip", "link", "set", "tap0", "up")
    log = os.path.join(work, "requests.log")
    open(log, "w").close()
    # On the tap's side, one service for each answer and key the scenarios
    # need, each on an address of its own: 192.0.2.1, .3, .4 ...
    service_ips, services = {}, []
    try:
        for name in SCENARIOS:
            s = e2e.SCENARIOS[name]
            if service_key(s) in service_ips:
                continue
            ip = "192.0.2.%d" % (len(service_ips) + 2 if service_ips else 1)
            service_ips[service_key(s)] = ip
            e2e.sh("ip", "addr", "add", ip + "/24", "dev", "tap0")
            services.append(e2e.start_service(args.host, s.service, log, s, bind=ip))
        # The WAN's DHCP and DNS server, on the tap only, with one address to
        # lease and one name to answer, the service of the lease's scenario.
        # It keeps its user and group: in a user namespace setgroups is denied.
        names = os.path.join(work, "dns-hosts")
        open(names, "w").close()
        dhcp = subprocess.Popen(
            ["dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
             "--no-hosts", "--addn-hosts=" + names, "--interface=tap0", "--bind-interfaces",
             "--user=root", "--group=", "--no-ping",
             "--dhcp-range=%s,%s,255.255.255.0,1h" % (e2e.LEASED[1], e2e.LEASED[1]),
             "--dhcp-option=option:router," + DNS, "--dhcp-option=option:dns-server," + DNS,
             "--dhcp-option=option:domain-name,wan.test", "--pid-file=%s/dnsmasq.pid" % work,
             "--dhcp-leasefile=%s/leases" % work, "--log-facility=%s/dnsmasq.log" % work])
        services.append(dhcp)

        def answer(ip):
            with open(names, "w") as f:
                f.write("%s %s\n" % (ip, args.host))
            dhcp.send_signal(signal.SIGHUP)
        initrd = make_initramfs(build, args.libc, args.libc_root, assets, args.host, work,
                                service_ips)
        if dhcp.poll() is not None:
            with open(os.path.join(work, "dnsmasq.log")) as f:
                print("FAILED: the DHCP server did not start:\n" + f.read())
            return 1
        console, requests_seen, seconds = boot(assets, initrd, log, work, answer)
    finally:
        for service in services:
            service.kill()
            service.wait()
    with open(log) as f:
        requests = f.read().splitlines()

    board = [l[len(MARK):] for l in console if l.startswith(MARK + "board ")]
    print(board[0] if board else "board: never reached its init")
    failures, measured = judge(console, requests_seen, requests, args.host)
    for name in SCENARIOS:
        if name in failures:
            print("FAILED %s %s\n%s" % (args.libc, name, "\n".join(failures[name])))
        else:
            took = " (%.2f s of the %d allowed)" % (measured[name], e2e.SCENARIOS[name].within) \
                if name in measured else ""
            print("passed %s %s%s" % (args.libc, name, took))
    done = any(l == MARK + "done" for l in console)
    print("%s: boot, %d scenarios and power-off: %.1f s%s" % (
        args.libc, len(SCENARIOS), seconds, "" if done else " (did not finish)"))
    if failures or not done:
        print("---- the board's console ----\n" + "\n".join(console[-60:]))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
