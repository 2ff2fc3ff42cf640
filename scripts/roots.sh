# Sourced by wheels.sh: Debian roots, made with debootstrap and kept in the
# user's cache, in which the wheels are tested where they will run.
#
#   bullseye-amd64  Debian 11 (glibc 2.31) and its python3.9: the older system
#   forky-amd64     Debian testing's python3.14 and python3.15, their headers,
#                   and g++ for the source archive
#   bullseye-arm64  python3.9 with its headers    } emulated by qemu-user
#   bookworm-arm64  python3.11 with its headers   } through binfmt_misc
#   forky-arm64     python3.13, 3.14 and 3.15 with their headers
#
# A root is made once (into <name>.new, moved into place when complete) and
# remade when its package list changes. Packages come from the mirror this
# machine's apt uses (QUORL_DEBIAN_MIRROR overrides it); a run that cannot
# reach it fails and says so. Mounts inside a root (proc, dev, dev/shm) and
# the binfmt_misc file system and its aarch64 entry are set up only where
# missing, and whatever this run set up is undone when it ends, failed or not.
# Needs root (for chroot and mount).

ROOTS="$CACHE/roots"

# Name -> "suite arch packages...". Testing is reached with debootstrap's sid
# script: this debootstrap may predate testing's code name.
root_recipe() {
    case "$1" in
        bullseye-amd64) echo "bullseye amd64 python3.9 python3.9-venv python3-distutils" ;;
        forky-amd64) echo "forky amd64 python3.14 python3.14-venv python3.15 python3.15-venv" \
                          "libpython3.14-dev libpython3.15-dev python3.15-dev g++" ;;
        bullseye-arm64) echo "bullseye arm64 python3.9 python3.9-venv python3-distutils libpython3.9-dev" ;;
        bookworm-arm64) echo "bookworm arm64 python3.11 python3.11-venv python3-distutils libpython3.11-dev" ;;
        forky-arm64) echo "forky arm64 python3.13 python3.13-venv python3.14 python3.14-venv" \
                          "python3.15 python3.15-venv libpython3.13-dev libpython3.14-dev libpython3.15-dev" ;;
        *) echo "no root called $1" >&2; return 1 ;;
    esac
}

# The Debian mirror: $QUORL_DEBIAN_MIRROR, or the first Debian archive among
# this machine's apt sources (one-line or deb822 format).
debian_mirror() {
    if [[ -n "${QUORL_DEBIAN_MIRROR:-}" ]]; then
        echo "$QUORL_DEBIAN_MIRROR"
        return
    fi
    local uri
    uri="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -oE '(https?|file)://[^ ]*/debian/?( |$)' | grep -v -- '-security' | head -n 1 | tr -d ' ' || true)"
    if [[ -z "$uri" ]]; then
        echo "no Debian mirror among the apt sources of this machine: set QUORL_DEBIAN_MIRROR" >&2
        return 1
    fi
    echo "${uri%/}"
}

need_root_user() {
    if [[ $(id -u) -ne 0 ]]; then
        echo "the Debian roots need root (chroot, mount, binfmt_misc): run as root" >&2
        return 1
    fi
}

# debootstrap and qemu-user-static, from Debian's packages.
root_tools() {
    local missing=() p
    for p in debootstrap qemu-user-static; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# aarch64 programs run through qemu-aarch64-static. The entry is registered
# with the F flag (Debian's own), so the emulator is opened at registration
# and need not exist inside the roots.
binfmt_aarch64() {
    local dir=/proc/sys/fs/binfmt_misc
    if [[ ! -f "$dir/register" ]]; then
        mount -t binfmt_misc binfmt_misc "$dir" || {
            echo "cannot mount binfmt_misc on $dir: aarch64 programs cannot be emulated" >&2; return 1; }
        on_exit "umount '$dir'"
    fi
    if [[ ! -f "$dir/qemu-aarch64" ]]; then
        local conf=/usr/lib/binfmt.d/qemu-aarch64.conf
        [[ -f "$conf" ]] || { echo "$conf is missing (qemu-user-static)" >&2; return 1; }
        cat "$conf" >"$dir/register" || { echo "cannot register qemu-aarch64 with binfmt_misc" >&2; return 1; }
        on_exit "echo -1 > '$dir/qemu-aarch64'"
    fi
    grep -qx enabled "$dir/qemu-aarch64" || { echo "the qemu-aarch64 binfmt entry is disabled" >&2; return 1; }
}

# Unmounts everything mounted at or below a folder, deepest first.
unmount_below() {
    local dir m
    dir="$(realpath -m "$1")"
    while read -r m; do
        umount "$m" 2>/dev/null || umount -l "$m" || true
    done < <(awk -v d="$dir" '$2 == d || index($2, d "/") == 1 {print $2}' /proc/mounts | sort -r)
}

# Removes a root folder, never while anything is mounted inside it (a bound
# /dev would take the machine's device files with it).
remove_root_dir() {
    local dir="$1"
    [[ -e "$dir" ]] || return 0
    unmount_below "$dir"
    if awk -v d="$(realpath -m "$dir")" 'index($2, d "/") == 1 {found = 1} END {exit !found}' /proc/mounts; then
        echo "refusing to remove $dir: something is still mounted inside it" >&2
        return 1
    fi
    rm -rf --one-file-system "$dir"
}

# Makes the root NAME unless it is there with the same package list.
root_ensure() {
    local name="$1" recipe suite arch packages dir mirror script=() log
    recipe="$(root_recipe "$name")" || return 1
    read -r suite arch packages <<<"$recipe"
    dir="$ROOTS/$name"
    if [[ -f "$dir/.quorl-root" ]] && [[ "$(cat "$dir/.quorl-root")" == "$recipe" ]]; then
        return 0
    fi
    need_root_user
    root_tools
    [[ "$arch" == amd64 ]] || binfmt_aarch64
    mirror="$(debian_mirror)"
    # The Release file of testing may be older than its validity window.
    if ! curl -fsS -m 60 -o /dev/null "$mirror/dists/$suite/Release"; then
        echo "cannot reach Debian's packages: $mirror/dists/$suite/Release (set QUORL_DEBIAN_MIRROR?)" >&2
        return 1
    fi
    [[ "$suite" == forky ]] && script=(/usr/share/debootstrap/scripts/sid)
    mkdir -p "$ROOTS" "$CACHE/debs/$suite-$arch"
    remove_root_dir "$dir.new"
    remove_root_dir "$dir"
    log="$ROOTS/$name.log"
    echo "making the $name root with debootstrap (log: $log)"
    local started=$SECONDS
    on_exit "unmount_below '$dir.new'"
    if ! debootstrap --variant=minbase --arch="$arch" --include="${packages// /,}" \
            --cache-dir="$CACHE/debs/$suite-$arch" \
            "$suite" "$dir.new" "$mirror" ${script[@]+"${script[@]}"} >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        grep -h -E "^(E:|dpkg: )|depends on" "$dir.new/debootstrap/debootstrap.log" 2>/dev/null | tail -n 5 >&2 || true
        echo "debootstrap of $name failed: Debian's packages unreachable, or a package missing (see $log)" >&2
        unmount_below "$dir.new"
        return 1
    fi
    unmount_below "$dir.new"
    cat >"$dir.new/etc/apt/apt.conf.d/99quorl" <<'EOF'
Acquire::Check-Valid-Until "false";
EOF
    echo "$recipe" >"$dir.new/.quorl-root"
    mv "$dir.new" "$dir"
    echo "made the $name root in $((SECONDS - started)) s"
}

# Makes the roots named, side by side (the emulated ones are slow to
# configure), each with its own log; fails if any fails.
roots_ensure() {
    local name pids=() failed=0 i names=()
    for name in "$@"; do
        if [[ -f "$ROOTS/$name/.quorl-root" ]] && [[ "$(cat "$ROOTS/$name/.quorl-root")" == "$(root_recipe "$name")" ]]; then
            continue
        fi
        names+=("$name")
    done
    ((${#names[@]})) || return 0
    need_root_user
    root_tools
    for name in "${names[@]}"; do
        [[ "$name" == *-amd64 ]] || { binfmt_aarch64; break; }
    done
    for name in "${names[@]}"; do
        # A subshell has its own cleanup list.
        (QUORL_CLEANUP=(); root_ensure "$name") &
        pids+=($!)
    done
    for i in "${!pids[@]}"; do
        wait "${pids[i]}" || { echo "could not make the ${names[i]} root" >&2; failed=1; }
    done
    return "$failed"
}

# Mounts /proc, /dev and a fresh /dev/shm (for multiprocessing) in a root
# where they are missing, until this shell exits. Call it from the shell that
# runs the commands, before any subshell does.
root_mount() {
    local name="$1" dir="$ROOTS/$1"
    [[ -f "$dir/.quorl-root" ]] || { echo "no $name root" >&2; return 1; }
    [[ "$name" == *-amd64 ]] || binfmt_aarch64
    if ! mountpoint -q "$dir/proc"; then
        mount -t proc proc "$dir/proc"
        on_exit "umount '$dir/proc'"
    fi
    if ! mountpoint -q "$dir/dev"; then
        mount --bind /dev "$dir/dev"
        on_exit "umount '$dir/dev'"
    fi
    if ! mountpoint -q "$dir/dev/shm"; then
        mount -t tmpfs -o size=1g tmpfs "$dir/dev/shm"
        on_exit "umount '$dir/dev/shm'"
    fi
}

# Runs a command inside a mounted root as root, with a clean environment.
root_run() {
    local name="$1" dir="$ROOTS/$1"
    shift
    mountpoint -q "$dir/proc" && mountpoint -q "$dir/dev/shm" ||
        { echo "the $name root is not mounted (root_mount)" >&2; return 1; }
    # Nothing is byte-compiled (pip would compile every package it installs,
    # slow under emulation); the tests run once.
    chroot "$dir" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
        PYTHONDONTWRITEBYTECODE=1 PIP_NO_COMPILE=1 PIP_DISABLE_PIP_VERSION_CHECK=1 "$@"
}
