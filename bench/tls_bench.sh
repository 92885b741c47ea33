#!/bin/sh
# Download speed over FTP with TLS on loopback: RETR of one 1 GiB file with
# the control and data connections encrypted (TLS 1.3, AES-256-GCM), the same
# client (curl --ssl-reqd) against zorvad and against a peer FTP server
# (vsftpd from Debian's packages, ssl_enable=YES), each on its own high port
# with its own temporary configuration and test certificate.  The servers
# take turns, run by run; prints MB/s (10^6 bytes per second) per run and the
# median of each, and leaves nothing behind.
#
#   bench/tls_bench.sh [ZORVAD_BINARY] [RUNS]      (RUNS: 3)
#
# Runs as root.  The kernel here offers no "tls" upper-layer protocol
# (/proc/sys/net/ipv4/tcp_available_ulp), so no kernel TLS: both servers
# encrypt in the process.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
zorvad=${1:-$top/build/server/zorvad}
runs=${2:-3}
size_mib=1024

[ -x "$zorvad" ] || { echo "no zorvad binary at $zorvad (build it first)" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is needed" >&2; exit 1; }
if ! command -v vsftpd >/dev/null && [ ! -x /usr/sbin/vsftpd ]; then
    echo "Installing vsftpd..."
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends vsftpd >/dev/null
fi
vsftpd_bin=$(command -v vsftpd || echo /usr/sbin/vsftpd)

# The scheduler places the processes unless TLS_BENCH_PIN=1 (servers on the
# second processor, the client on the first).  The client decrypts and is
# busy for the whole transfer: pinned on a loaded machine it measures its own
# share of the first processor, which is smaller the faster the server (a
# client that never waits for data loses the scheduler's preference for
# tasks that sleep), so pinned figures compare the servers badly there.
server_pin="" client_pin=""
if [ "${TLS_BENCH_PIN:-0}" != 0 ] && [ "$(nproc)" -ge 2 ] && command -v taskset >/dev/null; then
    server_pin="taskset -c 1" client_pin="taskset -c 0"
fi

work=$(mktemp -d /tmp/tls-bench.XXXXXX)
chmod 755 "$work"
zpid=""
vpid=""
cleanup() {
    [ -n "$zpid" ] && kill -TERM "$zpid" 2>/dev/null && wait "$zpid" 2>/dev/null || true
    [ -n "$vpid" ] && kill -TERM "$vpid" 2>/dev/null && wait "$vpid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

free_port() {
    python3 -c '
import random, socket
for _ in range(200):
    p = random.randint(20000, 32000)
    try:
        for q in (p, p - 1):
            socket.socket().bind(("127.0.0.1", q))
    except OSError:
        continue
    print(p)
    break'
}

wait_listening() {
    i=0
    while [ $i -lt 100 ]; do
        python3 -c "import socket; socket.create_connection(('127.0.0.1', $1), 1).close()" 2>/dev/null && return 0
        sleep 0.1
        i=$((i + 1))
    done
    echo "server on port $1 did not start" >&2
    return 1
}

# ---- The certificate and the file both servers send --------------------------------------
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
echo "Making a ${size_mib} MiB file..."
for tree in zroot vroot; do
    mkdir -p "$work/$tree"
    chmod 755 "$work/$tree"
done
head -c "${size_mib}M" /dev/urandom > "$work/zroot/big.bin"
chmod 644 "$work/zroot/big.bin"
ln "$work/zroot/big.bin" "$work/vroot/big.bin"

# ---- zorvad ----------------------------------------------------------------------------------
zport=$(free_port)
cat > "$work/general.cf" <<EOF
pid-file = $work/zorvad.pid.sh
log-misc = $work/misc.log
max-users = 4
idle-timeout = 600
tls = required-all
tls-certificate-file = $work/cert.pem
tls-key-file = $work/key.pem
EOF
cat > "$work/domain.cf" <<EOF
set-name = bench
ftp-home = $work/zroot
EOF
$server_pin "$zorvad" -Q -p "$zport" "$work/general.cf" "$work/domain.cf" >"$work/zorvad.out" 2>&1 &
zpid=$!
wait_listening "$zport"

# ---- vsftpd ---------------------------------------------------------------------------------
vport=$(free_port)
mkdir -p "$work/empty"
cat > "$work/vsftpd.conf" <<EOF
listen=YES
listen_address=127.0.0.1
listen_port=$vport
background=NO
anonymous_enable=YES
no_anon_password=YES
local_enable=NO
anon_root=$work/vroot
ftp_username=daemon
secure_chroot_dir=$work/empty
connect_from_port_20=NO
xferlog_enable=NO
seccomp_sandbox=NO
ssl_enable=YES
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
require_ssl_reuse=YES
ssl_ciphers=HIGH
rsa_cert_file=$work/cert.pem
rsa_private_key_file=$work/key.pem
EOF
$server_pin "$vsftpd_bin" "$work/vsftpd.conf" >"$work/vsftpd.out" 2>&1 &
vpid=$!
wait_listening "$vport"

# ---- Runs ------------------------------------------------------------------------------------
# One curl run: its speed in bytes per second; the protocol and cipher of the
# first run are shown, so that both servers are seen to use the same.
retr() {
    $client_pin curl -sS -k --ssl-reqd --disable-epsv --tls13-ciphers TLS_AES_256_GCM_SHA384 \
        -u anonymous:bench@example.com -o /dev/null -w "%{speed_download}" "ftp://127.0.0.1:$1/big.bin"
}
for server in zorvad:$zport vsftpd:$vport; do
    port=${server#*:}
    cipher=$($client_pin curl -v -sS -k --ssl-reqd --disable-epsv --tls13-ciphers TLS_AES_256_GCM_SHA384 \
        -u anonymous:bench@example.com -o /dev/null "ftp://127.0.0.1:$port/big.bin" 2>&1 |
        sed -n 's/^\* SSL connection using \(.*\)$/\1/p' | tail -1)
    echo "${server%%:*}: $cipher (unmeasured warm-up run)"
done

: > "$work/speeds"
i=0
while [ $i -lt "$runs" ]; do
    for server in zorvad:$zport vsftpd:$vport; do
        name=${server%%:*} port=${server#*:}
        speed=$(retr "$port")
        echo "$name $speed" >> "$work/speeds"
        awk -v n="$name" -v s="$speed" 'BEGIN { printf "  run %-8s %8.1f MB/s\n", n, s / 1e6 }'
    done
    i=$((i + 1))
done

echo "RETR of ${size_mib} MiB over TLS, loopback, median of $runs runs:"
for name in zorvad vsftpd; do
    awk -v n="$name" '$1 == n { print $2 }' "$work/speeds" | sort -g |
        awk -v n="$name" '{ v[NR] = $1 / 1e6 } END { printf "%-8s %8.1f MB/s\n", n, v[int((NR + 1) / 2)] }'
done
