#!/usr/bin/env bash
# Shows how the Linux kernel's own UDF driver treats disc images: boots Debian's
# linux-image-amd64 kernel under qemu-system-x86_64 (software emulation, no KVM
# needed) with each image attached as a virtio disk, as a loop device would show
# it, and in the guest mounts each with `mount -t udf`. Run by hand; not part of
# scripts/test.sh. One boot for all the images takes some 8 s on 2 cores.
#
#   scripts/kernel-check.sh [[-o OPTIONS] IMAGE...]...
#
# -o OPTIONS are mount options (session=N, lastblock=N, ro, ...) for the images
# after it, up to the next -o (-o '' for none); an image may be named more than
# once. A mount without ro asks for read-write and, when the kernel refuses,
# is tried again with ro. The images are never changed (qemu's snapshot=on keeps
# the guest's writes, the write test's among them, out of the files). For each
# mount tried it prints, IMAGE being the path as given:
#   IMAGE options=OPTIONS mount=ok mode=rw|ro write=ok|refused
#   IMAGE options=OPTIONS mount=failed error=MESSAGE
#   IMAGE label: LABEL          the volume the kernel says it mounts, if it does
#   IMAGE dmesg: UDF-fs: ...    the kernel's messages during the mount
#   IMAGE ls: ...               `ls -lAn` of the root directory
# e.g. scripts/kernel-check.sh plain.img -o session=1000,lastblock=1299 sessions.img
# The disk has 512-byte sectors, so the kernel tries 512- and 1024-byte blocks
# first ("Scanning with blocksize 512 failed"; -o bs=2048 skips that). A session
# but the last that ends in a VAT needs lastblock=its VAT's block as well.
#
# Needs qemu-system-x86, busybox-static and cpio (installed when missing). The
# kernel's .deb is fetched with apt-get download, and its vmlinuz and the few
# modules it needs kept in the cache folder (VOLQUILL_CACHE; /var/cache/volquill
# for root, else ~/.cache/volquill); remove linux-kernel/ there for a newer one.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
if [[ -n ${VOLQUILL_CACHE:-} ]]; then cache=$VOLQUILL_CACHE
elif [[ $(id -u) -eq 0 ]]; then cache=/var/cache/volquill
else cache=${XDG_CACHE_HOME:-$HOME/.cache}/volquill; fi

images=() options=() opts=
while (($#)); do
  case $1 in
    -o) opts=${2?-o needs OPTIONS}; shift 2 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) [[ -f $1 || -b $1 ]] || { echo "no such image: $1" >&2; exit 1; }
       images+=("$1") options+=("$opts"); shift ;;
  esac
done
((${#images[@]})) || { echo "usage: $0 [[-o OPTIONS] IMAGE...]..." >&2; exit 1; }
((${#images[@]} <= 26)) || { echo "at most 26 images in one run" >&2; exit 1; }
"$repo/scripts/install-deps.sh" qemu-system-x86 busybox-static cpio

# The kernel and the modules the guest loads (udf, the virtio disk and what they
# depend on), in loading order, once per cache folder.
home=
for done_mark in "$cache"/linux-kernel/*/complete; do [[ -f $done_mark ]] && home=${done_mark%/complete}; done
if [[ -z $home ]]; then
  mkdir -p "$cache/linux-kernel"
  exec 9>"$cache/linux-kernel.lock"
  flock 9
  package() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ && !n++ { print $2 }' || true; }
  name=$(package)
  if [[ -z $name ]]; then
    if (($(id -u))); then sudo apt-get update -q >/dev/null; else apt-get update -q >/dev/null; fi
    name=$(package)
  fi
  [[ -n $name ]] || { echo "no linux-image-amd64 in apt's lists" >&2; exit 1; }
  home=$cache/linux-kernel/$name
  work=$(mktemp -d "$cache/linux-kernel/tmp.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && apt-get download -q "$name" >/dev/null 2>&1) || { echo "apt-get download $name failed" >&2; exit 1; }
  dpkg-deb -x "$work"/*.deb "$work/root"
  rm -rf "$home" && mkdir -p "$home"
  cp "$work"/root/boot/vmlinuz-* "$home/vmlinuz"
  order=()
  add() {
    local m=$1 file dep
    [[ " ${order[*]} " == *" $m "* ]] && return 0
    file=$(find "$work/root/lib/modules" \( -name "$m.ko*" -o -name "${m//_/-}.ko*" \) -print -quit)
    [[ -n $file ]] || return 0  # built into the kernel
    case $file in *.xz) xz -dc "$file" ;; *.zst) zstd -qdc "$file" ;; *.gz) gzip -dc "$file" ;; *) cat "$file" ;; esac >"$home/$m.ko"
    for dep in $(tr '\0' '\n' <"$home/$m.ko" | sed -n 's/^depends=//p' | tr , ' '); do add "$dep"; done
    order+=("$m")
  }
  for m in virtio_pci virtio_blk udf; do add "$m"; done
  echo "${order[*]}" >"$home/modules"
  touch "$home/complete"
  rm -rf "$work"; trap - EXIT
fi

# The initramfs: busybox, the modules, /init and the list of images.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/root/bin" "$tmp/root/dev" "$tmp/root/proc" "$tmp/root/sys" "$tmp/root/mnt"
cp /bin/busybox "$tmp/root/bin/busybox"
cp "$home"/*.ko "$home/modules" "$tmp/root/"
drives=() letters=({a..z})
for i in "${!images[@]}"; do
  printf 'vd%s\n%s\n%s\n' "${letters[i]}" "${options[i]}" "${images[i]}" >>"$tmp/root/jobs"
  drives+=(-drive "file=${images[i]//,/,,},format=raw,if=virtio,snapshot=on")
done
cat >"$tmp/root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for m in $(cat /modules); do insmod /$m.ko; done
dmesg -n 1; echo  # the kernel's messages off the console; a line after the firmware's
say() { echo "KC|$*"; }
messages() { dmesg -c | sed 's/^\[[^]]*\] //' | grep -i udf | while read -r l; do say "$1 dmesg: $l"; done; }
attempt() { # DEVICE OPTIONS NAME: one mount, its report, and the umount
  local w=-w o=loud  # busybox mounts with MS_SILENT, which hides the kernel's messages
  case ,$2, in *,ro,*) w= ;; esac
  [ -n "$2" ] && o="loud,$2"
  dmesg -c >/dev/null
  if error=$(mount $w -t udf -o "$o" "/dev/$1" /mnt 2>&1); then
    mode=$(awk '$2 == "/mnt" { split($4, f, ","); print f[1] }' /proc/mounts)
    write=refused; touch /mnt/.kernel-check 2>/dev/null && rm -f /mnt/.kernel-check && write=ok
    say "$3 options=${2:-none} mount=ok mode=$mode write=$write"
    dmesg | sed -n "s/.*Mounting volume '\(.*\)', timestamp.*/\1/p" | while read -r l; do say "$3 label: $l"; done
    messages "$3"
    ls -lAn /mnt | sed 1d | while read -r l; do say "$3 ls: $l"; done
    umount /mnt
    return 0
  fi
  say "$3 options=${2:-none} mount=failed error=${error##*: }"
  messages "$3"
  case $w$error in -w*"Permission denied"|-w*"Read-only file system") return 1 ;; esac
}
while read -r device && read -r options && read -r name; do
  for t in 1 2 3 4 5 6 7 8 9 10; do [ -b /dev/$device ] && break; sleep 0.5; done
  attempt "$device" "$options" "$name" || attempt "$device" "${options:+$options,}ro" "$name" || true
done </jobs
say done
poweroff -f
EOF
chmod +x "$tmp/root/init"
(cd "$tmp/root" && find . | cpio -o -H newc --quiet) >"$tmp/initramfs"

start=$SECONDS
timeout 300 qemu-system-x86_64 -m 256 -nographic -no-reboot -nic none \
  -kernel "$home/vmlinuz" -initrd "$tmp/initramfs" -append "console=ttyS0 quiet panic=-1" \
  "${drives[@]}" </dev/null >"$tmp/console" 2>&1 || true
tr -d '\r' <"$tmp/console" | sed -n 's/^KC|//p' >"$tmp/report"
if ! grep -qx 'done' "$tmp/report"; then
  echo "the guest did not finish; its console:" >&2
  tail -n 30 "$tmp/console" >&2
  exit 1
fi
echo "# kernel ${home##*/}, ${#images[@]} image(s), $((SECONDS - start)) s"
grep -vx 'done' "$tmp/report"
