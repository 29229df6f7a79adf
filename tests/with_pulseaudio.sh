#!/usr/bin/env bash
# Runs a test program against a private PulseAudio server with three null sinks, in server order:
#   qb18     "Lumadeck QB18 Speakerphone"
#   builtin  "Built-in Audio"
#   arden    "Lumadeck ARDEN 320 Speakerphone"
# The server, its clients and the test get a fresh home and runtime directory, and PULSE_SERVER
# names the private socket, so a user's own sound server is never touched.
#   with_pulseaudio.sh PROGRAM [ARGS...]
# Exits with the program's status; 77 (skipped) when PulseAudio is not installed.
set -u

if ! command -v pulseaudio >/dev/null || ! command -v pactl >/dev/null; then
    echo "pulseaudio or pactl not installed"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/deckctl-pa.XXXXXX") || exit 1
server_pid=""
cleanup() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -TERM "$server_pid" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    cat "$work/server.log" >&2
    exit 1
}

mkdir -p "$work/home" "$work/state"
mkdir -m 700 -p "$work/run"
printf 'autospawn = no\n' >"$work/client.conf"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/run"
export PULSE_RUNTIME_PATH="$work/run/pulse" PULSE_STATE_PATH="$work/state"
export PULSE_CLIENTCONFIG="$work/client.conf" PULSE_SERVER="unix:$work/run/pulse/native"
# No session bus and no display: the server would otherwise announce itself on the user's bus.
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus"
unset DISPLAY WAYLAND_DISPLAY

# As root PulseAudio only warns ("not intended to be run as root") and runs as a normal per-user
# server when --system is not given. Real-time scheduling is not requested, so no policy service
# is asked. Module arguments: the outer single quotes hold the property list for the module
# argument parser, the inner double quotes the blanks of the description for the property parser.
pulseaudio --daemonize=no --system=no --exit-idle-time=-1 --disable-shm=yes -n \
    --use-pid-file=no --realtime=no --high-priority=no --log-target=stderr \
    -L "module-native-protocol-unix" \
    -L "module-null-sink sink_name=qb18 sink_properties='device.description=\"Lumadeck QB18 Speakerphone\"'" \
    -L "module-null-sink sink_name=builtin sink_properties='device.description=\"Built-in Audio\"'" \
    -L "module-null-sink sink_name=arden sink_properties='device.description=\"Lumadeck ARDEN 320 Speakerphone\"'" \
    </dev/null >"$work/server.log" 2>&1 &
server_pid=$!

# Modules given on the command line are loaded before the server answers its first client.
ready=no
for _ in $(seq 100); do
    kill -0 "$server_pid" 2>/dev/null || fail "pulseaudio exited during start-up"
    if pactl info >/dev/null 2>&1; then
        ready=yes
        break
    fi
    sleep 0.1
done
[ "$ready" = yes ] || fail "pulseaudio did not answer within 10 s"
[ "$(pactl list short sinks | wc -l)" -eq 3 ] || fail "pulseaudio does not have the three test sinks"

"$@"
status=$?
if [ "$status" -ne 0 ]; then
    echo "== pulseaudio log" >&2
    cat "$work/server.log" >&2
fi
exit "$status"
