#!/usr/bin/env bash
# The packages in build/packages/ (made by scripts/package.sh), checked as administrators meet
# them. Needs root: the installations happen in mount namespaces of their own, over a copy-on-
# write view of this machine's root that vanishes with them; nothing is started and the
# machine's own files are never written.
#   package_test.sh SCENARIO VERSION PACKAGES_DIR FAKE_SYSTEMCTL
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/lab/checks.sh
source "$here/../lab/checks.sh"
# shellcheck source=tests/lab/bounded.sh
source "$here/../lab/bounded.sh"

scenario=$1
version=$2
packages=$3
fake_systemctl=$4

deb=$packages/tarnwick-antiarp_${version}_amd64.deb
msi=$packages/TarnwickAntiARP-$version.msi
zip=$packages/TarnwickAntiARP-$version-win32.zip
unit=lib/systemd/system/tarnwick-antiarp.service
state=var/lib/tarnwick-antiarp
# lintian's informational tags that the README's "The packages" explains.
lintian_justified=package-supports-alternative-init-but-no-init.d-script

for package in "$deb" "$msi" "$zip"; do
    [ -f "$package" ] || fail "$package is missing: run scripts/package.sh first"
done
work=$(mktemp -d /tmp/tw-package-test.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Runs a script in a mount namespace of its own (private: no mount reaches the machine), with
# the capabilities a package installation never needs dropped.
in_private_mounts() {
    unshare --mount --propagation private "${LAB_BOUNDED[@]}" \
        bash -euo pipefail -c "$1" private-mounts "${@:2}"
}

case $scenario in
deb_lintian)
    # Clean at lintian's default, and with its informational tags but those the README justifies.
    lintian --fail-on error,warning "$deb" || fail "lintian reports errors or warnings"
    lintian -I --fail-on error,warning,info --suppress-tags "$lintian_justified" "$deb" ||
        fail "lintian reports errors, warnings or information"
    ;;

deb_contents)
    # Owner, mode and path of every entry; sizes and dates aside.
    listing=$(dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }')
    expect_equal "contents" "$listing" "$(
        cat <<'EOF'
drwxr-xr-x root/root ./
drwxr-xr-x root/root ./lib/
drwxr-xr-x root/root ./lib/systemd/
drwxr-xr-x root/root ./lib/systemd/system/
-rw-r--r-- root/root ./lib/systemd/system/tarnwick-antiarp.service
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/sbin/
-rwxr-xr-x root/root ./usr/sbin/antiarp
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/tarnwick-antiarp/
-rw-r--r-- root/root ./usr/share/doc/tarnwick-antiarp/README.md.gz
-rw-r--r-- root/root ./usr/share/doc/tarnwick-antiarp/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/tarnwick-antiarp/copyright
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man8/
-rw-r--r-- root/root ./usr/share/man/man8/antiarp.8.gz
EOF
    )"
    # The manual page names the version, and man renders it without a complaint.
    dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/man/man8/antiarp.8.gz | gunzip >"$work/antiarp.8"
    expect_equal "manual page's title" "$(sed -n 's/^\.TH ANTIARP 8 "[0-9-]*" "\([^"]*\)".*/\1/p' "$work/antiarp.8")" \
        "Tarnwick AntiARP $version"
    expect_equal "man's warnings" "$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$work/antiarp.8" 2>&1 >/dev/null)" ""
    expect_equal "Version" "$(dpkg-deb -f "$deb" Version)" "$version"
    expect_equal "Architecture" "$(dpkg-deb -f "$deb" Architecture)" amd64
    depends=$(dpkg-deb -f "$deb" Depends)
    [[ $depends =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || fail "Depends: '$depends', expected libc6 only"
    ;;

deb_unit_is_installs)
    # The packaged program's own /install at the packaged path, /usr/sbin/antiarp, writes its
    # unit into a unit directory of this namespace (a tmpfs), with a stand-in systemctl.
    dpkg-deb -x "$deb" "$work/package"
    mkdir -p "$work/bin" "$work/systemctl-state"
    ln -s "$fake_systemctl" "$work/bin/systemctl"
    in_private_mounts '
        mount -t tmpfs units /etc/systemd/system
        mount --bind "$1/package/usr/sbin" /usr/sbin
        PATH=$1/bin:$PATH TW_TEST_SYSTEMCTL_STATE=$1/systemctl-state \
            TW_TEST_UNIT_DIR=/etc/systemd/system /usr/sbin/antiarp /install >"$1/install.out"
        cp /etc/systemd/system/tarnwick-antiarp.service "$1/installed.service"
    ' "$work"
    expect_equal "/install" "$(cat "$work/install.out")" "Service Register successed."
    cmp "$work/installed.service" "$work/package/$unit" ||
        fail "the packaged unit differs from what /install writes"
    ;;

deb_install_remove_purge)
    # dpkg installs into an overlay of this machine's root whose upper layer is a tmpfs, with
    # an empty /run: no service manager is seen there, so the scripts enable but start nothing.
    in_private_mounts '
        w=$1
        mkdir -p "$w/layer" "$w/root"
        mount -t tmpfs layer "$w/layer"
        mkdir "$w/layer/upper" "$w/layer/work"
        mount -t overlay overlay -o "lowerdir=/,upperdir=$w/layer/upper,workdir=$w/layer/work" "$w/root"
        mount -t tmpfs run "$w/root/run"
        mount --bind /dev "$w/root/dev"
        # The package meets a machine that never had it: a state directory this machine may
        # hold goes from the view (a whiteout, a character device in the upper layer).
        rm -rf "$w/root/var/lib/tarnwick-antiarp"
        # Files (not folders, not whiteouts) written in the upper layer, less dpkg'"'"'s own
        # bookkeeping and the manual pages'"'"' index that man-db'"'"'s trigger updates.
        record() {
            (cd "$w/layer/upper" && find . -not -type d -not -type c -not -path "./var/lib/dpkg/*" \
                -not -path "./var/cache/man/*" | sort) >"$w/$1"
            if [ -e "$w/root/var/lib/tarnwick-antiarp" ]; then echo "./var/lib/tarnwick-antiarp/" >>"$w/$1"; fi
        }
        dpkg --root="$w/root" -i "$2" >/dev/null 2>&1
        record installed
        mkdir "$w/root/var/lib/tarnwick-antiarp"
        touch "$w/root/var/lib/tarnwick-antiarp/CRASHLOG.TXT"
        dpkg --root="$w/root" -r tarnwick-antiarp >/dev/null
        record removed
        dpkg --root="$w/root" -P tarnwick-antiarp >/dev/null
        record purged
    ' "$work" "$deb"
    wants=etc/systemd/system/multi-user.target.wants/tarnwick-antiarp.service
    enabled=var/lib/systemd/deb-systemd-helper-enabled
    # On a merged /usr, /lib is /usr/lib.
    expect_equal "after installing" "$(cat "$work/installed")" "$(
        printf './%s\n' "$wants" "$enabled/multi-user.target.wants/tarnwick-antiarp.service" \
            "$enabled/tarnwick-antiarp.service.dsh-also" "usr/$unit" usr/sbin/antiarp \
            usr/share/doc/tarnwick-antiarp/changelog.gz usr/share/doc/tarnwick-antiarp/copyright \
            usr/share/doc/tarnwick-antiarp/README.md.gz usr/share/man/man8/antiarp.8.gz |
            sort
    )"
    # Removed: the program is gone; the administrator's state and the unit's enablement stay.
    expect_equal "after removing" "$(cat "$work/removed")" "$(
        printf './%s\n' "$wants" "$enabled/multi-user.target.wants/tarnwick-antiarp.service" \
            "$enabled/tarnwick-antiarp.service.dsh-also" "$state/CRASHLOG.TXT" | sort
        echo "./$state/"
    )"
    expect_equal "after purging" "$(cat "$work/purged")" ""
    ;;

msi_tables)
    # A table's rows, without its three header lines and the exporter's CR LF line ends.
    table() { msiinfo export "$msi" "$1" | tail -n +4 | tr -d '\r'; }
    tab=$'\t'
    expect_equal "ServiceInstall" "$(table ServiceInstall)" \
        "AntiArpService${tab}Tarnwick AntiARP${tab}Tarnwick AntiARP${tab}16${tab}2${tab}0${tab}${tab}${tab}LocalSystem${tab}${tab}${tab}AntiArp${tab}Protect you against ARP attack in the local network, attackers can no longer sniff your traffic."
    # 163: started on install; stopped on install and on removal; deleted on removal; waited for.
    expect_equal "ServiceControl" "$(table ServiceControl)" \
        "AntiArpServiceControl${tab}Tarnwick AntiARP${tab}163${tab}${tab}1${tab}AntiArp"
    expect_equal "File" "$(table File | cut -f1-3)" "AntiArpExe${tab}AntiArp${tab}antiarp.exe"
    # The Event Log source, as /install registers it: the program as an expandable message
    # file ("#%"), errors, warnings and information (7).
    expect_equal "Registry" "$(table Registry | cut -f2- | sort)" "$(
        printf '%s\n' "2${tab}SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tarnwick AntiARP\\${tab}EventMessageFile${tab}#%[#AntiArpExe]${tab}AntiArp" \
            "2${tab}SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tarnwick AntiARP\\${tab}TypesSupported${tab}#7${tab}AntiArp"
    )"
    expect_equal "Directory" "$(table Directory | grep INSTALLDIR)" \
        "INSTALLDIR${tab}ProgramFilesFolder${tab}Tarnwick AntiARP"
    expect_equal "ProductVersion" "$(table Property | sed -n 's/^ProductVersion\t//p')" "$version"
    # The quoting and the restart after a crash: deferred (1024), as the local system (2048),
    # from a DLL in the package; the refusal of another program's service: immediate (1); the
    # steps that keep the service's Parameters through an upgrade, their failure ignored (64):
    # the reading immediate, the writing deferred as the local system.
    expect_equal "CustomAction" "$(table CustomAction | sort)" "$(
        printf '%s\n' "KeepServiceParameters${tab}65${tab}InstallActions${tab}KeepServiceParameters${tab}" \
            "QuoteServiceCommand${tab}3073${tab}InstallActions${tab}QuoteServiceCommand${tab}" \
            "QuoteServiceCommandData${tab}51${tab}QuoteServiceCommand${tab}[#AntiArpExe]${tab}" \
            "RefuseOtherProgramsService${tab}1${tab}InstallActions${tab}RefuseOtherProgramsService${tab}" \
            "RestoreServiceParameters${tab}3137${tab}InstallActions${tab}RestoreServiceParameters${tab}" \
            "SetServiceRecovery${tab}3073${tab}InstallActions${tab}SetServiceRecovery${tab}"
    )"
    # In order: another program's service refused before anything changes, the Parameters read
    # and the installed version removed, then the service made, quoted, given its restart and
    # its Parameters back, started.
    order=$(table InstallExecuteSequence | sort -t "$tab" -k3,3n | cut -f1 |
        grep -E '^(CostFinalize|RefuseOtherProgramsService|KeepServiceParameters|InstallValidate|RemoveExistingProducts|InstallServices|QuoteServiceCommand(Data)?|SetServiceRecovery|RestoreServiceParameters|StartServices)$')
    expect_equal "sequence" "$order" "$(
        printf '%s\n' CostFinalize RefuseOtherProgramsService KeepServiceParameters InstallValidate \
            RemoveExistingProducts InstallServices QuoteServiceCommandData QuoteServiceCommand \
            SetServiceRecovery RestoreServiceParameters StartServices
    )"
    # The crash files, under %ProgramData% or beside the program, and their folder go with it.
    expect_equal "RemoveFile" "$(table RemoveFile | cut -f3-5 | sort)" "$(
        printf '%s\n' "${tab}CRASHDIR${tab}2" \
            "CRASH.DMP${tab}CRASHDIR${tab}2" "CRASH.DMP${tab}INSTALLDIR${tab}2" \
            "CRASHLOG.DAT${tab}CRASHDIR${tab}2" "CRASHLOG.DAT${tab}INSTALLDIR${tab}2" \
            "CRASHLOG.TXT${tab}CRASHDIR${tab}2" "CRASHLOG.TXT${tab}INSTALLDIR${tab}2" | sort
    )"
    ;;

zip_contents)
    expect_equal "zip" "$(python3 -m zipfile -l "$zip" | awk 'NR > 1 { print $1 }' | sort)" \
        "$(printf "TarnwickAntiARP-$version/%s\n" "" LICENSE README.md antiarp.exe | sort)"
    ;;

*)
    fail "unknown scenario"
    ;;
esac
