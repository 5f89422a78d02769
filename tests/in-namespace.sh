#!/bin/sh
# Runs a command as the first process of a private PID and mount namespace with
# its own /proc, so that nothing it signals can lie outside. A user who is not
# root gets a user namespace in which they are.
if [ "$(id -u)" -eq 0 ]; then
  exec unshare --mount --pid --fork --mount-proc "$@"
fi
exec unshare --user --map-root-user --mount --pid --fork --mount-proc "$@"
