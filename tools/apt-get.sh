# Sourced by the scripts that install packages: apt_get runs apt-get as root
# and, when another apt holds its lock (unattended-upgrades on a freshly
# booted machine), says so and waits for it, 5 minutes at most, instead of
# failing at once. Installing waits by apt's own option; apt-get update
# does not honour it, so a refusal for the lock is tried again.
apt_lock_seconds=300
apt_get() {
  local sudo="" err rc waited=0
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  err="$(mktemp)"
  while :; do
    rc=0
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout="$apt_lock_seconds" "$@" 2>"$err" || rc=$?
    if [ "$rc" -ne 0 ] && grep -q "Could not get lock" "$err" && [ "$waited" -lt "$apt_lock_seconds" ]; then
      [ "$waited" -eq 0 ] && echo "apt-get: another package manager holds the lock; waiting for it (5 minutes at most)" >&2
      sleep 5
      waited=$((waited + 5))
      continue
    fi
    cat "$err" >&2
    rm -f "$err"
    return "$rc"
  done
}
