#!/bin/sh
# Runs a command as root of a user namespace of its own when run by anyone
# but root and the kernel allows one; otherwise as it is. The console tests
# chroot, which needs that; they enter the namespace themselves, but under
# qemu-user they cannot: qemu runs threads of its own, and the kernel lets
# only a single-threaded process into a new user namespace.
if [ "$(id -u)" != 0 ] && unshare --user --map-root-user true 2>/dev/null; then
  exec unshare --user --map-root-user "$@"
fi
exec "$@"
