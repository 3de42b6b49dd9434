#!/usr/bin/env bash
# A throw-away machine with the real systemd as its PID 1, made of new namespaces (PID, mount,
# network, UTS, IPC, cgroup) of this machine's kernel, without any container tool:
#
#   container.sh start NAME [OPTION]...   boots it; returns once systemd has finished booting
#       --bind SRC[:DST]                  a folder of this machine, read-only at DST (default SRC)
#       --copy SRC[:DST]                  a copy of a folder of this machine, writable at DST
#       --writable-usr                    /usr writable: an overlay whose changes go with the machine
#   container.sh run NAME CMD [ARG]...    runs CMD inside (all its namespaces, its root); standard
#                                         input, output and error pass through; CMD's exit status
#   container.sh pid NAME                 the PID of its systemd as this machine sees it
#   container.sh stop NAME                powers it off and removes everything it was made of
#
# Sourced, the same as functions: container_start, container_run, container_pid, container_stop.
#
# The machine: a tmpfs root with this machine's /usr bound read-only (unless --writable-usr), a
# private copy of /etc with an empty /etc/systemd/system (no unit of this machine is enabled in
# it) and its own machine ID, a minimal /dev, a fresh /proc whose kernel-wide files are read-only
# except /proc/sys/net, sysfs read-only, its own cgroup2 tree, tmpfs /run and /tmp. Units that
# touch kernel-wide state are masked. Its network namespace holds only loopback: tests plug
# links into it (`ip link add ... netns $(container.sh pid NAME)`).
#
# Every process of the machine, and every command run inside, runs with a capability bounding
# set without the capabilities that reach beyond namespaces (clock, kernel modules, raw I/O,
# kernel log, wake alarms, suspend, MAC policy): a root process entered with nsenter would keep
# them otherwise. Nothing of this machine's /run, /etc, clock or services is touched; the
# journal lives in the container's tmpfs and is gone after `stop`, so read it before.
#
# NAME (letters, digits, '-', '_', '.') names the cgroup /sys/fs/cgroup/unified/NAME and the
# folder /tmp/NAME.container; use a name no other run uses, for instance with your PID in it.

container_self="${BASH_SOURCE[0]}"
container_cgroup_root=/sys/fs/cgroup/unified

# The capabilities no process of the container may have: LAB_BOUNDED.
# shellcheck source=tests/lab/bounded.sh
source "$(dirname "$container_self")/../lab/bounded.sh"

# Units that would act on the whole machine's kernel or wait for hardware.
container_masked_units=(
    systemd-sysctl.service systemd-binfmt.service proc-sys-fs-binfmt_misc.automount
    proc-sys-fs-binfmt_misc.mount systemd-modules-load.service sys-kernel-debug.mount
    sys-kernel-tracing.mount sys-kernel-config.mount sys-fs-fuse-connections.mount
    getty.target console-getty.service getty@.service serial-getty@.service
    container-getty@.service systemd-timesyncd.service systemd-random-seed.service
    systemd-firstboot.service systemd-remount-fs.service systemd-pstore.service
    systemd-udevd.service systemd-udevd-control.socket systemd-udevd-kernel.socket
    systemd-udev-trigger.service systemd-udev-settle.service systemd-hwdb-update.service
    dev-hugepages.mount systemd-machine-id-commit.service
)

container_dir() { printf '/tmp/%s.container' "$1"; }

container_check_name() {
    case $1 in
    '' | *[!A-Za-z0-9._-]* | .*)
        echo "container: bad name '$1'" >&2
        return 1
        ;;
    esac
}

container_pid() {
    local pid
    pid=$(cat "$(container_dir "$1")/pid" 2>/dev/null) || {
        echo "container: $1 does not run" >&2
        return 1
    }
    printf '%s\n' "$pid"
}

container_run() {
    local name=$1 pid
    shift
    pid=$(container_pid "$name") || return 1
    "${LAB_BOUNDED[@]}" nsenter -t "$pid" -a "$@"
}

container_start() {
    local name=$1 dir cgroup deadline pid
    shift
    container_check_name "$name" || return 1
    if [ "$(id -u)" -ne 0 ]; then
        echo "container: needs root" >&2
        return 1
    fi
    dir=$(container_dir "$name")
    cgroup="$container_cgroup_root/$name"
    mkdir "$dir" || return 1
    mkdir "$dir/root"
    if ! mkdir "$cgroup"; then
        rm -rf "$dir"
        return 1
    fi
    # The outer unshare stays on this machine's side; its child is the new PID namespace's init,
    # which moves itself into the cgroup, and from there becomes systemd.
    "${LAB_BOUNDED[@]}" unshare --pid --fork --kill-child --mount --propagation private \
        --net --uts --ipc -- bash "$container_self" _init "$name" "$@" \
        </dev/null >"$dir/console" 2>&1 &
    echo $! >"$dir/unshare"

    # The init's PID on this machine is the one process in the cgroup.
    deadline=$((SECONDS + 20))
    until pid=$(head -n 1 "$cgroup/cgroup.procs" 2>/dev/null) && [ -n "$pid" ]; do
        if [ "$SECONDS" -ge "$deadline" ] || ! kill -0 "$(cat "$dir/unshare")" 2>/dev/null; then
            echo "container: $name did not start:" >&2
            cat "$dir/console" >&2
            container_stop "$name"
            return 1
        fi
        sleep 0.02
    done
    echo "$pid" >"$dir/pid"
    # systemd answers systemctl on its private socket once it runs; is-system-running --wait then
    # returns when the boot has finished.
    until [ -S "/proc/$pid/root/run/systemd/private" ]; do
        if [ "$SECONDS" -ge "$deadline" ] || ! kill -0 "$pid" 2>/dev/null; then
            echo "container: systemd of $name did not come up:" >&2
            cat "$dir/console" >&2
            container_stop "$name"
            return 1
        fi
        sleep 0.02
    done
    local state
    state=$(container_run "$name" timeout 30 systemctl is-system-running --wait 2>&1) || true
    if [ "$state" != running ]; then
        echo "container: $name booted to '$state':" >&2
        container_run "$name" systemctl --no-pager --failed >&2 || true
        if [ "$state" != degraded ]; then
            container_stop "$name"
            return 1
        fi
    fi
}

container_stop() {
    local name=$1 dir cgroup pid unshare_pid deadline
    container_check_name "$name" || return 1
    dir=$(container_dir "$name")
    cgroup="$container_cgroup_root/$name"
    pid=$(cat "$dir/pid" 2>/dev/null || true)
    unshare_pid=$(cat "$dir/unshare" 2>/dev/null || true)
    # Poweroff first; SIGRTMIN+4 asks systemd for the same without systemctl; SIGKILL last.
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        container_run "$name" systemctl poweroff --no-block >/dev/null 2>&1 || true
        deadline=$((SECONDS + 5))
        while kill -0 "$pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.05; done
        if kill -0 "$pid" 2>/dev/null; then
            kill -s RTMIN+4 "$pid" 2>/dev/null || true
            deadline=$((SECONDS + 3))
            while kill -0 "$pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.05; done
        fi
    fi
    if [ -d "$cgroup" ]; then
        # Whatever is left of the container: its init and every process below it.
        echo 1 >"$cgroup/cgroup.kill" 2>/dev/null || true
        deadline=$((SECONDS + 5))
        while [ -s "$cgroup/cgroup.procs" ] && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.05; done
    fi
    if [ -n "$unshare_pid" ]; then
        kill -KILL "$unshare_pid" 2>/dev/null || true
        wait "$unshare_pid" 2>/dev/null || true
    fi
    # Child cgroups first: systemd made its own tree inside.
    if [ -d "$cgroup" ]; then
        find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null || true
    fi
    rm -rf "$dir"
    if [ -d "$cgroup" ]; then
        echo "container: cgroup $cgroup could not be removed" >&2
        return 1
    fi
}

# Runs as the new PID namespace's init (PID 1), still on this machine's root: joins the
# container's cgroup, then makes the cgroup namespace whose root that cgroup is.
container_init() {
    local name=$1
    shift
    echo 0 >"$container_cgroup_root/$name/cgroup.procs"
    exec unshare --cgroup -- bash "$container_self" _boot "$name" "$@"
}

# Builds the container's root in the private mount namespace and hands PID 1 to systemd.
container_boot() {
    set -euo pipefail
    local name=$1 root src dst option unit
    shift
    root="$(container_dir "$name")/root"
    local binds=() copies=() writable_usr=no
    while [ $# -gt 0 ]; do
        option=$1
        shift
        case $option in
        --bind) binds+=("$1"); shift ;;
        --copy) copies+=("$1"); shift ;;
        --writable-usr) writable_usr=yes ;;
        *) echo "container: unknown option $option" >&2; exit 2 ;;
        esac
    done

    mount -t tmpfs -o mode=0755,size=512m "tw-$name" "$root"
    mkdir -p "$root"/{usr,etc,dev,proc,sys,run,tmp,root,var/lib,var/log,var/tmp,old-root}
    chmod 1777 "$root/tmp" "$root/var/tmp"
    chmod 0700 "$root/root"
    local link
    for link in bin sbin lib lib32 lib64 libx32; do
        if [ -L "/$link" ]; then
            ln -s "$(readlink "/$link")" "$root/$link"
        fi
    done
    if [ "$writable_usr" = yes ]; then
        mkdir -p "$root/.usr/upper" "$root/.usr/work"
        mount -t overlay overlay -o "lowerdir=/usr,upperdir=$root/.usr/upper,workdir=$root/.usr/work" \
            "$root/usr"
    else
        mount --bind /usr "$root/usr"
        mount -o remount,bind,ro "$root/usr"
    fi

    cp -a /etc/. "$root/etc/"
    rm -rf "$root/etc/systemd/system"
    mkdir -p "$root/etc/systemd/system"
    for unit in "${container_masked_units[@]}"; do
        ln -s /dev/null "$root/etc/systemd/system/$unit"
    done
    systemd-id128 new >"$root/etc/machine-id"
    echo "$name" >"$root/etc/hostname"
    rm -f "$root/etc/fstab"
    touch "$root/etc/fstab"

    mount -t tmpfs -o mode=0755,size=4m,nosuid "tw-$name-dev" "$root/dev"
    local device
    for device in null zero full random urandom tty; do
        touch "$root/dev/$device"
        mount --bind "/dev/$device" "$root/dev/$device"
    done
    # systemd writes its status to the console: the container's console is a file.
    touch "$root/dev/console"
    mount --bind "$(container_dir "$name")/console" "$root/dev/console"
    mkdir "$root/dev/pts" "$root/dev/shm"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
    ln -s pts/ptmx "$root/dev/ptmx"
    mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
    ln -s /proc/self/fd "$root/dev/fd"
    ln -s /proc/self/fd/0 "$root/dev/stdin"
    ln -s /proc/self/fd/1 "$root/dev/stdout"
    ln -s /proc/self/fd/2 "$root/dev/stderr"

    mount -t proc -o nosuid,nodev,noexec proc "$root/proc"
    # What a write to /proc would change for the whole machine is read-only; only the network
    # settings, which belong to the container's own network namespace, stay writable.
    local path
    for path in sys sysrq-trigger irq bus fs; do
        if [ -e "$root/proc/$path" ]; then
            mount --bind "$root/proc/$path" "$root/proc/$path"
        fi
    done
    mount --bind "$root/proc/sys/net" "$root/proc/sys/net"
    for path in sys sysrq-trigger irq bus fs; do
        if [ -e "$root/proc/$path" ]; then
            mount -o remount,bind,ro "$root/proc/$path"
        fi
    done
    mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys"
    mount -t cgroup2 -o nosuid,nodev,noexec cgroup2 "$root/sys/fs/cgroup"
    mount -t tmpfs -o mode=0755,size=64m,nosuid,nodev "tw-$name-run" "$root/run"
    mount -t tmpfs -o mode=1777,size=256m,nosuid,nodev "tw-$name-tmp" "$root/tmp"

    local pair
    for pair in "${binds[@]}"; do
        src=${pair%%:*}
        dst=${pair#*:}
        [ "$dst" != "$pair" ] || dst=$src
        mkdir -p "$root$dst"
        mount --bind "$src" "$root$dst"
        mount -o remount,bind,ro "$root$dst"
    done
    for pair in "${copies[@]}"; do
        src=${pair%%:*}
        dst=${pair#*:}
        [ "$dst" != "$pair" ] || dst=$src
        mkdir -p "$root$dst"
        cp -a "$src/." "$root$dst/"
    done

    cd "$root"
    pivot_root . old-root
    cd /
    umount -l /old-root
    rmdir /old-root
    exec env -i "container=$name" /lib/systemd/systemd --unit=multi-user.target
}

container_main() {
    local command=${1:-}
    shift || true
    case $command in
    start) container_start "$@" ;;
    run) container_run "$@" ;;
    pid) container_pid "$@" ;;
    stop) container_stop "$@" ;;
    _init) container_init "$@" ;;
    _boot) container_boot "$@" ;;
    *)
        echo "usage: $0 start NAME [--bind SRC[:DST]] [--copy SRC[:DST]] [--writable-usr]" >&2
        echo "       $0 run NAME CMD [ARG]... | pid NAME | stop NAME" >&2
        return 2
        ;;
    esac
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    container_main "$@"
fi
