# Shared by the scripts that serve an emulated calculator with norza-emu-fuse.

# Ends a norza-emu-fuse server: unmounted, it ends by itself; a busy mount is
# detached lazily and the server told to end (SIGTERM ends its loop).
stop_fuse_server() {  # mount point, server pid
  if ! umount "$1" 2>/dev/null; then
    umount -l "$1" 2>/dev/null || true
    kill "$2" 2>/dev/null || true
  fi
  wait "$2" 2>/dev/null || true
}

# Serves DISK at MOUNT with norza-emu-fuse (time stamps in WORK/timing) and
# waits until the mount is up. Sets fuse_pid and fuse_ready ("mounted ...");
# returns 1 when the machine refuses FUSE mounts (the server has ended).
start_fuse_server() {  # server, mount point, disk, work folder
  mkfifo "$4/ready"
  "$1" "$2" --disk "$3" --foreground --timing "$4/timing" >"$4/ready" &
  fuse_pid=$!
  # The server says "mounted ..." once the mount is up, or ends (EOF here).
  read -r -t 60 fuse_ready <"$4/ready" || true
  if [[ ${fuse_ready:-} != mounted* ]]; then
    kill "$fuse_pid" 2>/dev/null || true
    wait "$fuse_pid" 2>/dev/null || true
    fuse_pid=""
    return 1
  fi
}
