#!/bin/sh
# Builds the emulated machine's initramfs: busybox, the kernel modules the
# machine needs with everything they depend on, and the init script.
#   make-initramfs.sh <kernel modules dir> <init script> <output file>
set -eu
modules_dir=$1
init_script=$2
out=$3
wanted="virtio_pci 9pnet_virtio 9p overlay virtio_console xhci_pci ftdi_sio"

busybox=$(command -v busybox)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/bin" "$root/lib/modules" "$root/proc" "$root/sys" "$root/dev" "$root/mnt"
cp "$busybox" "$root/bin/busybox"
cp "$init_script" "$root/init"
chmod 755 "$root/init"

# The depends= entry of a module's .modinfo section, without modinfo(8).
depends_of() {
  tr '\0' '\n' <"$1" | sed -n 's/^depends=//p' | tr ',' ' '
}

# Dependencies first: each module is listed after what it needs.
listed=" "
add_module() {
  local file dep
  case $listed in *" $1 "*) return 0 ;; esac
  file=$(find "$modules_dir/kernel" -name "$1.ko" -o -name "$(echo "$1" | tr _ -).ko" | head -n 1)
  [ -n "$file" ] || { echo "make-initramfs: module $1 not found in $modules_dir" >&2; exit 1; }
  for dep in $(depends_of "$file"); do add_module "$dep"; done
  case $listed in *" $1 "*) return 0 ;; esac
  cp "$file" "$root/lib/modules/$1.ko"
  echo "$1" >>"$root/lib/modules/order"
  listed="$listed$1 "
}
for m in $wanted; do add_module "$m"; done

(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$out"
