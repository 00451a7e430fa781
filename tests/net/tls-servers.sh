#!/usr/bin/env bash
# The FTP servers the Windows build's TLS tests talk to under Wine, which
# cannot start Linux programs themselves: ctest runs this before those tests
# and again after them.
#   tls-servers.sh start DIR   certificates, files and three vsftpd on loopback
#   tls-servers.sh stop DIR    stops them and removes DIR
# DIR then holds server.pem/.crt (IP:127.0.0.1) and other.pem/.crt (another
# key, same names), named.pem/.crt (DNS:LocalHost and DNS:*.localhost),
# files/ (what the servers serve) and one NAME.port per server: reuse (TLS
# required, and the control connection's session on every data connection,
# vsftpd's default), fresh (TLS required, any session), named (as fresh,
# with the named certificate) and plain (no TLS). A server that cannot start leaves no .port file; the test
# that needs it skips, saying so.
set -uo pipefail
what=${1:-}
dir=${2:-}
[ -n "$dir" ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }

stop() {
    local f
    for f in "$dir"/*.pid; do
        [ -e "$f" ] && kill "$(cat "$f")" 2>/dev/null
    done
    rm -rf "$dir"
}

free_port() { # below the range the kernel draws outgoing ports from
    local p
    for _ in $(seq 50); do
        p=$((20000 + RANDOM % 12000))
        (exec 3<>/dev/tcp/127.0.0.1/$p) 2>/dev/null || { echo "$p"; return 0; }
    done
    return 1
}

certificate() { # name, subject alternative names
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -keyout "$dir/$1.key" \
        -out "$dir/$1.crt" -subj /CN=127.0.0.1 -addext "subjectAltName=$2" >/dev/null 2>&1 &&
        cat "$dir/$1.key" "$dir/$1.crt" >"$dir/$1.pem" && chmod 644 "$dir/$1.pem"
}

server() { # name, TLS settings (empty: none)
    local name=$1 tls=$2 port attempt
    for attempt in 1 2 3; do
        port=$(free_port) || return 1
        mkdir -p "$dir/$name-empty"
        printf '%blisten=YES\nlisten_address=127.0.0.1\nlisten_port=%s\nanonymous_enable=YES\nlocal_enable=NO
write_enable=NO\nanon_root=%s\nno_anon_password=NO\nanon_world_readable_only=NO\nsecure_chroot_dir=%s
background=NO\nseccomp_sandbox=NO\nconnect_from_port_20=NO\nmax_per_ip=0\nmax_clients=0\nxferlog_enable=YES\nlog_ftp_protocol=YES\nvsftpd_log_file=%s\n' \
            "$tls" "$port" "$dir/files" "$dir/$name-empty" "$dir/$name.log" >"$dir/$name.conf"
        # Its own session, and none of ctest's pipes: ctest waits for those
        # to close before it ends this step.
        setsid /usr/sbin/vsftpd "$dir/$name.conf" </dev/null >>"$dir/$name.out" 2>&1 &
        echo $! >"$dir/$name.pid"
        for _ in $(seq 50); do
            if (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then
                echo "$port" >"$dir/$name.port"
                return 0
            fi
            kill -0 "$(cat "$dir/$name.pid")" 2>/dev/null || break
            sleep 0.1
        done
        kill "$(cat "$dir/$name.pid")" 2>/dev/null
        rm -f "$dir/$name.pid"
    done
    echo "$name: vsftpd did not come up" >&2
    return 1
}

case $what in
start)
    stop
    mkdir -p "$dir/files" && chmod 755 "$dir" "$dir/files"
    if [ ! -x /usr/sbin/vsftpd ] || [ "$(id -u)" -ne 0 ] || ! command -v openssl >/dev/null; then
        echo "no servers: vsftpd and openssl are needed, and root" >&2
        exit 0
    fi
    certificate server IP:127.0.0.1 && certificate other IP:127.0.0.1 &&
        certificate named DNS:LocalHost,DNS:*.localhost || { echo "openssl could not make the certificates" >&2; exit 1; }
    # Several MiB of every byte value, and an empty file.
    head -c $((3 * 1024 * 1024 + 17)) /dev/urandom >"$dir/files/big.bin"
    : >"$dir/files/empty.bin"
    chmod 644 "$dir"/files/*
    tls="ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\nforce_anon_data_ssl=YES
ssl_ciphers=HIGH\nrequire_ssl_reuse=NO\n"
    server reuse "${tls/require_ssl_reuse=NO/require_ssl_reuse=YES}rsa_cert_file=$dir/server.pem\nrsa_private_key_file=$dir/server.pem\n"
    server fresh "${tls}rsa_cert_file=$dir/server.pem\nrsa_private_key_file=$dir/server.pem\n"
    server named "${tls}rsa_cert_file=$dir/named.pem\nrsa_private_key_file=$dir/named.pem\n"
    server plain ""
    exit 0
    ;;
stop)
    stop
    ;;
*)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac
