#!/usr/bin/env bash
# Runs the update server with Debian's nginx, entirely inside DIR: its
# configuration, pid file, logs and temporary files. Nothing outside DIR is
# written.
#
# Usage: run-nginx.sh start|run|stop DIR [options]
#   start   start nginx as a daemon and return once it accepts connections
#   run     run nginx in the foreground (until stopped, or for --lifetime)
#   stop    stop the nginx started in DIR and wait until it is gone
# Options (start and run):
#   --latest FILE        what /update.php answers (default: latest.txt beside this script)
#   --download-url URL   /download.php redirects there (302); without it,
#                        download.html beside this script is served
#   --listen ADDR:PORT   default 127.0.0.1:80
#   --lifetime SECONDS   stop by itself after this long (default: never)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
usage() {
    sed -n '6,16s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
[ $# -ge 2 ] || usage
action=$1 dir=$(realpath -m "$2")
shift 2
latest=$here/latest.txt download_url="" listen=127.0.0.1:80 lifetime=0
while [ $# -gt 0 ]; do
    case "$1" in
    --latest) latest=$(realpath -m "$2"); shift 2 ;;
    --download-url) download_url=$2; shift 2 ;;
    --listen) listen=$2; shift 2 ;;
    --lifetime) lifetime=$2; shift 2 ;;
    *) usage ;;
    esac
done
case "$lifetime" in '' | *[!0-9]*) echo "run-nginx: --lifetime takes whole seconds" >&2; exit 2 ;; esac
nginx=$(command -v nginx || echo /usr/sbin/nginx)

# The value goes into a double-quoted nginx string.
quoted() {
    case "$1" in *'"'* | *'\'* | *'$'* | *[[:cntrl:]]*)
        echo "run-nginx: unusable character in '$1'" >&2; exit 2 ;;
    esac
    printf '%s' "$1"
}

render() {
    mkdir -p "$dir/tmp"
    local temp_paths="" build user="" download
    build=$("$nginx" -V 2>&1)
    # Each module compiled in has a temporary directory of its own, which
    # nginx creates at start; all of them go under DIR.
    for module in client_body proxy fastcgi uwsgi scgi; do
        case "$build" in *"--without-http_${module}_module"*) continue ;; esac
        temp_paths+="    ${module}_temp_path \"$(quoted "$dir")/tmp/$module\";"$'\n'
    done
    # As root the workers would otherwise run as "nobody", who cannot
    # read files below root's home.
    [ "$(id -u)" -eq 0 ] && user="user root;"
    if [ -n "$download_url" ]; then
        download="            return 302 \"$(quoted "$download_url")\";"
    else
        download="            default_type text/html;"$'\n'"            alias \"$(quoted "$here/download.html")\";"
    fi
    local line
    while IFS= read -r line || [ -n "$line" ]; do
        line=${line//@DIR@/$(quoted "$dir")}
        line=${line//@LATEST@/$(quoted "$latest")}
        line=${line//@LISTEN@/$listen}
        line=${line//@USER@/$user}
        case "$line" in
        @TEMP_PATHS@) printf '%s' "$temp_paths" ;;
        @DOWNLOAD@) printf '%s\n' "$download" ;;
        *) printf '%s\n' "$line" ;;
        esac
    done <"$here/nginx.conf.in" >"$dir/nginx.conf"
    "$nginx" -q -t -p "$dir/" -e "$dir/error.log" -c "$dir/nginx.conf"
}

running_pid() {
    local pid
    pid=$(cat "$dir/nginx.pid" 2>/dev/null) || return 1
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}

accepting() {
    local host=${listen%:*} port=${listen##*:}
    (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null
}

stop() {
    local pid
    if [ -f "$dir/watchdog.pid" ]; then
        kill -- "-$(cat "$dir/watchdog.pid")" 2>/dev/null || true
        rm -f "$dir/watchdog.pid"
    fi
    pid=$(running_pid) || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null || true
}

case "$action" in
run)
    render
    if [ "$lifetime" -gt 0 ]; then
        exec timeout "$lifetime" "$nginx" -p "$dir/" -e "$dir/error.log" -c "$dir/nginx.conf" -g "daemon off;"
    fi
    exec "$nginx" -p "$dir/" -e "$dir/error.log" -c "$dir/nginx.conf" -g "daemon off;"
    ;;
start)
    if running_pid >/dev/null; then
        echo "run-nginx: already running in $dir" >&2
        exit 1
    fi
    render
    "$nginx" -p "$dir/" -e "$dir/error.log" -c "$dir/nginx.conf"
    for _ in $(seq 1 100); do
        accepting && break
        sleep 0.05
    done
    if ! accepting; then
        echo "run-nginx: nginx does not accept connections on $listen (see $dir/error.log)" >&2
        stop
        exit 1
    fi
    if [ "$lifetime" -gt 0 ]; then
        pid=$(running_pid)
        # Detached from our output, so that a caller reading it is not kept waiting.
        setsid bash -c "sleep $lifetime; [ \"\$(cat '$dir/nginx.pid' 2>/dev/null)\" = $pid ] && kill -TERM $pid" \
            </dev/null >/dev/null 2>&1 &
        echo $! >"$dir/watchdog.pid"
    fi
    ;;
stop)
    stop
    ;;
*)
    usage
    ;;
esac
