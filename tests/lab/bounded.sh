# The capability bounding set of every command the tests run in namespaces of their own
# (unshare, nsenter): without the capabilities that reach beyond namespaces (clock, kernel
# modules, raw I/O, wake alarms, suspend, MAC policy, kernel log), which a root process would
# keep otherwise. Put before the command: "${LAB_BOUNDED[@]}" unshare ...

# shellcheck disable=SC2034 # used by the scripts that source this file
LAB_BOUNDED=(setpriv
    --bounding-set=-sys_time,-sys_module,-sys_rawio,-wake_alarm,-block_suspend,-mac_admin,-mac_override,-syslog)
