#!/bin/bash
# The launcher against curl's own command-line tool, built from the same curl
# source and options, under one Wine prefix, against one loopback nginx:
#
#   ./bench/run.sh
#
# Installs and builds what it needs first (scripts/bootstrap.sh --bench, then
# scripts/build.sh). Rows, each timed with hyperfine, the two commands
# interleaved (one run of each per round):
#   uptodate  up-to-date start (51-line manifest, every file present)
#             against one fetch of the manifest, HTTPS
#   update    full update, 50 files of 1 MiB and the client jar over HTTPS,
#             against one curl process fetching the same 52 URLs
#   latency   full update, 50 files of 256 KiB and the client jar over HTTPS
#             through bench/relay.py, which delays each direction by 20 ms,
#             against curl fetching the same 52 URLs one after the other, and
#             then with --parallel --parallel-max 4 (three runs per round)
#   big-http  one 512 MiB file over HTTP (the manifest and the client jar too,
#             on both sides)
#   big-https the same over HTTPS
#   idle      the full update with 100 extra idle processes running
# Every row runs twice: pinned (wineserver and the measured commands on CPU 0)
# and unpinned. nginx and the relay always run on CPU 1. Peak memory is GNU
# time's maximum resident set of the measured Wine process.
#
# A measured launcher run is a whole run: a plain link, the manifest, the
# files, and the client started with a registered Java runtime whose javaw.exe
# (the tests' stand-in) notes its start and exits at once. After each row,
# every launcher run must have exited with 1 (client started) and every curl
# run with 0, the server must have logged exactly the launcher's expected
# requests, each answered 200, and the client must have started once per
# round; the benchmark stops otherwise.
#
# Environment: KOVREL_BENCH_EXE (launcher to measure, default build/kovrel.exe),
# KOVREL_BENCH_ROUNDS (rounds of the small rows, default 10),
# KOVREL_BENCH_BIG_ROUNDS (rounds of the 512 MiB rows, default 3),
# KOVREL_BENCH_ROWS (a subset, e.g. "update idle"), KOVREL_BENCH_MODES
# ("pinned unpinned"). Results: build/bench/results/, the table in
# build/bench/results.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh" --bench
"$root/scripts/build.sh"
. "$root/scripts/versions.env"
deps=${KOVREL_DEPS:-$HOME/.cache/kovrel-deps}
curl_exe=$deps/curl-tool-$CURL_VERSION-i686-w64-mingw32/curl.exe
exe=$(realpath "${KOVREL_BENCH_EXE:-$root/build/kovrel.exe}")
rounds=${KOVREL_BENCH_ROUNDS:-10}
big_rounds=${KOVREL_BENCH_BIG_ROUNDS:-3}
rows=${KOVREL_BENCH_ROWS:-uptodate update latency big-http big-https idle}
modes=${KOVREL_BENCH_MODES:-pinned unpinned}

dir=$root/build/bench
www=$dir/www
results=$dir/results
rm -rf "$results" && mkdir -p "$results" "$dir/nginx"
log() { echo "bench: $*"; }

# --- the Wine prefix of the benchmark ----------------------------------------------
export KOVREL_WINEPREFIX=$dir/wineprefix
. "$root/scripts/wine-env.sh"
temp=$WINEPREFIX/drive_c/users/$(id -un)/Temp
work=$temp/KovrelDocs/librun
bench_c=$WINEPREFIX/drive_c/bench
mkdir -p "$bench_c" "$temp"
cp "$exe" "$bench_c/kovrel.exe"
cp "$curl_exe" "$bench_c/curl.exe"
cp "$root/build/tests/standin_java.exe" "$bench_c/idle.exe"
cp "$root/build/tests/start_detached.exe" "$bench_c/start_detached.exe"
# The Java runtime the launcher starts the client with: the stand-in, which
# notes each start in C:\bench\client.txt as it ends.
mkdir -p "$WINEPREFIX/drive_c/benchjre/bin"
cp "$root/build/tests/standin_java.exe" "$WINEPREFIX/drive_c/benchjre/bin/javaw.exe"
export KOVREL_STANDIN_DONE='C:\bench\client.txt'
client_done=$bench_c/client.txt
jre='HKLM\SOFTWARE\JavaSoft\Java Runtime Environment'
(cd / && wine reg add "$jre" /v CurrentVersion /d 1.8 /f /reg:32 &&
    wine reg add "$jre\\1.8" /v JavaHome /d 'C:\benchjre' /f /reg:32) >/dev/null 2>&1
# Windows' proxy settings: a direct connection, as Internet Options stores it.
# curl's tool reads no proxy settings; with automatic detection (Windows'
# default where nothing is stored) each launcher run would also load WinHTTP
# and make its WPAD lookups.
connections='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'
(cd / && wine reg add "$connections" /v DefaultConnectionSettings /t REG_BINARY /f \
    /d 460000000100000001000000000000000000000000000000$(printf '%064d' 0)) >/dev/null 2>&1

# --- files served ---------------------------------------------------------------------
# Each manifest ends with the client jar, which a run needs to start the client.
make_files() {
    fifty_files "$www/files/XNL/applets" 1M
    fifty_files "$www/latency/XNL/applets" 256K
    local applets=$www/big/XNL/applets
    if [ ! -f "$applets/Marvique.jar" ]; then
        mkdir -p "$applets"
        head -c 512M /dev/urandom > "$applets/big.bin"
        echo "md5:1 big.bin" > "$applets/fcompare.ini.tmp"
        client_jar "$applets"
    fi
    chmod -R a+rX "$www"
}
fifty_files() { # applets folder, size of each file (head -c)
    [ ! -f "$1/Marvique.jar" ] || return 0
    mkdir -p "$1"
    : > "$1/fcompare.ini.tmp"
    local i
    for i in $(seq -w 1 50); do
        head -c "$2" /dev/urandom > "$1/file$i.jar"
        echo "md5:$i file$i.jar" >> "$1/fcompare.ini.tmp"
    done
    client_jar "$1"
}
client_jar() { # applets folder, its manifest so far in fcompare.ini.tmp
    head -c 4K /dev/urandom > "$1/Marvique.jar"
    echo "md5:1 Marvique.jar" >> "$1/fcompare.ini.tmp"
    mv "$1/fcompare.ini.tmp" "$1/fcompare.ini"
}
log "generating the applets folders in $www"
make_files

# --- nginx on loopback, HTTP and HTTPS, on CPU 1 -----------------------------------------
free_ports() {
    python3 -c 'import socket
s = [socket.socket() for _ in range(6)]
for x in s: x.bind(("127.0.0.1", 0))
print(" ".join(str(x.getsockname()[1]) for x in s))'
}
read -r p_files p_files_tls p_big p_big_tls p_latency_tls p_relay < <(free_ports)
ng=$dir/nginx
[ -f "$ng/cert.pem" ] || openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj /CN=kovrel-bench.invalid \
    -keyout "$ng/key.pem" -out "$ng/cert.pem" >/dev/null 2>&1
cat > "$ng/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $ng/nginx.pid;
error_log $ng/error.log;
events { worker_connections 512; }
http {
    log_format bench '\$http_user_agent|\$status \$request_uri';
    access_log $ng/access.log bench;
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    client_body_temp_path $ng/tmp;
    fastcgi_temp_path $ng/tmp;
    uwsgi_temp_path $ng/tmp;
    scgi_temp_path $ng/tmp;
    proxy_temp_path $ng/tmp;
    ssl_certificate $ng/cert.pem;
    ssl_certificate_key $ng/key.pem;
    server { listen 127.0.0.1:$p_files; root $www/files; }
    server { listen 127.0.0.1:$p_files_tls ssl; root $www/files; }
    server { listen 127.0.0.1:$p_big; root $www/big; }
    server { listen 127.0.0.1:$p_big_tls ssl; root $www/big; }
    server { listen 127.0.0.1:$p_latency_tls ssl; root $www/latency; }
}
EOF
mkdir -p "$ng/tmp"
taskset -c 1 nginx -c "$ng/nginx.conf" -p "$ng" &
nginx_pid=$!
# The distant server: nginx behind the relay, 20 ms each way. It ends by
# itself when this script has gone, and at once when the script ends well.
taskset -c 1 python3 "$root/bench/relay.py" "$p_relay" "$p_latency_tls" 20 $$ > "$dir/relay.out" 2>&1 &
relay_pid=$!
cleanup() {
    kill "$nginx_pid" "$relay_pid" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 50); do
    curl -sfk -o /dev/null "https://127.0.0.1:$p_files_tls/XNL/applets/fcompare.ini" && break
    sleep 0.1
done
curl -sf -o /dev/null "http://127.0.0.1:$p_big/XNL/applets/fcompare.ini" || { log "nginx does not serve"; exit 1; }
for _ in $(seq 100); do grep -q ready "$dir/relay.out" && break; sleep 0.1; done
curl -sfk -o /dev/null "https://127.0.0.1:$p_relay/XNL/applets/fcompare.ini" ||
    { log "the relay does not serve"; cat "$dir/relay.out"; exit 1; }

# --- commands -----------------------------------------------------------------------------
# One link per server: the launcher takes its base URL from the link.
link() { echo "kovrel://$1/app/servlet/Launch?bench?user"; }
# A curl config file fetching the manifest and every file listed in it, as the
# launcher's update does.
curl_config() { # name base applets-folder
    local config=$bench_c/$1.txt line
    {
        echo "silent"
        echo "show-error"
        echo "insecure"
        echo "create-dirs"
        echo "url = \"$2/XNL/applets/fcompare.ini\""
        echo "output = \"C:/bench/out/fcompare.ini\""
        while read -r line; do
            line=${line#* }
            echo "url = \"$2/XNL/applets/$line\""
            echo "output = \"C:/bench/out/$line\""
        done < "$3/XNL/applets/fcompare.ini"
    } > "$config"
}
curl_config update "https://127.0.0.1:$p_files_tls" "$www/files"
curl_config big-http "http://127.0.0.1:$p_big" "$www/big"
curl_config big-https "https://127.0.0.1:$p_big_tls" "$www/big"
curl_config latency "https://127.0.0.1:$p_relay" "$www/latency"
cat > "$dir/empty-work.sh" <<EOF
rm -rf '$work' '$temp/Kovrel.log'
EOF
cat > "$dir/keep-work.sh" <<EOF
rm -f '$temp/Kovrel.log'
EOF
# Before curl's run: the client that the launcher started has ended, with the
# processes Wine brought for it (cmd.exe, a console, a desktop), or 10 s
# passed; its start is counted in the file given. Pinned, those processes
# would otherwise share CPU 0 with curl's measured run.
cat > "$dir/client-ended.sh" <<EOF
for _ in \$(seq 100); do [ -f '$client_done' ] && break; sleep 0.1; done
for _ in \$(seq 100); do pgrep -f '(cmd|conhost|explorer|javaw)\.exe' >/dev/null || break; sleep 0.02; done
cat '$client_done' >> "\$1" 2>/dev/null || true
rm -f '$client_done'
rm -rf '$bench_c/out'
EOF
cat > "$dir/empty-out.sh" <<EOF
rm -rf '$bench_c/out'
EOF

# row -> launcher link, its preparation, curl's arguments, the arguments of a
# second curl run where the row has one, the folder served
declare -A row_link row_prepare row_curl row_curl_parallel row_www
row_link[uptodate]=$(link "https://127.0.0.1:$p_files_tls")
row_prepare[uptodate]=$dir/keep-work.sh
row_curl[uptodate]="-s -S -k --create-dirs -o C:/bench/out/fcompare.ini https://127.0.0.1:$p_files_tls/XNL/applets/fcompare.ini"
for r in update latency big-http big-https; do
    row_prepare[$r]=$dir/empty-work.sh
    row_curl[$r]="-K C:/bench/$r.txt"
done
row_link[update]=${row_link[uptodate]}
row_link[latency]=$(link "https://127.0.0.1:$p_relay")
row_curl_parallel[latency]="-K C:/bench/latency.txt --parallel --parallel-max 4"
row_www[latency]=$www/latency
row_link[big-http]=$(link "http://127.0.0.1:$p_big")
row_link[big-https]=$(link "https://127.0.0.1:$p_big_tls")
row_link[idle]=${row_link[update]}
row_prepare[idle]=$dir/empty-work.sh
row_curl[idle]=${row_curl[update]}
for r in uptodate update idle; do row_www[$r]=$www/files; done
for r in big-http big-https; do row_www[$r]=$www/big; done

# Times one row: rounds of one launcher run and one curl run (two in the
# latency row), each under GNU time for its peak memory.
measure() { # mode row rounds pin
    local mode=$1 row=$2 n=$3 pin=$4 i
    local out=$results/$mode-$row
    local parallel=()
    [ -z "${row_curl_parallel[$row]:-}" ] || parallel=(--prepare "bash $dir/empty-out.sh" -n curl-parallel
        "$pin /usr/bin/time -f %M -a -o $out-curl-parallel.mem wine $bench_c/curl.exe ${row_curl_parallel[$row]}")
    log "$mode $row: $n rounds"
    : > "$ng/access.log"
    # hyperfine -N splits the commands itself, where a backslash escapes: the
    # programs go by their Unix paths. Exit codes are checked below (the
    # launcher's is 1 when it started the client).
    for i in $(seq "$n"); do
        hyperfine -N -i --style none --runs 1 --export-json "$out-$i.json" \
            --prepare "bash ${row_prepare[$row]}" --prepare "bash $dir/client-ended.sh $out-clients.txt" \
            -n launcher "$pin /usr/bin/time -f %M -a -o $out-launcher.mem wine $bench_c/kovrel.exe ${row_link[$row]}" \
            -n curl "$pin /usr/bin/time -f %M -a -o $out-curl.mem wine $bench_c/curl.exe ${row_curl[$row]}" \
            "${parallel[@]}" \
            >> "$results/hyperfine.log" 2>&1 ||
            { log "$mode $row: hyperfine failed"; tail -20 "$results/hyperfine.log"; exit 1; }
    done
    # Whole runs only (see the top).
    python3 "$root/bench/report.py" check "$results" "$mode" "$row" "$ng/access.log" "$out-clients.txt" \
        $(expected_paths "$row") ||
        { log "$mode $row: not a measure of whole runs; the launcher's last log:"; tail -20 "$temp/Kovrel.log"; exit 1; }
}

# What one launcher run of a row asks the server for.
expected_paths() { # row
    echo /XNL/applets/fcompare.ini
    if [ "$1" != uptodate ]; then
        sed 's|^[^ ]* |/XNL/applets/|' "${row_www[$1]}/XNL/applets/fcompare.ini"
    fi
}

start_server() { # pin
    wineserver -k 2>/dev/null || true
    wineserver -w
    $1 wineserver -p </dev/null >/dev/null 2>&1
    $1 wine wineboot </dev/null >/dev/null 2>&1
}

# 100 idle processes of the launcher's account, as a desktop runs.
start_idle() { # pin
    printf '@echo off\r\nfor /l %%%%i in (1,1,100) do C:\\bench\\start_detached.exe C:\\bench\\idle.exe "idle.exe %%%%i"\r\n' \
        > "$bench_c/idle.bat"
    env -u KOVREL_STANDIN_DONE KOVREL_STANDIN_SECONDS=3600 $1 wine cmd /c 'C:\bench\idle.bat' \
        > "$results/idle-pids.txt" 2>&1 </dev/null
    local started
    started=$(grep -c '^[0-9]' "$results/idle-pids.txt" || true)
    [ "$started" = 100 ] || { log "only $started idle processes started"; exit 1; }
}

uptime > "$results/load-start.txt"
for mode in $modes; do
    pin=
    [ "$mode" = pinned ] && pin="taskset -c 0"
    start_server "$pin"
    for row in $rows; do
        case $row in
        uptodate)
            # The files in place, whatever row ran before.
            bash "$dir/empty-work.sh"
            $pin wine 'C:\bench\kovrel.exe' "${row_link[uptodate]}" >/dev/null 2>&1 || true
            bash "$dir/client-ended.sh" /dev/null
            measure "$mode" "$row" "$rounds" "$pin"
            ;;
        big-*) measure "$mode" "$row" "$big_rounds" "$pin" ;;
        idle) start_idle "$pin"; measure "$mode" "$row" "$rounds" "$pin" ;;
        *) measure "$mode" "$row" "$rounds" "$pin" ;;
        esac
    done
done
uptime > "$results/load-end.txt"

python3 "$root/bench/report.py" "$results" "$exe" "$curl_exe" | tee "$dir/results.md"
