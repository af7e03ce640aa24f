#!/usr/bin/env python3
"""The start recipes of router/ on the host, as a small BusyBox image runs
them: each row in a PID, network and mount namespace of its own, chrooted
into a router root whose /bin holds BusyBox's applets (Debian's BusyBox
finds them through PATH, so an applet left out is a real trim), its /proc,
/sys (eth1 a veth) and /var its own, and PID 1 an init that never reaps:
a killed report stays a zombie. kelvorn is a stand-in that records each
start and plays curl until told to stop.

    recipes_test.py ROW        one row of ROWS (or of FLEETS)
    recipes_test.py --list     their names

A row is a BusyBox sh script, the helpers of HELPERS before it, and what it
must print. Exits 0 on pass, 1 on failure, 77 (skipped) when the sandbox
cannot be made.
"""
import os
import random
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.realpath(__file__))
TOP = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import e2e_test as e2e  # noqa: E402  the sandbox

ROOT = e2e.WORK + "/root"
ETH1 = "02:11:22:33:44:55"
STAND_IN = r"""#!/bin/busybox sh
# kelvorn's stand-in: what it saw (with the curls of other reports still
# running), then its curl, a child of its own group that runs while
# /rec/stall exists. Its standard descriptors may come
# closed, as kelvorn's may: it fills them.
exec </dev/null >/dev/null 2>&1
ip=$(/bin/busybox ip -4 addr show dev eth1 | /bin/busybox sed -n 's/.*inet \([0-9.]*\).*/\1/p')
curls=$(/bin/busybox grep -l 'rec/stal[l]' /proc/[0-9]*/cmdline 2>/dev/null | /bin/busybox wc -l)
echo "$$ umask=$(umask) ip=$ip curls=$curls proxies=$http_proxy$https_proxy$HTTPS_PROXY$all_proxy$ALL_PROXY$no_proxy$NO_PROXY$CURL_HOME$XDG_CONFIG_HOME" >>/rec/starts
/bin/busybox sh -c 'while [ -e /rec/stall ]; do /bin/busybox sleep 0.1; done'
echo $$ >>/rec/ends
"""
LEASE = "ip=192.0.2.100 subnet=255.255.255.0 router=192.0.2.1 dns=192.0.2.53"
# The rows' own PATH is /full, every applet; the recipes run with /bin.
HELPERS = "LEASE='%s'" % LEASE + r"""
start() { PATH=/bin /usr/sbin/kelvorn-start "$@" 2>>/rec/err; }
hook() { a=$1; shift; env PATH=/bin interface=eth1 "$@" /usr/share/udhcpc/kelvorn.script $a 2>>/rec/err; }
lease() { hook bound $LEASE "$@"; }
trim() { for a; do rm /bin/$a; done; }
ro() { mount -t tmpfs -o ro kelvorn-ro "$1"; }
stall() { : >/rec/stall; }
release() { rm -f /rec/stall; }
starts() { cat /rec/starts 2>/dev/null | wc -l; }
agents() { cut -d' ' -f2- /rec/starts; }
err() { cat /rec/err; }
# Waits for a condition, a minute at most: the limit is no margin.
until_() { i=0; while ! eval "$1"; do [ $i -lt 600 ] || { echo "never: $1"; return 1; }; sleep 0.1; i=$((i+1)); done; }
started() { until_ "[ \$(starts) -ge ${1:-1} ]"; }
ended() { until_ "[ \$(cat /rec/ends 2>/dev/null | wc -l) -ge $1 ]"; }
# Runs $1 while a report is in flight, then lets it end.
during() { stall; start; started; eval "$1"; release; settle; }
# Until nothing runs but init, this shell and what it started itself: no
# start, report or agent, not even one between fork and exec.
settle() { until_ quiet; }
quiet() {
  for s in /proc/[0-9]*/stat; do
    read -r line 2>/dev/null <$s || continue
    set -- ${line%% *} ${line##*) }
    [ $1 = 1 ] || [ $1 = $$ ] || [ $3 = $$ ] || [ $2 = Z ] || return 1
  done
}
agent() { tail -n 1 /rec/starts | cut -d' ' -f1; }
curls() { grep -ls 'rec/stal[l]' /proc/[0-9]*/cmdline | cut -d/ -f3; }
plant() { mkdir -p /var/run/kelvorn; echo "$1" >/var/run/kelvorn/i.1; ln -s i.1 /var/run/kelvorn/7; }
small() { mount -t tmpfs -o "$1" kelvorn-small /var/run; }
# Another user's folder: uid 65534's, or in a user namespace one of the
# real root's (sysfs's), which it shows as 65534's.
foreign() { mkdir "$1" && { chown 65534 "$1" 2>/dev/null || mount --bind /sys/kernel "$1"; }; }
routes() { ip -4 route show dev eth1 | tr -s ' ' | sed 's/ $//'; }
# eth1's address as the recipes read it, any of them.
mac() { echo $1 >/rec/address; grep -q eth1/address /proc/mounts || mount --bind /rec/address /sys/class/net/eth1/address; }
"""
NO_LOCK = "the report goes out whatever is in flight"
FULL = "(full or read-only): " + NO_LOCK
ANY_LOCK = "kelvorn-start: no lock in /var/run or /tmp (read-only, full, another's, or no mkdir): " \
           + NO_LOCK
PROC = "kelvorn-start: no /proc of this PID namespace: no lock, " + NO_LOCK
SEEN = "umask=0022 ip= curls=0 proxies="  # what a clean report without a lease saw
RESOLV = "nameserver 192.0.2.53"
ROUTES = "default via 192.0.2.1 dev eth1\n192.0.2.0/24 dev eth1 scope link src 192.0.2.100\n"
APART = "awk '$1 < 1800' | sort -u | awk 'END { print (NR > 4 ? \"random\" : NR) }'"
FRESH = "for i in 1 2 3 4 5 6 7 8; do PATH=/bin unshare -pf sh -c '%s; . /usr/sbin/kelvorn-start'; done"
ROWS = {
    # At most one report in flight; a start with news gets one more, once.
    "report_now": ("start; settle; starts; agents; err", "1\n" + SEEN),
    "cron_start_skips_a_report_in_flight": ("during 'start --if-idle'; starts", "1"),
    "news_in_flight_reported_once_after": ("during 'start; start; starts'; starts", "1\n2"),
    "lease_after_boot_report_is_reported": ("during lease; agents", SEEN + "\n" + SEEN.replace("ip=", "ip=192.0.2.100")),
    "killed_agent_curl_still_in_flight": ("during 'kill -9 $(agent); start; start --if-idle'; agents", SEEN + "\n" + SEEN),
    "killed_report_zombies_not_in_flight": ("during 'kill -9 $(cut -d\" \" -f1 /var/run/kelvorn/i.*) $(agent) $(curls); settle; start; started 2'; starts", "2"),
    "waiting_cron_holds_no_lease_report": ("start --spread 1000; lease; started; starts", "1"),
    "record_of_another_process_taken_over": ('sleep 60 & plant $!; start; settle; starts', "1"),
    "record_held_by_a_live_process_kept": ('plant 1; sleep 60 9</var/run/kelvorn/i.1 & start; settle; starts', "0"),
    "umask_and_proxies_not_passed_on": ("umask 0; http_proxy=p:1 https_proxy=p HTTPS_PROXY=p all_proxy=p ALL_PROXY=p no_proxy=x "
                                        "NO_PROXY=x CURL_HOME=/ XDG_CONFIG_HOME=/ start; settle; agents", SEEN),
    # Names the script never makes; a FIFO for news; the lock's folder full.
    "names_not_ours_ignored_and_removed": ("mkdir -p /var/run/kelvorn; for j in 999999999 9223372036854775807 08 09 0100; do ln -s x /var/run/kelvorn/$j; done;"
                                           " for i in 1 2 3; do start; settle; done; starts; ls /var/run/kelvorn | grep -v '^i\\.' | paste -sd' '", "3\n1 2 3 again"),
    "news_as_a_fifo_removed": ("mkdir -p /var/run/kelvorn; mkfifo /var/run/kelvorn/again; start; settle; starts; [ -f /var/run/kelvorn/again ] && echo file", "1\nfile"),
    "old_records_cleared_every_8th": ("for i in $(seq 9); do start; settle; done; ls /var/run/kelvorn | wc -l", "5"),
    "var_run_full_news_reported_without_lock": ("small size=64k; stall; start; started; yes >/var/run/fill 2>/dev/null; start; started 2; release; settle; starts; err",
                                                "2\nkelvorn-start: the lock's folder cannot take news " + FULL),
    "var_run_out_of_inodes_reported_without_lock": ("small nr_inodes=32; start; settle; i=0; while true 2>/dev/null >/var/run/f$i; do i=$((i+1)); done; start; settle; starts; err",
                                                    "2\nkelvorn-start: the lock's folder cannot take a record " + FULL),
    "lock_folder_remounted_read_only": ("small size=64k; start; settle; mount -o remount,ro /var/run; ro /tmp; start; settle; starts; err", "2\n" + ANY_LOCK),
    "var_run_kelvorn_linked_to_a_folder_of_root": ("mkdir /rec/to; ln -s /rec/to /var/run/kelvorn; start; settle; ls -A /rec/to | wc -l; starts", "0\n1"),
    "report_holds_no_caller_descriptor": ("stall; start 12>&1 | cat; started; release; settle; starts", "1"),
    # Where the lock cannot be had, a start reports anyway, and says so.
    "var_run_read_only_lock_in_tmp": ("ro /var/run; during 'start --if-idle; ls -d /tmp/kelvorn'; starts; err", "/tmp/kelvorn\n1"),
    "var_run_and_tmp_read_only": ("ro /var/run; ro /tmp; start; start; settle; starts; err", "2\n%s\n%s" % (ANY_LOCK, ANY_LOCK)),
    "tmp_lock_folder_of_another_user": ("ro /var/run; foreign /tmp/kelvorn; start; settle; starts; ls -A /tmp/kelvorn | grep -c again; err",
                                        "1\n0\n" + ANY_LOCK),
    "var_run_linked_to_tmp_another_users": ("rmdir /var/run; ln -s /tmp /var/run; foreign /tmp/kelvorn; during start; starts; err",
                                            "2\n%s\n%s" % (ANY_LOCK, ANY_LOCK)),
    "proc_of_another_pid_namespace": ("stall; unshare -pf sh -c '. /rec/helpers; start; start; sleep 600' & started 2; release; ended 2; starts; err",
                                      "2\n%s\n%s" % (PROC, PROC)),
    "log_read_only_still_reports": ("ro /var/log; start; settle; starts; err", "1\nkelvorn-start: cannot write /var/log/kelvorn.log; "
                                    "the report goes out, its console to /dev/null"),
    # --spread and --offset.
    "spread_started_by_bare_name": ("cd /usr/sbin; PATH=/bin sh kelvorn-start --spread 1; settle; starts", "1"),
    "spread_from_a_copy_without_run_bit": ("cd /rec; cp /usr/sbin/kelvorn-start .; chmod -x kelvorn-start; PATH=/bin sh /rec/kelvorn-start --spread 1; settle; starts", "1"),
    "spread_holds_no_caller_descriptor": ("PATH=/bin /usr/sbin/kelvorn-start --spread 1000 2>&1 15>&1 | cat; starts", "0"),
    "spread_finds_a_report_in_flight": ("during \"start --spread 1; until_ '! grep -qs -e -[-]if-idle /proc/[0-9]*/cmdline'\"; starts", "1"),
    "offset_known_answers": ("for m in 02:11:22:33:44:56/10 00:1a:2b:3c:4d:5e/1800 ff:ff:ff:ff:ff:ff/86400 00:00:00:00:00:01/3600; do"
                             " mac ${m%/*}; start --offset ${m#*/}; done", "6\n628\n66002\n2224"),
    "offset_refuses_bad_windows": ("for w in 0 01 x 1234567890 ''; do start --offset \"$w\"; echo $?; done; sort -u /rec/err",
                                   "2\n2\n2\n2\n2\nusage: /usr/sbin/kelvorn-start [--if-idle | --spread [SECONDS] | --offset [SECONDS]]"),
    # Eight offsets in the window, each from the first process of a fresh PID
    # namespace, as at boot; more than four of them apart (all but never).
    "offset_of_a_zero_address_is_random": ("mac 00:00:00:00:00:00; " + FRESH % "set -- --offset" + " | " + APART, "random"),
    "offset_without_address_or_random_is_random": ("ip link del eth1; " + FRESH % "unset RANDOM; set -- --offset" + " | " + APART, "random"),
    # The lease's hook.
    "lease_configures_eth1_and_reports": ("lease 'dns=192.0.2.53 198.51.100.53' domain=wan.test; settle; starts; routes; cat /etc/resolv.conf",
                                          "1\n" + ROUTES + "192.0.2.1 dev eth1 scope link\nsearch wan.test\n" + RESOLV + "\nnameserver 198.51.100.53"),
    "lease_of_a_32_routes_its_gateway": ("hook bound ip=203.0.113.10 subnet=255.255.255.255 router=203.0.113.1; routes",
                                         "default via 203.0.113.1 dev eth1\n203.0.113.1 dev eth1 scope link"),
    "lease_option_121_beats_router": ("lease 'staticroutes=10.0.0.0/8 192.0.2.254 0.0.0.0/0 192.0.2.1 198.51.100.0/24 0.0.0.0' router=192.0.2.9; routes",
                                      "default via 192.0.2.1 dev eth1\n10.0.0.0/8 via 192.0.2.254 dev eth1\n" + ROUTES.split("\n")[1] +
                                      "\n192.0.2.1 dev eth1 scope link\n192.0.2.254 dev eth1 scope link\n198.51.100.0/24 dev eth1 scope link"),
    "deconfig_keeps_link_local": ("lease; until_ 'ip -6 addr show dev eth1 | grep -q fe80'; hook deconfig; ip addr show dev eth1 | grep -c inet", "1"),
    "resolv_conf_through_its_link": ("ln -sf /tmp/resolv.conf /etc/resolv.conf; lease; cat /tmp/resolv.conf; readlink /etc/resolv.conf",
                                     RESOLV + "\n/tmp/resolv.conf"),
    "resolv_conf_link_folder_made": ("ln -sf ../tmp/resolv.conf.d/auto /etc/resolv.conf; lease; cat /tmp/resolv.conf.d/auto", RESOLV),
    "resolv_conf_relative_link_from_etc": ("cd /tmp; ln -sf resolv.d/conf /etc/resolv.conf; lease; cat /etc/resolv.d/conf", RESOLV),
    "resolv_conf_0644_under_umask_0": ("umask 0; lease; stat -c %a /etc/resolv.conf", "644"),
    "resolv_conf_read_only_bind_mount_leaves_nothing": (": >/rec/resolv; mount --bind /rec/resolv /etc/resolv.conf; mount -o remount,ro,bind /etc/resolv.conf;"
                                                        " lease; ls /etc | grep -c resolv", "1"),
    "resolv_conf_bind_mount_written_in_place": (": >/rec/resolv; mount --bind /rec/resolv /etc/resolv.conf; lease; cat /rec/resolv; ls /etc | grep -c resolv",
                                                RESOLV + "\n1"),
    "resolv_conf_without_mv_written_in_place": ("trim mv; lease; cat /etc/resolv.conf", RESOLV),
    "renewal_of_the_same_address_reports_nothing": ("lease; settle; hook renew " + LEASE + " dns=192.0.2.54; settle; starts; cat /etc/resolv.conf",
                                                    "1\nnameserver 192.0.2.54"),
    "renewal_with_a_new_address_reports": ("lease; settle; hook renew ip=192.0.2.101; settle; starts", "2"),
    "renewal_to_a_prefix_of_the_address_reports": ("lease; settle; hook renew ip=192.0.2.10; settle; starts", "2"),
    "lease_of_a_10_without_subnet_is_a_24": ("hook bound ip=10.1.2.3 router=10.1.2.1; routes",
                                             "default via 10.1.2.1 dev eth1\n10.1.2.0/24 dev eth1 scope link src 10.1.2.3\n10.1.2.1 dev eth1 scope link"),
}
# Each applet trimmed in turn: the starts of a report while one is in
# flight (the cron start's, through --spread without sleep), and what the
# start says of it.
for applet, starts, says in [
        ("ln", 2, "no ln: no lock, " + NO_LOCK), ("mkdir", 2, ANY_LOCK[len("kelvorn-start: "):]),
        ("rm", 1, "no rm: the lock's old records stay"),
        ("sleep", 1, "no sleep: --spread reports at once, a killed agent's curl is not waited for"),
        ("id ls mv cat readlink setsid", 1, None)]:
    ROWS["without_" + applet.replace(" ", "_")] = (
        "trim %s; during 'start %s'; starts; err" % (applet, "--spread 5" if applet == "sleep" else "--if-idle"),
        "%d%s" % (starts, ("\nkelvorn-start: " + says) * 2 if says else ""))

# Fleets of 3,600 routers whose eth1 addresses run in sequence, in steps of 4
# (vendors that give each router several) and at random, from a fixed seed:
# the busiest minute of the half hour may get at most 1.35 times the mean.
SEEDED = random.Random(20261209)
FLEETS = {"fleet_in_sequence_spreads": [0x001a2b3c4d00 + i for i in range(3600)],
          "fleet_in_steps_of_4_spreads": [0x001a2b3c4d00 + 4 * i for i in range(3600)],
          "fleet_at_random_spreads": [SEEDED.getrandbits(48) for _ in range(3600)]}
# One shell for the whole fleet, with the script's own offset(), eth1's
# address file bound over with each router's in turn.
FLEET = """mount --bind /rec/address /sys/class/net/eth1/address
eval "$(sed -n '/^offset() {/,/^}/p' /usr/sbin/kelvorn-start)"
while read -r mac; do echo $mac >/rec/address; offset 1800; done </rec/fleet
"""


def fleet_spread(name, window=1800):
    offsets = [int(o) for o in run_row(FLEET).split()]
    minutes = [sum(o // 60 == m for o in offsets) for m in range(window // 60)]
    mean = len(offsets) * 60 / window
    print("busiest minute %d (%.2f x the mean %d), busiest second %d (mean %.0f)" % (
        max(minutes), max(minutes) / mean, mean, max(map(offsets.count, offsets)),
        len(offsets) / window))
    return len(offsets) == len(FLEETS[name]) and max(minutes) <= 1.35 * mean and \
        0 <= min(offsets) and max(offsets) < window


def make_root(fleet):
    """The router's root: BusyBox and its applets, the recipes where an
    image installs them, the stand-in agent, and its own /proc, /sys, /dev
    and /var."""
    busybox = shutil.which("busybox")
    for d in ("bin", "full", "usr/bin", "usr/sbin", "usr/share/udhcpc", "etc", "var/run", "var/log",
              "tmp", "proc", "sys", "dev", "rec"):
        os.makedirs(os.path.join(ROOT, d))
    os.chmod(os.path.join(ROOT, "tmp"), 0o1777)
    # The BusyBox binary and the libraries it needs, at their own paths.
    libs = subprocess.run(["ldd", busybox], capture_output=True, text=True).stdout.split()
    for path in [busybox] + [p for p in libs if p.startswith("/")]:
        target = ROOT + ("/bin/busybox" if path == busybox else path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(path, target)
    applets = subprocess.run([busybox, "--list"], capture_output=True, text=True,
                             check=True).stdout.split()
    for folder in ("bin", "full"):
        for applet in applets:
            if not os.path.exists(os.path.join(ROOT, folder, applet)):
                os.symlink("/bin/busybox", os.path.join(ROOT, folder, applet))
    for source, target, text in (("kelvorn-start", "usr/sbin/kelvorn-start", None),
                                 ("udhcpc.script", "usr/share/udhcpc/kelvorn.script", None),
                                 (None, "usr/bin/kelvorn", STAND_IN)):
        with open(os.path.join(ROOT, target), "w") as f:
            f.write(text or open(os.path.join(TOP, "router", source)).read())
        os.chmod(os.path.join(ROOT, target), 0o755)
    open(os.path.join(ROOT, "etc/resolv.conf"), "w").close()
    open(os.path.join(ROOT, "dev/null"), "w").close()
    e2e.bind_mount("/dev/null", os.path.join(ROOT, "dev/null"))
    e2e.sh("mount", "-t", "proc", "kelvorn-proc", os.path.join(ROOT, "proc"))
    e2e.sh("mount", "-t", "sysfs", "kelvorn-sys", os.path.join(ROOT, "sys"))
    if fleet:
        open(os.path.join(ROOT, "rec/address"), "w").close()
        with open(os.path.join(ROOT, "rec/fleet"), "w") as f:
            f.writelines(":".join("%02x" % (m >> b & 255) for b in range(40, -8, -8)) + "\n"
                         for m in fleet)


def run_row(script):
    """What `script` prints, run by BusyBox sh in the router's root; into a
    file, not a pipe: what it leaves running may hold its output open."""
    for name, text in (("helpers", HELPERS), ("row.sh", ". /rec/helpers\n" + script + "\n")):
        with open(os.path.join(ROOT, "rec", name), "w") as f:
            f.write(text)
    with open(os.path.join(e2e.WORK, "out"), "w+") as out:
        subprocess.run([shutil.which("chroot"), ROOT, "/bin/busybox", "sh", "/rec/row.sh"],
                       env={"PATH": "/full", "HOME": "/"}, stdout=out, stderr=out, timeout=240)
        out.seek(0)
        return out.read()


def main():
    names = sorted(ROWS) + sorted(FLEETS)
    if sys.argv[1:] == ["--list"]:
        print("\n".join(names))
        return 0
    inside = sys.argv[1] == "--inside"
    name = sys.argv[-1]
    if len(sys.argv) not in (2, 3) or name not in names:
        print("usage: %s --list | ROW" % sys.argv[0])
        return 2
    if not inside:
        return e2e.run_sandboxed(__file__, [name], ("busybox", "ip", "chroot"), ["--pid", "--fork"])
    e2e.make_sandbox("kelvorn.invalid", [])
    e2e.add_eth1(ETH1, None)
    make_root(FLEETS.get(name))
    if name in FLEETS:
        good = fleet_spread(name)
        print(("passed " if good else "FAILED ") + name)
        return 0 if good else 1
    script, want = ROWS[name]
    got = run_row(script).rstrip("\n")
    if got != want:
        print("FAILED %s\n  got:\n%s\n  want:\n%s" % (name, got, want))
        return 1
    print("passed " + name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
