#!/bin/sh
# Sets up the host for anonymous FTP as Debian's FTP servers do: a system
# account "ftp" (group ftp, home /srv/ftp, no login shell) created only when
# the host has no account of that name, the anonymous area /srv/ftp owned by
# root with the ftp account's group, and the log directory readable by root
# alone.  The directories get their owner and mode only when this script
# makes them: an administrator's choice stays.  Safe to run again.
#   dist/ftp-account.sh [FTPHOME [LOGDIR]]
set -eu
home=${1:-/srv/ftp}
logdir=${2:-/var/log/zorvad}
if ! getent passwd ftp >/dev/null; then
    getent group ftp >/dev/null || addgroup --system --quiet ftp
    adduser --system --quiet --home "$home" --no-create-home --shell /usr/sbin/nologin \
        --ingroup ftp --disabled-password --gecos "FTP user" ftp
fi
if [ ! -d "$home" ]; then
    mkdir -p "$home"
    chown "root:$(id -gn ftp)" "$home"
    chmod 0755 "$home"
fi
if [ ! -d "$logdir" ]; then
    mkdir -p "$logdir"
    chown root:root "$logdir"
    chmod 0750 "$logdir"
fi
