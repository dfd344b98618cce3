# The guest's kernel and the programs it runs, shared by the QEMU test beds
# (sourced, not run). The caller defines log, fail and skip, and sets CACHE
# (downloads kept between runs), WORK (logs) and, before copy_with_libs,
# ROOT (the initramfs being built).

# --- the kernel -------------------------------------------------------------
# The package linux-image-amd64 depends on, e.g. linux-image-6.1.0-57-amd64.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}
ensure_kernel() {
  local pkg deb
  pkg=$(kernel_package)
  if [ -z "$pkg" ]; then
    timeout 300 apt-get update -qq >"$WORK/apt-update.log" 2>&1 || true
    pkg=$(kernel_package)
  fi
  if [ -z "$pkg" ]; then
    # No package list: any kernel unpacked earlier still serves.
    pkg=$(ls -d "$CACHE"/linux-image-*/ 2>/dev/null | sort -V | tail -n 1 | xargs -r basename)
    [ -n "$pkg" ] || skip "cannot find the kernel linux-image-amd64 depends on (no package lists, no network?)"
  fi
  KDIR="$CACHE/$pkg"
  if [ ! -f "$KDIR/.unpacked" ]; then
    deb=$(ls "$CACHE/${pkg}"_*.deb 2>/dev/null | head -n 1 || true)
    if [ -z "$deb" ]; then
      log "downloading $pkg"
      (cd "$CACHE" && timeout 600 apt-get download "$pkg" >"$WORK/download.log" 2>&1) ||
        skip "cannot download $pkg (no network?): see $WORK/download.log"
      deb=$(ls "$CACHE/${pkg}"_*.deb | head -n 1)
    fi
    rm -rf "$KDIR"
    dpkg-deb -x "$deb" "$KDIR"
    touch "$KDIR/.unpacked"
  fi
  VMLINUZ=$(ls "$KDIR"/boot/vmlinuz-* | head -n 1)
  KVER=${VMLINUZ##*/vmlinuz-}
  MODDIR="$KDIR/lib/modules/$KVER"
  if [ ! -f "$VMLINUZ" ] || [ ! -d "$MODDIR" ]; then fail "no kernel or modules in $KDIR"; fi
}

# Copies a program and the shared libraries ldd names into the guest's root.
copy_with_libs() {  # copy_with_libs FILE DEST_IN_ROOT
  local lib
  install -D -m 0755 "$1" "$ROOT/$2"
  for lib in $(ldd "$1" | awk '/=> \// {print $3} /^\t\// {print $1}'); do
    [ -e "$ROOT$lib" ] || install -D -m 0755 "$(readlink -f "$lib")" "$ROOT$lib"
  done
}

# Module names in load order: every module after the modules it depends on.
module_path() {
  local alt=${1//-/_} alt2=${1//_/-}
  find "$MODDIR/kernel" \( -name "$1.ko*" -o -name "$alt.ko*" -o -name "$alt2.ko*" \) | head -n 1
}
LOAD_ORDER=()
add_module() {
  local name=$1 path dep seen
  path=$(module_path "$name")
  if [ -z "$path" ]; then
    # Built into this kernel: nothing to load.
    grep -qE "/(${name}|${name//-/_}|${name//_/-})\.ko" "$MODDIR/modules.builtin" 2>/dev/null ||
      log "module $name not found; assuming it is built in"
    return 0
  fi
  for seen in "${LOAD_ORDER[@]:-}"; do [ "$seen" = "$path" ] && return 0; done
  for dep in $(modinfo -F depends "$path" | tr ',' ' '); do add_module "$dep"; done
  for seen in "${LOAD_ORDER[@]:-}"; do [ "$seen" = "$path" ] && return 0; done
  LOAD_ORDER+=("$path")
}
