#!/usr/bin/env python3
"""End-to-end scenarios: the built agent against the real kernel, the real
curl and a local HTTPS inventory service.

Each scenario runs in a private network and mount namespace made with
unshare: "eth1" is one end of a veth pair, /tmp is a private tmpfs and
/etc/hosts sends the report host to 127.0.0.1, where the stand-in service
listens on port 443. Nothing leaves the sandbox.

    e2e_test.py --agent build/kelvorn [--host NAME] SCENARIO
    e2e_test.py --agent build/kelvorn --demo
    e2e_test.py --list KIND            the scenarios for a kind of agent:
        plain    built without report options
        options  with the CA file, the pins and the time limit
        pinned   with the pins alone
        safe     with the safe reply and the time limit
    (the agents of the last three kinds run with --kind KIND --ca-file FILE
    --max-time SECONDS --pin-keys KEY,KEY: what they were built with)

Exits 0 on pass, 1 on failure, 77 (skipped) when the sandbox cannot be made.
"""
import argparse
import ast
import base64
import concurrent.futures
import ctypes
import dataclasses
import hashlib
import os
import re
import shlex
import shutil
import stat
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.realpath(__file__))
SERVICE = os.path.join(HERE, "..", "..", "platform", "inventory", "inventory_service.py")
SKIP = 77
VERSION = "1.0.164"
WORK = "/tmp/kelvorn-e2e"  # inside the sandbox's private /tmp
REPLY = "/tmp/vercheck.conf"
EMULATOR = []  # e.g. qemu-mipsel -L /usr/mipsel-linux-gnu, for a cross-built agent
MEMCHECK = False  # run the agent under valgrind's memcheck
KIND = ["plain"]  # the kind of agent under test (see --list)
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

ROAD_STORE = "MIB_WAN_MAC_ADDR 00:1a:2b:3c:4d:5e\nMIB_HW_NIC1_ADDR 02:00:00:aa:bb:cc\n"
ETH1 = ("02:11:22:33:44:55", "10.0.0.2")
FALLBACK = "debug> MAC<-MIB_HW_NIC1_ADDR"
WAN_ERR = "MIB_WAN_MAC_ADDR apmib_get error"
NIC_ERR = "MIB_HW_NIC1_ADDR apmib_get error"
# A flash-backed store holds its file open read-write for the whole run, and
# a chatty one writes to standard error while it works.
KEEPER = "@keep-open\n" + ROAD_STORE
STORE_SAYS = "apmib: flash partition mtd3 opened"
STORE_READ_SAYS = "apmib: read"
TALKS = "@keep-open\n@stderr %s\n@stderr-get %s\n" % (STORE_SAYS, STORE_READ_SAYS)

LEFT = WORK + "/left"
# A look at the reply in the middle of a run adds it to LEFT.
PEEK = "sleep 1; cat /tmp/vercheck.conf >>%s 2>/dev/null" % LEFT
# How cron, init scripts and supervisors start the agent: with the console
# captured (stdout and stderr apart), with standard descriptors closed by
# the starting shell, into a log pipe whose reader has gone, or with both
# streams into one log file (">log 2>&1"); or captured while the reply is
# looked at.
BY_SHELL = {"stdout_closed": 'exec "$@" >&-', "stderr_closed": 'exec "$@" 2>&-',
            "all_closed": 'exec "$@" <&- >&- 2>&-', "peek": '"$@" & %s; wait $!' % PEEK,
            # The shell that runs curl, and curl, killed once the private file
            # holds part of the reply (a router's ash is curl by then); only
            # ours, by their parents: other rows may run beside this one.
            "kill_curl": '"$@" & i=0; while [ $i -lt 300 ] && ! [ -s "$(ls /tmp/vercheck.conf.*'
                         ' 2>/dev/null)" ]; do sleep 0.1; i=$((i + 1)); done;'
                         ' sh=$(pgrep -P $!); kill -KILL $sh $(pgrep -P $sh); wait $!'}
# Started by a booted board's own init, crond or DHCP client with the recipes
# of router/, their console in the recipes' log (board only), as the board's
# harness says. (The recipes' own rows are tests/recipes/.)
RECIPE_STARTS = ("inittab", "crond", "dhcp_lease", "renew")
ONE_LOG_STARTS = ("one_log",) + RECIPE_STARTS
SPREAD = "02:11:22:33:44:56"  # kelvorn-start --offset 20 gives it 12 s
LEASED = (SPREAD, "192.0.2.100")  # the board's DHCP server has one address
# A router without a battery-backed clock, before NTP has answered.
EPOCH_DAY = "1970-01-02 00:00:00"


@dataclasses.dataclass
class Scenario:
    store: str = ROAD_STORE       # stand-in store file, None for no file
    eth1: tuple = ETH1            # (mac, ipv4 or None), None for no eth1
    mac: str = "00:1a:2b:3c:4d:5e"  # the MAC the run must report
    store_lines: tuple = ()       # lines between banner and MAC line
    args: tuple = ()
    service: str = "ok"           # service mode, None for nothing on 443
    runs: int = 1
    path: str = PATH
    stub_curl: str = None         # a curl of ours on PATH: a key of STUB_CURLS
    reply: str = None             # expected reply file, None for absent; a
                                  # tuple: any one of them
    stale_reply: str = None
    store_opens: bool = True
    stderr: str = ""              # text the shell may write to stderr
    reaches_service: bool = True  # False where curl cannot send
    kind: str = "plain"           # the agent it is for (see --list)
    signer: str = "self"          # who signs the service's certificate:
                                  # self, trusted (the agent's CA), rogue
    key: str = "fresh"            # the service's key: fresh, or a pinned
                                  # one, first or second
    clock: str = None             # the date curl's clock starts at
    within: float = None          # seconds each run may take at most
    start: str = "captured"       # captured, reader_gone, one_log, peek, a
                                  # key of BY_SHELL, or of RECIPE_STARTS
    dev_null: bool = True         # False: the sandbox has no /dev/null
    tmp_full: bool = False        # /tmp has no inode left, /dev is the
                                  # sandbox's own
    in_flight: tuple = None       # (agents, curls) still running at the end
    plant: str = None             # what stands at the reply's place: a key
                                  # of PLANTS, None for a file or nothing
    together: bool = False        # the runs start at once, not in turn
    left: str = ""                # what LEFT holds afterwards: the reply
                                  # as peeked, then AFTERMATH's findings
    reports: int = None           # requests sent, if not one a run

    def __post_init__(self):
        self.reports = self.runs if self.reports is None else self.reports


def ok_reply(n=1):
    return "kelvorn-e2e reply %d\n" % n


HALF = ok_reply()[:len(ok_reply()) // 2]  # what a service that cuts the reply gives
STALLED = ok_reply() * 2048  # and one that stalls halfway


# Planted at the reply's place before the run, as by an unprivileged user:
# a link to a root-only file, or a directory.
PLANTS = {"link": "echo precious >/tmp/precious; chmod 600 /tmp/precious;"
                  " ln -s /tmp/precious /tmp/vercheck.conf;"
                  " chown -h 65534:65534 /tmp/vercheck.conf 2>/dev/null || :",
          "dir": "mkdir /tmp/vercheck.conf"}
# What the run left beside the reply, into LEFT: private files, a link or a
# directory at its place, the planted link's target.
AFTERMATH = ("{ cd /tmp; for f in vercheck.conf.*; do [ -e \"$f\" ] && echo \"left $f\"; done;"
             " [ -e /dev/null ] || echo 'no /dev/null';"
             " [ -L vercheck.conf ] && echo link; [ -d vercheck.conf ] && echo dir;"
             " cat precious 2>/dev/null; } >>%s" % LEFT)


SCENARIOS = {
    "road_of_one_run": Scenario(reply=ok_reply()),
    "arguments_ignored": Scenario(args=["--help", "-v", "x y", "", "; reboot", "$(id)"],
                                  reply=ok_reply()),
    "store_file_missing": Scenario(store=None, store_opens=False),
    "store_file_malformed": Scenario(store="MIB_WAN_MAC_ADDR 00:1a:2b:zz:4d:5e\n",
                                     store_opens=False),
    "wan_zero_falls_back": Scenario(
        store="100 00:00:00:00:00:00\n202 02:00:00:aa:bb:cc\n",
        mac="02:00:00:aa:bb:cc", store_lines=[FALLBACK], reply=ok_reply()),
    "wan_read_fails_falls_back": Scenario(
        store="100 fail\n202 02:00:00:aa:bb:cc\n",
        mac="02:00:00:aa:bb:cc", store_lines=[WAN_ERR, FALLBACK], reply=ok_reply()),
    # A failed read that still wrote bytes: they are taken as found.
    "wan_failed_read_dirty": Scenario(
        store="100 fail de:ad:be:ef:00:01\n202 02:00:00:aa:bb:cc\n",
        mac="de:ad:be:ef:00:01", store_lines=[WAN_ERR], reply=ok_reply()),
    "wan_one_bit_set": Scenario(store="100 00:00:00:00:00:01\n202 02:00:00:aa:bb:cc\n",
                                mac="00:00:00:00:00:01", reply=ok_reply()),
    "wan_broadcast": Scenario(store="100 ff:ff:ff:ff:ff:ff\n", mac="ff:ff:ff:ff:ff:ff",
                              reply=ok_reply()),
    "store_writes_twelve_bytes": Scenario(
        store="100 00:0f:80:ff:7f:ab:01:02:03:04:05:06\n", mac="00:0f:80:ff:7f:ab",
        reply=ok_reply()),
    "both_reads_fail": Scenario(store="# nothing configured\n", mac="00:00:00:00:00:00",
                                store_lines=[WAN_ERR, FALLBACK, NIC_ERR], reply=ok_reply()),
    "no_eth1": Scenario(eth1=None, reply=ok_reply()),
    "eth1_without_ipv4": Scenario(eth1=("02:0a:0b:0c:0d:0e", None), reply=ok_reply()),
    "longest_ipv4": Scenario(eth1=("fe:ff:ff:ff:ff:ff", "255.255.255.254"), reply=ok_reply()),
    "curl_missing": Scenario(path="/nonexistent-kelvorn", stale_reply="stale\n",
                             reply="stale\n", stderr="not found", reaches_service=False),
    "nothing_listening": Scenario(service=None, stale_reply="stale\n", reply="stale\n"),
    "service_answers_500": Scenario(service="error", reply="inventory error\n"),
    "two_runs": Scenario(runs=2, stale_reply="stale\n", reply=ok_reply(2)),
    "stdout_order_with_curl_output": Scenario(stub_curl="echo", service=None),
    "curl_inherits_no_descriptor": Scenario(stub_curl="descriptors", service=None),
    # The store's own descriptor reaches curl; none of the agent's may.
    "curl_sees_only_the_stores_descriptor": Scenario(store=KEEPER, stub_curl="descriptors",
                                                     service=None),
    # Started as routers start it: the store's file survives byte for byte,
    # the report goes out, the status is 0.
    "store_keeps_file_open": Scenario(store=KEEPER, reply=ok_reply()),
    "stdout_closed": Scenario(store=KEEPER, start="stdout_closed", reply=ok_reply()),
    "stderr_closed_curl_missing": Scenario(
        store=KEEPER, start="stderr_closed", path="/nonexistent-kelvorn", stale_reply="stale\n",
        reply="stale\n", reaches_service=False),
    "all_closed": Scenario(store=TALKS + ROAD_STORE, start="all_closed", reply=ok_reply()),
    "log_reader_gone": Scenario(store=TALKS + ROAD_STORE, start="reader_gone", reply=ok_reply()),
    "store_talks_into_one_log": Scenario(
        store=TALKS + "100 00:00:00:00:00:00\n202 02:00:00:aa:bb:cc\n", start="one_log",
        mac="02:00:00:aa:bb:cc", store_lines=[FALLBACK], reply=ok_reply()),
    "store_talks_one_log_curl_missing": Scenario(
        store=TALKS + ROAD_STORE, start="one_log", path="/nonexistent-kelvorn",
        stderr="not found", reaches_service=False),
    "no_dev_null_stdout_closed": Scenario(store=KEEPER, start="stdout_closed", dev_null=False,
                                          reply=ok_reply(), left="no /dev/null\n"),
    "started_by_inittab": Scenario(start="inittab", reply=ok_reply()),
    # The cron start's report comes at its offset, not before, and within the
    # rest of its window (20 s): generous by design.
    "cron_report_waits_its_offset": Scenario(start="crond", eth1=(SPREAD, ETH1[1]), within=8,
                                             reply=ok_reply()),
    "started_by_dhcp_lease": Scenario(start="dhcp_lease", eth1=LEASED, reply=ok_reply()),
    # udhcpc returns while the report it started stalls for ever, halfway
    # through the reply: the request has been answered.
    "dhcp_hook_does_not_wait": Scenario(start="dhcp_lease", eth1=LEASED, service="stall_half",
                                        in_flight=(1, 1), reply=STALLED),
    "lease_renewal_reconfigures_without_a_report": Scenario(start="renew", eth1=LEASED,
                                                            reply=ok_reply()),
    # For an agent built with a CA file, the pins and a curl time limit:
    # each of the CA and the pins refuses on its own.
    "ca_signed_accepted": Scenario(kind="options", signer="trusted", key="first",
                                   reply=ok_reply()),
    "ca_unsigned_refused": Scenario(kind="options", signer="rogue", key="first",
                                    stale_reply="stale\n", reply="stale\n", reaches_service=False),
    "ca_signed_unpinned_refused": Scenario(kind="options", signer="trusted",
                                           stale_reply="stale\n", reply="stale\n",
                                           reaches_service=False),
    "ca_clock_1970_refused": Scenario(kind="options", signer="trusted", key="first",
                                      clock=EPOCH_DAY, stale_reply="stale\n", reply="stale\n",
                                      reaches_service=False),
    "stalled_service_times_out": Scenario(kind="options", signer="trusted", key="first",
                                          service="stall", within=30),
    # For an agent built with the pins alone: the service's key is checked,
    # not its certificate's chain or dates.
    "pinned_first_key_accepted": Scenario(kind="pinned", key="first", reply=ok_reply()),
    "pinned_second_key_accepted": Scenario(kind="pinned", key="second", reply=ok_reply()),
    "unpinned_key_refused": Scenario(kind="pinned", stale_reply="stale\n", reply="stale\n",
                                     reaches_service=False),
    "pinned_clock_1970_accepted": Scenario(kind="pinned", key="first", clock=EPOCH_DAY,
                                           reply=ok_reply()),
    # For an agent built with the safe reply and the time limit: only a whole,
    # non-empty 2xx body replaces the earlier reply, in one step, never
    # through what stands at its place.
    "safe_reply_replaced": Scenario(kind="safe", stale_reply="stale\n", reply=ok_reply()),
    "safe_error_makes_no_reply": Scenario(kind="safe", service="error"),
    "safe_nothing_listening_keeps_the_reply": Scenario(kind="safe", service=None,
                                                       stale_reply="stale\n", reply="stale\n"),
    "safe_stall_keeps_the_reply": Scenario(kind="safe", service="stall_half", start="peek",
                                           stale_reply="stale\n", reply="stale\n",
                                           left="stale\n", within=30),
    "safe_planted_link_replaced": Scenario(kind="safe", plant="link", reply=ok_reply(),
                                           left="precious\n"),
    "safe_directory_left_alone": Scenario(kind="safe", plant="dir", left="dir\n"),
    # No private file can be made: curl writes to /dev/null, which stays.
    "safe_tmp_out_of_inodes_keeps_the_reply": Scenario(kind="safe", tmp_full=True,
                                                       stale_reply="stale\n", reply="stale\n"),
    "safe_curl_killed_keeps_the_reply": Scenario(kind="safe", service="stall_half",
                                                 start="kill_curl", stale_reply="stale\n",
                                                 reply="stale\n"),
    "safe_two_runs_at_once": Scenario(kind="safe", service="slow", runs=2, together=True,
                                      reply=tuple(ok_reply(n) * 100 * n for n in (1, 2))),
    # The default reply, with the link planted where the kernel lets root
    # follow it (fs.protected_symlinks=0, as router kernels have it; board
    # only): curl writes the reply into the link's target.
    "default_planted_link_followed": Scenario(kind="options", signer="trusted", key="first",
                                              plant="link", reply=ok_reply(),
                                              left="link\n" + ok_reply()),
}
# Where the kernel decides for the row: the board sets it (besides the
# recipes' starts).
BOARD_ONLY = ("default_planted_link_followed",)
# What each failing answer leaves where a good reply stood: the default
# reply, as curl writes it (the options agent, for its time limit), and the
# safe reply, which keeps the earlier one byte for byte.
for mode, default_leaves in [(m, "<html><body><h1>%s</h1></body></html>\n" % m)
                             for m in ("404", "503", "301", "302")] + [
        ("error", "inventory error\n"), ("cut", HALF), ("chunked_cut", HALF),
        ("stall_half", STALLED), ("empty", ""), ("204", "")]:
    SCENARIOS["default_%s_replaces_the_reply" % mode] = Scenario(
        kind="options", signer="trusted", key="first", service=mode, stale_reply="stale\n",
        reply=default_leaves, within=30)
    SCENARIOS["safe_%s_keeps_the_reply" % mode] = Scenario(
        kind="safe", service=mode, stale_reply="stale\n", reply="stale\n", within=30)

# Stand-ins for curl. "echo" prints the words it was given; "descriptors"
# records the signals it starts with ignored (the shell keeps an ignored
# signal ignored, so its own mask is what curl would get) and which
# descriptors beyond 0, 1 and 2 it inherited, with the file each names,
# probing without opening any of its own.
PROBE_DESCRIPTORS = """import os
fds = {}
for fd in range(3, 1024):
    try:
        os.fstat(fd)
        fds[fd] = os.readlink("/proc/self/fd/%d" % fd)
    except OSError:
        pass
with open("WORK/descriptors", "w") as f:
    f.write(repr(fds))
""".replace("WORK", WORK)
STUB_CURLS = {
    "echo": '#!/bin/sh\necho "stub curl: $*"\n',
    "descriptors": "#!/bin/sh\nsed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status >%s/sigign\n"
                   "exec %s -I -c %s\n" % (WORK, sys.executable, shlex.quote(PROBE_DESCRIPTORS)),
}

# What the agents of the options and pinned kinds were built with; set from
# the command line.
BUILD = {"ca_file": None, "max_time": None, "pin_keys": []}


def set_build(ca_file, max_time, pin_keys):
    """BUILD from the command line's --ca-file, --max-time and --pin-keys."""
    BUILD.update(ca_file=ca_file, max_time=max_time,
                 pin_keys=[os.path.realpath(k) for k in pin_keys.split(",") if k])


def pin(key):
    """curl's pin of a key file: the SHA-256 of its public key, base64."""
    der = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "DER"],
                         capture_output=True, check=True).stdout
    return "sha256//" + base64.b64encode(hashlib.sha256(der).digest()).decode()


def command_line(host, mac, ipv4, kind):
    tls = "--cacert " + BUILD["ca_file"] if kind == "options" else "--insecure"
    if kind in ("options", "pinned"):
        tls += " --pinnedpubkey '%s'" % ";".join(pin(k) for k in BUILD["pin_keys"])
    limit = " --max-time %s" % BUILD["max_time"] if kind in ("options", "safe") else ""
    safe = kind == "safe"
    return ("curl --silent %s%s%s https://%s/storage/router-dovrak-item/inform/%s/%s/%s"
            " -o /tmp/vercheck.conf%s" % (tls, limit, " --fail --location --max-redirs 0" * safe,
                                          host, mac, ipv4, VERSION, ".XXXXXX" * safe))


def store_says(s, directive):
    """What the scenario's store writes to stderr where `directive` says."""
    for line in (s.store or "").splitlines():
        if line.startswith(directive + " "):
            return [line[len(directive) + 1:]]
    return []


def expected_console(s, host, with_store=False):
    """The agent's lines; `with_store`: and the store's, where both streams
    go to one log and each line must stand where it was written."""
    says, read_says = (store_says(s, "@stderr"), store_says(s, "@stderr-get")) if with_store \
        else ([], [])
    lines = ["kelvorn " + VERSION] + says
    if not s.store_opens:
        return lines + ["Initialize AP MIB failed!"]
    ipv4 = s.eth1[1] if s.eth1 and s.eth1[1] else "0.0.0.0"
    hw = s.eth1[0] if s.eth1 else "00:00:00:00:00:00"
    command = command_line(host, s.mac, ipv4, s.kind)
    if s.tmp_full:
        command = command.replace(REPLY + ".XXXXXX", "/dev/null")
    lines += read_says  # the WAN MAC read
    for line in s.store_lines:
        lines.append(line)
        if line == FALLBACK:
            lines += read_says  # the NIC1 read
    lines += ["wanMacAddr from config: " + s.mac, "iface: eth1, IP: " + ipv4,
              "Mac iface: " + hw, "debug> " + command]
    if s.stub_curl == "echo":
        lines.append("stub curl: " + command.split(" ", 1)[1])
    return lines


def sh(*argv):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)


def mount2(source, target, flags, data=None):
    """mount(2) itself. mount(8) would resolve a /proc/PID/fd path to its
    name, which after the tmpfs is mounted names the new, empty /tmp; and on
    a remount it repeats the options it finds, whose uid a user namespace
    refuses."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.mount(source and source.encode(), target.encode(), None, flags,
                  data and data.encode()) != 0:
        raise OSError(ctypes.get_errno(), "mount %s on %s" % (source, target))


def bind_mount(source, target):
    mount2(source, target, 4096 | 16384)  # MS_BIND | MS_REC


def make_sandbox(host, paths):
    """Inside fresh namespaces: private /tmp, our /etc/hosts, lo up. What
    lives under the old /tmp stays visible, by its top-level folder: these
    tests, Python, the pinned keys, the emulator's C library and the `paths`
    the caller names (the agent, in a checkout under /tmp)."""
    keep = {p.split("/")[2] for p in [HERE, sys.executable] + BUILD["pin_keys"] + EMULATOR + paths
            if p.startswith("/tmp/")}
    old_tmp = os.open("/tmp", os.O_RDONLY | os.O_DIRECTORY)
    sh("mount", "-t", "tmpfs", "-o", "mode=1777", "kelvorn-e2e", "/tmp")
    for top in keep:
        os.makedirs(os.path.join("/tmp", top))
        bind_mount("/proc/self/fd/%d/%s" % (old_tmp, top), os.path.join("/tmp", top))
    os.close(old_tmp)
    os.makedirs(WORK)
    with open(os.path.join(WORK, "hosts"), "w") as f:
        f.write("127.0.0.1 localhost\n127.0.0.1 %s\n" % host)
    if os.path.exists("/etc/hosts"):
        sh("mount", "--bind", os.path.join(WORK, "hosts"), "/etc/hosts")
    else:
        # A machine without one (a container, a debootstrap): an overlay on
        # /etc, in this mount namespace only, gives the sandbox its own.
        for d in ("etc-upper", "etc-work"):
            os.makedirs(os.path.join(WORK, d))
        sh("mount", "-t", "overlay", "kelvorn-e2e-etc", "-o",
           "lowerdir=/etc,upperdir=%s/etc-upper,workdir=%s/etc-work" % (WORK, WORK), "/etc")
        shutil.copy(os.path.join(WORK, "hosts"), "/etc/hosts")
    sh("ip", "link", "set", "lo", "up")


def add_eth1(mac, ipv4):
    sh("ip", "link", "add", "eth1", "type", "veth", "peer", "name", "eth1-peer")
    sh("ip", "link", "set", "eth1", "address", mac)
    if ipv4:
        sh("ip", "addr", "add", ipv4 + "/24", "dev", "eth1")
    sh("ip", "link", "set", "eth1-peer", "up")
    sh("ip", "link", "set", "eth1", "up")


def openssl(*args):
    subprocess.run(("openssl",) + args, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def make_certificate(host, signer, key):
    """The service's certificate for `key` (a fresh one, or the first or
    second pinned key), valid from now: self-signed, or signed by the CA
    that the agent trusts or by another one, each CA made once."""
    name = os.path.join(WORK, "service-%s-%s" % (signer, key))
    cert = name + ".pem"
    if key == "fresh":
        key = name + ".key"
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", key)
    else:
        key = BUILD["pin_keys"][("first", "second").index(key)]
    if signer == "self":
        openssl("req", "-x509", "-key", key, "-out", cert, "-days", "1", "-subj", "/CN=" + host,
                "-addext", "subjectAltName=DNS:" + host)
        return cert, key
    ca = BUILD["ca_file"] if signer == "trusted" else os.path.join(WORK, "rogue-ca.pem")
    if not os.path.exists(ca):
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", ca + ".key", "-out", ca, "-days", "1",
                "-subj", "/CN=kelvorn test %s CA" % signer,
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign")
    with open(name + ".ext", "w") as f:
        f.write("subjectAltName=DNS:%s\n" % host)
    openssl("req", "-new", "-key", key, "-out", name + ".csr", "-subj", "/CN=" + host)
    openssl("x509", "-req", "-in", name + ".csr", "-CA", ca, "-CAkey", ca + ".key",
            "-CAcreateserial", "-out", cert, "-days", "1", "-extfile", name + ".ext")
    return cert, key


def start_service(host, mode, log, s, bind="127.0.0.1"):
    cert, key = make_certificate(host, s.signer, s.key)
    service = subprocess.Popen([sys.executable, SERVICE, "--cert", cert, "--key", key,
                                "--log", log, "--mode", mode, "--bind", bind],
                               stdout=subprocess.PIPE, text=True)
    if service.stdout.readline().strip() != "ready":
        service.kill()
        raise RuntimeError("inventory service did not start")
    return service


def agent_env(s, trace):
    # A clean environment: no proxy, no ~/.curlrc, only what the store needs.
    env = {"PATH": s.path, "HOME": WORK, "CURL_HOME": WORK, "LANG": "C"}
    if s.store is not None:
        env["APMIB_STORE"] = os.path.join(WORK, "apmib.store")
    # A sanitizer build's settings; LeakSanitizer cannot run under strace.
    env.update((k, v) for k, v in os.environ.items() if k.split("_")[0] in ("ASAN", "UBSAN"))
    if trace:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return env


def run_agent(agent, s, trace, run):
    argv = EMULATOR + [agent] + list(s.args)
    if MEMCHECK:
        argv = ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=all",
                "--track-fds=yes", "--log-file=%s/memcheck.%d.log" % (WORK, run)] + argv
    elif trace:
        # Every socket and program the run starts, children included.
        argv = ["strace", "-f", "-qq", "-e", "trace=socket,execve",
                "-o", os.path.join(WORK, "strace.txt")] + argv
    if s.start in BY_SHELL:  # as an init script does it: the shell closes them, then execs
        argv = ["/bin/sh", "-c", BY_SHELL[s.start], "sh"] + argv
    # Without /dev/null in the sandbox, stdin is an empty file of ours.
    stdin = open(os.devnull if s.dev_null else os.path.join(WORK, "empty"), "rb")
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
    if s.start == "reader_gone":
        reader, writer = os.pipe()
        os.close(reader)
        streams["stdout"] = writer
    elif s.start == "one_log":
        log = open(os.path.join(WORK, "console.%d.log" % run), "w+")
        streams = {"stdout": log, "stderr": subprocess.STDOUT}
    start = time.monotonic()
    result = subprocess.run(argv, env=agent_env(s, trace), stdin=stdin, text=True, timeout=60,
                            **streams)
    result.seconds = time.monotonic() - start
    stdin.close()
    if s.start == "reader_gone":
        os.close(writer)
        result.stdout = ""
    elif s.start == "one_log":
        log.seek(0)
        result.stdout, result.stderr = log.read(), ""
        log.close()
    return result


def check(failures, what, got, want):
    if got != want:
        failures.append("%s:\n  got:  %r\n  want: %r" % (what, got, want))


def verify(s, host, results, requests, reply, store_after, left, trace=False):
    """What went wrong in scenario `s`, judged from what its runs left: each
    run's stdout, stderr, exit status and time (`results`), the requests the
    service received, the reply file, the store's file and LEFT afterwards."""
    failures = []

    # What each of the agent's own streams must carry; closed or unread ones
    # carry nothing we can see.
    stdout_seen = s.start in ("captured", "stderr_closed", "peek", "kill_curl") + ONE_LOG_STARTS
    stderr_seen = s.start in ("captured", "stdout_closed", "reader_gone", "peek", "kill_curl")
    want_lines = expected_console(s, host, with_store=s.start in ONE_LOG_STARTS) \
        if stdout_seen else []
    store_stderr = store_says(s, "@stderr") + store_says(s, "@stderr-get") * (
        (1 + (FALLBACK in s.store_lines)) if s.store_opens else 0)
    for i, r in enumerate(results, 1):
        # The safe reply's private file has a name of mkstemp's making.
        console = [re.sub(r"(conf\.)[A-Za-z0-9]{6}$", r"\1XXXXXX", line)
                   for line in r.stdout.splitlines()]
        if s.start == "one_log" and s.stderr:
            # The shell's own message, last: curl could not be started.
            check(failures, "run %d log ends with the shell's message" % i,
                  bool(console) and s.stderr in console[-1], True)
            console = console[:-1]
        check(failures, "run %d console" % i, console, want_lines)
        if stdout_seen:
            check(failures, "run %d ends its output with a newline" % i,
                  r.stdout.endswith("\n"), True)
        if s.start not in RECIPE_STARTS:  # the recipes keep no status
            check(failures, "run %d exit status" % i, r.returncode, 0 if s.store_opens else 1)
        if s.in_flight:
            check(failures, "run %d agents and curls still running" % i, r.in_flight, s.in_flight)
        if s.within is not None:
            check(failures, "run %d ended within %d s (took %.1f s)" % (i, s.within, r.seconds),
                  r.seconds <= s.within, True)
        if trace or not stderr_seen:
            continue
        stderr = r.stderr.splitlines()
        check(failures, "run %d stderr: the store's lines" % i, stderr[:len(store_stderr)],
              store_stderr)
        stderr = stderr[len(store_stderr):]
        if s.stderr:
            check(failures, "run %d stderr mentions" % i, s.stderr in "\n".join(stderr), True)
        else:
            check(failures, "run %d stderr" % i, stderr, [])
    check(failures, "store file after the runs", store_after, s.store)
    want_requests = []
    if s.store_opens and s.service and s.reaches_service:
        ipv4 = s.eth1[1] if s.eth1 and s.eth1[1] else "0.0.0.0"
        path = "/storage/router-dovrak-item/inform/%s/%s/%s" % (s.mac, ipv4, VERSION)
        want_requests = ["GET " + path] * s.reports
    check(failures, "requests the service received", requests, want_requests)
    check(failures, "reply file", reply,  # or any one of these, whole
          reply if isinstance(s.reply, tuple) and reply in s.reply else s.reply)
    check(failures, "what the run left beside the reply (%s)" % LEFT, left, s.left)
    if trace:
        with open(os.path.join(WORK, "strace.txt")) as f:
            calls = [l.split(None, 1)[1] for l in f if "(" in l]
        check(failures, "sockets opened", [c for c in calls if c.startswith("socket(")], [])
        check(failures, "programs started", len([c for c in calls if c.startswith("execve(")]), 1)
    return failures


def run_scenario(agent, host, name, demo):
    s = SCENARIOS[name]
    make_sandbox(host, [agent])
    if s.eth1:
        add_eth1(*s.eth1)
    store_file = os.path.join(WORK, "apmib.store")
    if s.store is not None:
        with open(store_file, "w") as f:
            f.write(s.store)
    open(os.path.join(WORK, "empty"), "w").close()
    stub = STUB_CURLS.get(s.stub_curl)
    if s.clock:
        # The real curl, its clock set back: it checks the certificate's dates.
        stub = '#!/bin/sh\nexec faketime %s %s "$@"\n' % (shlex.quote(s.clock),
                                                          shutil.which("curl"))
    if stub:
        stub_dir = os.path.join(WORK, "bin")
        os.makedirs(stub_dir)
        with open(os.path.join(stub_dir, "curl"), "w") as f:
            f.write(stub)
        os.chmod(os.path.join(stub_dir, "curl"), 0o755)
        s.path = stub_dir + ":" + s.path
    if s.stale_reply is not None:
        with open(REPLY, "w") as f:
            f.write(s.stale_reply)
    if s.plant:
        subprocess.run(["/bin/sh", "-c", PLANTS[s.plant]], check=True)
    open(LEFT, "w").close()
    log = os.path.join(WORK, "requests.log")
    open(log, "w").close()
    if s.kind != KIND[0]:
        print("FAILED: %s is for an agent of the %s kind, not %s (--kind)"
              % (name, s.kind, KIND[0]))
        return 1
    service = start_service(host, s.service, log, s) if s.service else None

    trace = not s.store_opens and not MEMCHECK
    for tool, needed in (("strace", trace), ("valgrind", MEMCHECK), ("faketime", s.clock)):
        if needed and shutil.which(tool) is None:
            print("SKIPPED: %s is not installed" % tool)
            return SKIP
    if not s.dev_null or s.tmp_full:
        # An early-boot /dev, or a chroot without one; or one whose null a
        # run could remove: a node of its own, or where that cannot be made
        # (a user namespace) a link to the real one.
        null = os.path.join(WORK, "null")
        open(null, "w").close()
        bind_mount("/dev/null", null)
        sh("mount", "-t", "tmpfs", "-o", "mode=755", "kelvorn-e2e-dev", "/dev")
        if s.tmp_full:
            try:
                os.mknod("/dev/null", stat.S_IFCHR | 0o666, os.makedev(1, 3))
            except PermissionError:
                os.symlink(null, "/dev/null")
            fs = os.statvfs("/tmp")
            mount2(None, "/tmp", 32, "nr_inodes=%d" % (fs.f_files - fs.f_ffree))  # MS_REMOUNT
    try:
        with concurrent.futures.ThreadPoolExecutor(s.runs if s.together else 1) as pool:
            results = list(pool.map(lambda run: run_agent(agent, s, trace, run),
                                    range(1, s.runs + 1)))
    finally:
        if service:
            service.kill()
            service.wait()

    with open(log) as f:
        requests = f.read().splitlines()
    subprocess.run(["/bin/sh", "-c", AFTERMATH])
    with open(LEFT) as f:
        left = f.read()
    reply = open(REPLY).read() if os.path.isfile(REPLY) else None
    # As curl makes its file with umask 022, and the safe reply its own.
    mode = os.stat(REPLY).st_mode & 0o777 if os.path.isfile(REPLY) else 0o644
    if demo:
        show_demo(results[0], requests, reply)

    store_after = None
    if s.store is not None:
        with open(store_file) as f:
            store_after = f.read()
    failures = verify(s, host, results, requests, reply, store_after, left, trace)
    check(failures, "the reply's mode", oct(mode), oct(0o644))

    if s.stub_curl == "descriptors":
        # The store's open file is the store's business; any other is ours.
        with open(os.path.join(WORK, "descriptors")) as f:
            inherited = sorted(ast.literal_eval(f.read()).values())
        check(failures, "descriptors curl inherited beyond 0, 1, 2", inherited,
              [store_file] if "@keep-open" in s.store else [])
        with open(os.path.join(WORK, "sigign")) as f:
            check(failures, "curl starts with SIGPIPE ignored", int(f.read(), 16) >> 12 & 1, 0)
    if MEMCHECK:
        for run in range(1, s.runs + 1):
            failures.extend(memcheck_findings(os.path.join(WORK, "memcheck.%d.log" % run)))

    if failures:
        print("FAILED %s\n%s" % (name, "\n".join(failures)))
        return 1
    print("passed %s" % name)
    return 0


def memcheck_findings(log):
    """What valgrind found wrong in one run: errors, heap left at exit, or a
    descriptor beyond 0, 1 and 2 still open."""
    with open(log) as f:
        text = f.read()
    findings = []
    summary = re.search(r"ERROR SUMMARY: (\d+) errors", text)
    if not summary or summary.group(1) != "0":
        findings.append("memcheck errors")
    if not re.search(r"in use at exit: 0 bytes in 0 blocks", text):
        findings.append("memcheck: heap blocks left at exit")
    if "FILE DESCRIPTORS:" not in text:
        findings.append("memcheck: no descriptor report")
    # Every open descriptor but 0, 1 and 2 is listed; valgrind's own log is
    # one of them.
    listed = re.findall(r"== Open (.*)", text)
    if [d for d in listed if not d.endswith(log)]:
        findings.append("memcheck: descriptors left open at exit")
    if findings:
        findings.append("valgrind's log:\n" + text)
    return findings


def show_demo(result, requests, reply):
    print("---- kelvorn's console (exit status %d) ----" % result.returncode)
    sys.stdout.write(result.stdout)
    print("---- requests the inventory service received ----")
    print("\n".join(requests) if requests else "(none)")
    print("---- %s ----" % REPLY)
    sys.stdout.write(reply if reply is not None else "(absent)\n")
    print("--------")


def sandbox_prefix(more=()):
    """The unshare command that gives us our own network and mounts (and
    the `more` namespaces), or a reason why none can be had here."""
    if shutil.which("unshare") is None:
        return None, "unshare (util-linux) is not installed"
    errors = []
    for prefix in (["unshare", "--net", "--mount", *more],
                   ["unshare", "--user", "--map-root-user", "--net", "--mount", *more]):
        probe = subprocess.run(prefix + ["true"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
        if probe.returncode == 0:
            return prefix, None
        errors.append("'%s' said: %s" % (" ".join(prefix[1:]),
                                          probe.stderr.strip() or "exit %d" % probe.returncode))
    return None, "no network and mount namespaces here: " + "; ".join(errors)


def run_sandboxed(script, args, tools, more=()):
    """Runs `script --inside args` in namespaces of its own (and the `more`
    ones), or says why it cannot here: SKIP."""
    missing = [tool for tool in tools if shutil.which(tool) is None]
    prefix, why = sandbox_prefix(more)
    if missing or prefix is None:
        print("SKIPPED: " + ("%s is not installed" % missing[0] if missing else why))
        return SKIP
    argv = prefix + [sys.executable, os.path.abspath(script), "--inside"] + list(args)
    return subprocess.run(argv).returncode


def main():
    parser = argparse.ArgumentParser()
    kinds = ["plain", "options", "pinned", "safe"]
    parser.add_argument("--list", choices=kinds)
    parser.add_argument("--kind", choices=kinds, default="plain",
                        help="the kind of agent under test: which report options it has")
    parser.add_argument("--agent")
    parser.add_argument("--host", default="inventory.kelvorn.net")
    parser.add_argument("--demo", action="store_true")
    parser.add_argument("--ca-file", help="the CA file the agent was built with")
    parser.add_argument("--memcheck", action="store_true", help="run the agent under valgrind")
    parser.add_argument("--max-time", help="the curl time limit the agent was built with")
    parser.add_argument("--pin-keys", default="",
                        help="the keys, comma-separated, whose pins the agent was built with")
    parser.add_argument("--emulator", default="",
                        help="command line that runs the agent, for a cross-built one")
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("scenario", nargs="?", choices=sorted(SCENARIOS))
    args = parser.parse_args()
    if args.list:
        print("\n".join(n for n, s in SCENARIOS.items()
                        if s.kind == args.list and s.start not in RECIPE_STARTS
                        and n not in BOARD_ONLY))
        return 0
    if not args.agent:
        parser.error("--agent is required")
    if args.demo:
        args.scenario = "road_of_one_run"
    if not args.scenario:
        parser.error("name a scenario or --demo")
    agent = os.path.realpath(args.agent)
    set_build(args.ca_file, args.max_time, args.pin_keys)
    KIND[0] = args.kind
    global MEMCHECK
    MEMCHECK = args.memcheck
    EMULATOR[:] = shlex.split(args.emulator)
    if EMULATOR:
        # Found on our PATH: the agent's own PATH is the scenario's.
        if shutil.which(EMULATOR[0]) is None:
            print("SKIPPED: %s is not installed" % EMULATOR[0])
            return SKIP
        EMULATOR[0] = shutil.which(EMULATOR[0])

    if args.inside:
        os.umask(0o022)
        return run_scenario(agent, args.host, args.scenario, args.demo)

    return run_sandboxed(__file__, sys.argv[1:], ("ip", "curl", "openssl"))


if __name__ == "__main__":
    sys.exit(main())
