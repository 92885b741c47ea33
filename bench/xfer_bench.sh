#!/bin/sh
# Single-stream transfer speed on loopback: RETR and STOR of one 1 GiB file,
# measured with the same client (curl) against zorvad and against a peer FTP
# server (vsftpd from Debian's packages), each on its own high port with its
# own temporary configuration.  Prints MiB/s per server and direction (best
# and median of several runs, the servers taking turns) and leaves nothing
# behind.  Loopback figures scatter widely from run to run (a few runs come
# out half again as fast), so compare the medians.
#
#   bench/xfer_bench.sh [ZORVAD_BINARY] [RUNS]
#
# XFER_BENCH_ONLY=retr or =stor measures one direction only; with
# XFER_BENCH_VERBOSE=1 every run is shown.  XFER_BENCH_TLS=1 makes both
# servers require TLS for logins and data (a certificate made for the run,
# TLS 1.3 with AES-256-GCM, data connections resuming the control session).
# Runs as root (both servers serve anonymous users from a private tree).
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
zorvad=${1:-$top/build/server/zorvad}
runs=${2:-15}
size_mib=1024

[ -x "$zorvad" ] || { echo "no zorvad binary at $zorvad (build it first)" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is needed" >&2; exit 1; }
if ! command -v vsftpd >/dev/null && [ ! -x /usr/sbin/vsftpd ]; then
    echo "Installing vsftpd..."
    # Never at the price of another FTP server of the machine (the packages
    # conflict): bench/run.py runs such peers unpacked instead.
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends \
        --no-remove vsftpd >/dev/null || { echo "vsftpd cannot be installed beside this machine's FTP server" >&2; exit 1; }
fi
vsftpd_bin=$(command -v vsftpd || echo /usr/sbin/vsftpd)

tls=${XFER_BENCH_TLS:-0}

# The servers run on the second processor and the client on the first, which
# takes the scheduler's placement out of the figures (XFER_BENCH_PIN=0 lets
# the scheduler place them).  Over TLS the scheduler places them unless
# XFER_BENCH_PIN=1: the client decrypts and is busy for the whole transfer, and
# pinned on a loaded machine it measures its own share of the first processor,
# which is smaller the faster the server (a client that never waits for data
# loses the scheduler's preference for tasks that sleep).
server_pin="" client_pin=""
[ "$tls" = 1 ] && pin_default=0 || pin_default=1
if [ "${XFER_BENCH_PIN:-$pin_default}" != 0 ] && [ "$(nproc)" -ge 2 ] && command -v taskset >/dev/null; then
    server_pin="taskset -c 1" client_pin="taskset -c 0"
fi

work=$(mktemp -d /tmp/xfer-bench.XXXXXX)
chmod 755 "$work"
zpid=""
vpid=""
cleanup() {
    [ -n "$zpid" ] && kill -TERM "$zpid" 2>/dev/null && wait "$zpid" 2>/dev/null || true
    [ -n "$vpid" ] && kill -TERM "$vpid" 2>/dev/null && wait "$vpid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# A free loopback port (and its neighbour below, zorvad's active data port).
free_port() {
    python3 - <<'EOF'
import random, socket
for _ in range(200):
    p = random.randint(20000, 32000)
    ok = True
    for q in (p, p - 1):
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", q))
            except OSError:
                ok = False
    if ok:
        print(p)
        break
EOF
}

wait_listening() {
    i=0
    while [ $i -lt 100 ]; do
        python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $1), 1).close()" 2>/dev/null && return 0
        sleep 0.1
        i=$((i + 1))
    done
    echo "server on port $1 did not start" >&2
    return 1
}

# ---- The file both servers send ---------------------------------------------------------
echo "Making a ${size_mib} MiB file..."
for tree in zroot vroot; do
    mkdir -p "$work/$tree/incoming"
    chmod 755 "$work/$tree"
    chmod 777 "$work/$tree/incoming"
done
head -c "${size_mib}M" /dev/urandom > "$work/zroot/big.bin"
chmod 644 "$work/zroot/big.bin"
ln "$work/zroot/big.bin" "$work/vroot/big.bin"
cp "$work/zroot/big.bin" "$work/upload.bin"
curl_tls=""
zorvad_tls="" vsftpd_tls=""
if [ "$tls" = 1 ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
        -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
    curl_tls="-k --ssl-reqd --tls13-ciphers TLS_AES_256_GCM_SHA384"
    zorvad_tls="tls = required-all
tls-certificate-file = $work/cert.pem
tls-key-file = $work/key.pem"
    vsftpd_tls="ssl_enable=YES
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
require_ssl_reuse=YES
ssl_ciphers=HIGH
rsa_cert_file=$work/cert.pem
rsa_private_key_file=$work/key.pem"
fi

# ---- zorvad ----------------------------------------------------------------------------------
zport=$(free_port)
cat > "$work/general.cf" <<EOF
pid-file = $work/zorvad.pid.sh
log-misc = $work/misc.log
max-users = 4
idle-timeout = 600
$zorvad_tls
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
write_enable=YES
anon_upload_enable=YES
anon_umask=022
anon_root=$work/vroot
ftp_username=daemon
secure_chroot_dir=$work/empty
connect_from_port_20=NO
xferlog_enable=NO
seccomp_sandbox=NO
$vsftpd_tls
EOF
$server_pin "$vsftpd_bin" "$work/vsftpd.conf" >"$work/vsftpd.out" 2>&1 &
vpid=$!
wait_listening "$vport"

# ---- Runs ------------------------------------------------------------------------------------
# Prints the speed in bytes per second of one curl run.
retr_speed() {
    $client_pin curl -sS $curl_tls --disable-epsv -u anonymous:bench@example.com -o /dev/null -w '%{speed_download}' \
        "ftp://127.0.0.1:$1/big.bin"
}
stor_speed() {
    speed=$($client_pin curl -sS $curl_tls --disable-epsv -u anonymous:bench@example.com -T "$work/upload.bin" -w '%{speed_upload}' \
        "ftp://127.0.0.1:$1/incoming/up$2.bin")
    rm -f "$work/zroot/incoming/up$2.bin" "$work/vroot/incoming/up$2.bin"
    echo "$speed"
}

best() {
    # best and median of the speeds on standard input, in MiB/s
    sort -g | awk '{ v[NR] = $1 / 1048576 }
        END { if (NR == 0) printf "      -"; else printf "%7.1f (median %7.1f)", v[NR], v[int((NR + 1) / 2)] }'
}

# One unmeasured run of each first, so that neither pays for a cold start.
for port in $zport $vport; do
    retr_speed "$port" > /dev/null
    stor_speed "$port" warm > /dev/null
done

# The two servers take turns, run by run, so that a busy moment of the
# machine does not fall on one of them only.
: > "$work/speeds"
i=0
while [ $i -lt "$runs" ]; do
    for server in zorvad:$zport vsftpd:$vport; do
        name=${server%%:*} port=${server#*:}
        [ "${XFER_BENCH_ONLY:-retr}" = stor ] || echo "$name retr $(retr_speed "$port")" >> "$work/speeds"
        [ "${XFER_BENCH_ONLY:-stor}" = retr ] || echo "$name stor $(stor_speed "$port" "$i")" >> "$work/speeds"
    done
    i=$((i + 1))
done

[ -n "${XFER_BENCH_VERBOSE:-}" ] && awk '{ printf "%-8s %s %8.1f MiB/s\n", $1, $2, $3 / 1048576 }' "$work/speeds"
[ "$tls" = 1 ] && echo "Over TLS: $($client_pin curl -v -sS $curl_tls --disable-epsv -u anonymous:bench@example.com \
    -o /dev/null "ftp://127.0.0.1:$zport/big.bin" 2>&1 | sed -n 's/^\* SSL connection using //p' | tail -1)"
echo "Single stream, ${size_mib} MiB, loopback, best of $runs runs (and the median):"
for name in zorvad vsftpd; do
    r=$(awk -v n="$name" '$1 == n && $2 == "retr" { print $3 }' "$work/speeds" | best)
    s=$(awk -v n="$name" '$1 == n && $2 == "stor" { print $3 }' "$work/speeds" | best)
    printf '%-8s RETR %s MiB/s   STOR %s MiB/s\n' "$name" "$r" "$s"
done
