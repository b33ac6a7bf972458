# Steps the scripts share; sourced, never run.

# install_missing PACKAGE...: installs those not yet installed, without
# questions, through sudo when not root.
install_missing() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  echo "Installing: ${missing[*]}"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
    --no-install-recommends "${missing[@]}"
}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# Everything mounted at or below a folder, latest first, and its undoing.
mounts_below() {
  awk -v dir="$1" '$5 == dir || index($5, dir "/") == 1 { print $5 }' /proc/self/mountinfo | tac
}
unmount_below() {
  local point
  for point in $(mounts_below "$1"); do
    as_root umount "$point" 2>/dev/null || as_root umount -l "$point"
  done
}

# --- Caches outside the clone -------------------------------------------------------
# What the long checks take minutes to make (Debian roots, the Debian 11 build
# root and its libraries, the compiler cache, fuzz corpora) outlives the clone
# under $KORVO_CACHE, so a fresh clone on a machine that ran CI before reuses
# it. An entry's folder is named by a digest of its key (everything it was made
# from); it is made beside its place and renamed into it, and its stamp holds
# the key and a digest of the tree, so a half-made or damaged entry is rebuilt
# rather than used. Cached entries are only read: a check that changes a root
# works in a copy.
if [ -z "${KORVO_CACHE-}" ]; then
  if [ "$(id -u)" -eq 0 ]; then KORVO_CACHE=/var/cache/korvo-restore
  else KORVO_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/korvo-restore; fi
fi
export KORVO_CACHE
# Bump when a recipe below changes in a way its key does not show.
korvo_cache_version=1

# Names, kinds and sizes of what a tree holds, leaving out the folders a root
# writes to when used and the mount points a check makes inside it.
cache_tree_digest() {
  (cd "$1" && find . -xdev \( -path ./var -o -path ./tmp -o -path ./root -o -path ./home -o -path ./run \
      -o -path ./proc -o -path ./sys -o -path ./dev -o -path ./media -o -path ./mnt -o -path ./work \) -prune \
      -o \( -type f -o -type l \) ! -path ./.korvo-cache -printf '%P\t%y\t%s\t%l\n' | LC_ALL=C sort | sha256sum |
    cut -d' ' -f1)
}

cache_entry_sound() {
  local dir=$1 key=$2
  [ -f "$dir/.korvo-cache" ] || return 1
  [ "$(sed -n 1p "$dir/.korvo-cache")" = "$key" ] || return 1
  [ "$(sed -n 2p "$dir/.korvo-cache")" = "$(cache_tree_digest "$dir")" ]
}

cache_remove() {
  [ -e "$1" ] || return 0
  unmount_below "$1"
  as_root rm -rf --one-file-system "$1"
}

# cached_entry VAR NAME KEY BUILD: sets VAR to the folder of the entry NAME
# made from KEY, first running "BUILD DIR" to make it in DIR when there is no
# sound one. One maker at a time per entry (flock).
cached_entry() {
  local var=$1 name=$2 key="v$korvo_cache_version $2: $3" build=$4 id dir lock
  id=$(printf '%s' "$key" | sha256sum | cut -c1-16)
  dir=$KORVO_CACHE/$name-$id
  mkdir -p "$KORVO_CACHE"
  exec {lock}>>"$KORVO_CACHE/.$name-$id.lock"
  flock "$lock"
  if ! cache_entry_sound "$dir" "$key"; then
    echo "== Cache: making $name ($dir) =="
    cache_remove "$dir.new"
    mkdir -p "$dir.new"
    "$build" "$dir.new"
    printf '%s\n%s\n' "$key" "$(cache_tree_digest "$dir.new")" | as_root tee "$dir.new/.korvo-cache" >/dev/null
    cache_remove "$dir"
    as_root mv "$dir.new" "$dir"
  fi
  exec {lock}>&-
  printf -v "$var" '%s' "$dir"
}

# The Debian archive this machine installs from; the roots come from it too.
debian_mirror() {
  apt-get indextargets --format '$(REPO_URI)' "Origin: Debian" "Created-By: Packages" | head -n 1
}

# debootstrap_into DIR SUITE [PACKAGE...]: a minimal root of that Debian suite
# with those packages, whose package scripts never start services.
debootstrap_into() {
  local dir=$1 suite=$2 mirror log keyring=/usr/share/keyrings/debian-archive-keyring.gpg include=()
  shift 2
  [ $# -eq 0 ] || include=("--include=$(IFS=,; echo "$*")")
  mirror=$(debian_mirror)
  [ -n "$mirror" ] || { echo "this machine installs from no Debian archive" >&2; return 1; }
  install_missing debootstrap debian-archive-keyring
  # Debian 12's keyring learnt the trixie keys in a point release.
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
    --no-install-recommends --only-upgrade debian-archive-keyring >/dev/null
  log=$(mktemp)
  if ! as_root debootstrap --variant=minbase "${include[@]}" --keyring="$keyring" "$suite" "$dir" "$mirror" \
       >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    rm -f "$log"
    echo "debootstrap of $suite failed" >&2
    return 1
  fi
  if ! grep -q "Valid Release signature" "$log"; then
    rm -f "$log"
    echo "debootstrap did not verify the archive's signature" >&2
    return 1
  fi
  rm -f "$log"
  printf '#!/bin/sh\nexit 101\n' | as_root tee "$dir/usr/sbin/policy-rc.d" >/dev/null
  as_root chmod 755 "$dir/usr/sbin/policy-rc.d"
}

# debian_root VAR SUITE [PACKAGE...]: sets VAR to a cached minimal root of that
# suite with those packages. Use a copy (cp -a) for anything that changes it.
debian_root() {
  local var=$1 suite=$2
  shift 2
  debian_root_suite_for_build=$suite debian_root_packages=("$@")
  cached_entry "$var" "debian-$suite" "$suite minbase $(debian_mirror) ${*:-}" _debian_root_build
}
_debian_root_build() { debootstrap_into "$1" "$debian_root_suite_for_build" "${debian_root_packages[@]}"; }

# use_compiler_cache: sets cmake_cache to the options that put ccache in
# front of the compilers, its cache kept under $KORVO_CACHE (empty without
# ccache). Paths below this clone are hashed relative to it, so another clone
# of the same sources hits.
use_compiler_cache() {
  cmake_cache=()
  command -v ccache >/dev/null || return 0
  export CCACHE_DIR=${CCACHE_DIR:-$KORVO_CACHE/ccache} CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  export CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-5G}
  cmake_cache=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
}
