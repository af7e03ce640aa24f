#!/usr/bin/env python3
"""What a report costs from its start, in instructions: callgrind over every
process (children traced), in a router root of its own under BusyBox sh (as
the recipes' rows have it) with the real agent, the real curl and a local
HTTPS inventory service, in PID, network and mount namespaces of its own.

    bench/start_cost.py [BUILD]     BUILD: a host build folder (build)

Prints, for curl alone, the agent alone and a start of router/kelvorn-start
(the lock's folder and the log already there, as after boot), the
instructions of each process and the total against curl alone. Asserts
nothing; callgrind counts the same for the same programs and inputs,
however busy the machine.
"""
import ctypes
import glob
import os
import re
import select
import shutil
import struct
import subprocess
import sys
import threading
import time
import types

HERE = os.path.dirname(os.path.realpath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tests", "e2e"), os.path.join(HERE, "..", "tests", "recipes")]
import e2e_test as e2e  # noqa: E402  the sandbox and the service
import recipes_test as recipes  # noqa: E402  the router's root

HOST = "inventory.kelvorn.net"
MAC, IPV4 = "00:1a:2b:3c:4d:5e", "10.0.0.2"
VALGRIND = "/usr/libexec/valgrind"
KEEP = set()  # this process and the service
LOST = []


def copy_with_libraries(program, target):
    """`program` into the root at `target`, with the libraries it needs."""
    libs = subprocess.run(["ldd", program], capture_output=True, text=True).stdout.split()
    for path in [p for p in libs if p.startswith("/")]:
        os.makedirs(os.path.dirname(recipes.ROOT + path), exist_ok=True)
        shutil.copy(path, recipes.ROOT + path)
    shutil.copy(program, recipes.ROOT + target)


def settle():
    """Until nothing runs in the namespace but this and the service; as its
    first process, this one reaps what the others left."""
    while True:
        while os.waitpid(-1, os.WNOHANG)[0] > 0:
            pass
        if all(p in KEEP for p in os.listdir(recipes.ROOT + "/proc") if p.isdigit()):
            return
        time.sleep(0.1)


def set_aside(folder, stop):
    """Renames each dump in `folder` once it is written, until `stop` is set:
    a program that execs another numbers its dumps afresh, under the same
    PID, and would write over those before it. A dump still written to
    after its rename (the next program was quicker) is a loss, and fatal."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_NONBLOCK)
    libc.inotify_add_watch(fd, folder.encode(), 0x8)  # IN_CLOSE_WRITE
    n = 0
    while not stop.is_set() or select.select([fd], [], [], 0)[0]:
        if not select.select([fd], [], [], 0.1)[0]:
            continue
        events = os.read(fd, 65536)
        while events:
            length = struct.unpack_from("iIII", events)[3]
            name = events[16:16 + length].rstrip(b"\0").decode()
            events = events[16 + length:]
            if "#" in name:
                LOST.append(name)
            elif os.path.getsize(os.path.join(folder, name)):  # not callgrind's check at its start
                n += 1
                os.rename(os.path.join(folder, name), os.path.join(folder, "%s#%d" % (name, n)))
    os.close(fd)


def callgrind(name, argv):
    """Runs argv in the root under callgrind, waits for every process it
    left, and prints the instructions of each program; returns their sum.
    A process dumps its counts before it forks or clones, so that its child
    starts from none, and before it execs, so that none are lost."""
    out = os.path.join(recipes.ROOT, "rec", "cg")
    os.makedirs(out)
    stop = threading.Event()
    watcher = threading.Thread(target=set_aside, args=(out, stop))
    watcher.start()
    env = {"PATH": "/bin:/usr/bin:/usr/sbin", "APMIB_STORE": "/rec/store", "HOME": "/"}
    subprocess.run([shutil.which("chroot"), recipes.ROOT, "/usr/bin/valgrind.bin", "--tool=callgrind",
                    "--trace-children=yes", "--dump-before=fork", "--dump-before=clone",
                    "--dump-before=execve", "--callgrind-out-file=/rec/cg/%p", "-q"] + argv,
                   env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=600)
    settle()
    stop.set()
    watcher.join()
    if LOST:
        raise RuntimeError("dumps written over before they were set aside: %s" % LOST)
    programs = {}  # command line: [instructions, PIDs]
    for path in sorted(glob.glob(out + "/*#*"), key=lambda p: int(p.split("#")[-1])):
        text = open(path).read()
        cmd = re.search(r"^cmd: +(.*)", text, re.M).group(1)
        cost = programs.setdefault(cmd, [0, set()])
        cost[0] += int(re.search(r"^(?:totals|summary): (\d+)", text, re.M).group(1))
        cost[1].add(re.search(r"^pid: (\d+)", text, re.M).group(1))
    shutil.rmtree(out)
    print("\n%s\n" % name)
    for cmd, (n, pids) in programs.items():
        print("%12d  %s%s" % (n, cmd[:96], " (%d processes)" % len(pids) if len(pids) > 1 else ""))
    total = sum(n for n, _ in programs.values())
    print("%12d  in all" % total)
    return total


def main():
    build = os.path.abspath(sys.argv[-1] if sys.argv[1:] and sys.argv[-1] != "--inside" else "build")
    if "--inside" not in sys.argv:
        return e2e.run_sandboxed(__file__, [build], ("busybox", "chroot", "curl", "valgrind"),
                                 ["--pid", "--fork"])
    e2e.make_sandbox(HOST, [build])
    e2e.add_eth1("02:11:22:33:44:55", IPV4)
    service = e2e.start_service(HOST, "ok", os.path.join(e2e.WORK, "requests"),
                                types.SimpleNamespace(signer="self", key="fresh"))
    KEEP.update(("1", str(service.pid)))
    recipes.make_root(None)
    copy_with_libraries(shutil.which("curl"), "/usr/bin/curl")
    copy_with_libraries(os.path.join(build, "kelvorn"), "/usr/bin/kelvorn")
    shutil.copy(os.path.join(build, "platform", "apmib", "libapmib.so"), recipes.ROOT + "/lib")
    copy_with_libraries("/usr/bin/valgrind.bin", "/usr/bin/valgrind.bin")
    os.makedirs(recipes.ROOT + VALGRIND)
    e2e.bind_mount(VALGRIND, recipes.ROOT + VALGRIND)
    with open(recipes.ROOT + "/etc/hosts", "w") as f:
        f.write("127.0.0.1 localhost %s\n" % HOST)
    with open(recipes.ROOT + "/rec/store", "w") as f:
        f.write("MIB_WAN_MAC_ADDR %s\n" % MAC)
    curl = callgrind("curl alone", e2e.command_line(HOST, MAC, IPV4, "plain").split())
    agent = callgrind("the agent alone", ["/usr/bin/kelvorn"])
    subprocess.run([shutil.which("chroot"), recipes.ROOT, "/usr/sbin/kelvorn-start"],
                   env={"PATH": "/bin", "APMIB_STORE": "/rec/store"})  # the lock's folder, the log
    settle()
    start = callgrind("a start, through the lock, the report, the agent and curl",
                      ["/usr/sbin/kelvorn-start"])
    service.kill()
    requests = open(os.path.join(e2e.WORK, "requests")).read().count("GET ")
    print("\nrequests the service got: %d (3 due)" % requests)
    print("the agent alone: %.3f x curl alone" % (agent / curl))
    print("a start:         %.3f x curl alone" % (start / curl))
    return 0


if __name__ == "__main__":
    sys.exit(main())
