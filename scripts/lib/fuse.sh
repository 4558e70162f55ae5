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
