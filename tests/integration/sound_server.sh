#!/bin/sh
# A private sound server for tests and benchmarks: PulseAudio, or PipeWire
# with WirePlumber and pipewire-pulse, living in a directory of its own and
# answering PulseAudio clients (libpulsedsp among them) there.  Its one sink,
# "out", is a pipe that a reader copies to a file at a sound card's pace:
# 48 kHz, 2 channels, signed 16-bit little-endian, every sample kept.
#
#   sound_server.sh start [-o OUT] [-w PID] pulse|pipewire DIR
#     Starts the server with DIR (an empty directory; its path at most 80
#     characters, without spaces) as its runtime and home directory, and
#     prints the one setting its clients need:
#       PULSE_SERVER=unix:DIR/pulse/native
#     -o OUT: the recording (default DIR/out.raw; /dev/null keeps none).
#     -w PID: stops the server by itself once process PID has ended, in case
#     the caller dies before it calls stop.
#     When the server does not come up, says why, stops what it started and
#     exits 1.
#   sound_server.sh stop DIR
#     Stops what start started in DIR, by the process ids it noted there.
#     When it returns the recording is complete.
set -eu

sink_format="format=s16le rate=48000 channels=2"
# Unix socket paths hold 108 bytes; DIR/pulse/native and DIR/pipewire-0
# must fit with room to spare.
max_dir=80
# Tenths of a second to wait for a server to come up, and for a process to
# end after SIGTERM before it gets SIGKILL.
start_wait=100
stop_wait=30

usage() {
  echo "usage: sound_server.sh start [-o OUT] [-w PID] pulse|pipewire DIR" >&2
  echo "       sound_server.sh stop DIR" >&2
  exit 2
}

# Whether process $1 is running (not a zombie) and, when $2 is given, is
# still that program: a noted pid is never signalled once it is reused.
running() {
  [ -r "/proc/$1/stat" ] || return 1
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null) || return 1
  case $state in Z* | X*) return 1 ;; esac
  [ -z "${2:-}" ] || [ "$(cat "/proc/$1/comm" 2>/dev/null)" = "$2" ]
}

# Notes a process to stop: ROLE PID NAME, ROLE being "server", "watch" or
# "reader" (stopped last, once the servers are gone).
note() {
  echo "$1 $2 $3" >>"$dir/sound_server.pids"
}

# Waits until no noted process of role $1 runs, or for $2 tenths of a
# second; returns 1 when some still runs.
await_end() {
  tries=$2
  while :; do
    left=0
    while read -r n_role n_pid n_name; do
      [ "$n_role" = "$1" ] && [ "$n_pid" != $$ ] && running "$n_pid" "$n_name" && left=1
    done <"$dir/sound_server.pids"
    [ $left -eq 0 ] && return 0
    [ "$tries" -le 0 ] && return 1
    tries=$((tries - 1))
    sleep 0.1
  done
}

signal_role() {
  while read -r n_role n_pid n_name; do
    if [ "$n_role" = "$1" ] && [ "$n_pid" != $$ ] && running "$n_pid" "$n_name"; then
      kill "-$2" "$n_pid" 2>/dev/null || :
    fi
  done <"$dir/sound_server.pids"
  return 0
}

# The servers first: the reader sees the end of the pipe when its last
# writer goes, and has then copied everything.
stop() {
  [ -f "$dir/sound_server.pids" ] || return 0
  for group in watch server reader; do
    [ $group = reader ] && await_end reader $stop_wait && continue
    signal_role $group TERM
    await_end $group $stop_wait || { signal_role $group KILL; await_end $group $stop_wait || :; }
  done
  rm -f "$dir/sound_server.pids"
}

fail() {
  echo "sound_server.sh: $*" >&2
  [ -s "$dir/server.log" ] && tail -n 20 "$dir/server.log" >&2
  stop
  exit 1
}

# Waits for the socket $1 to appear.
await_socket() {
  tries=$start_wait
  until [ -S "$1" ]; do
    [ "$tries" -gt 0 ] || return 1
    tries=$((tries - 1))
    sleep 0.1
  done
}

start_pulse() {
  # -n: none of the system's default modules, so no real card is touched.
  pulseaudio -n --daemonize=yes --exit-idle-time=-1 --disallow-exit \
    --log-target="file:$dir/server.log" \
    --load="module-pipe-sink sink_name=out file=$dir/fifo $sink_format use_system_clock_for_timing=yes" \
    --load=module-native-protocol-unix </dev/null >>"$dir/server.log" 2>&1 ||
    fail "pulseaudio did not start"
  note server "$(cat "$dir/pulse/pid")" pulseaudio
}

# Starts program $1 in the background with its output in the log.
spawn() {
  "$@" </dev/null >>"$dir/server.log" 2>&1 &
  note server $! "$1"
}

start_pipewire() {
  # WirePlumber leaves the machine's cards, cameras and Bluetooth alone.
  mkdir -p "$XDG_CONFIG_HOME/wireplumber/main.lua.d" \
    "$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d"
  printf '%s\n' "alsa_monitor.enabled = false" "v4l2_monitor.enabled = false" \
    "libcamera_monitor.enabled = false" \
    >"$XDG_CONFIG_HOME/wireplumber/main.lua.d/51-private.lua"
  echo "bluez_monitor.enabled = false" \
    >"$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d/51-private.lua"
  # WirePlumber exits without a session bus.
  dbus-daemon --session --fork --address="unix:path=$dir/bus" --print-pid \
    </dev/null >"$dir/bus.pid" 2>>"$dir/server.log" || fail "dbus-daemon did not start"
  note server "$(cat "$dir/bus.pid")" dbus-daemon
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
  spawn pipewire
  await_socket "$dir/pipewire-0" || fail "pipewire did not start"
  # Without a session manager no stream is ever linked to the sink.
  spawn wireplumber
  spawn pipewire-pulse
  await_socket "$dir/pulse/native" || fail "pipewire-pulse did not start"
  # shellcheck disable=SC2086 # $sink_format is three arguments
  pactl load-module module-pipe-sink sink_name=out file="$dir/fifo" $sink_format \
    >/dev/null 2>>"$dir/server.log" || fail "no pipe sink"
  # WirePlumber keeps the default; it may still be starting.
  tries=$start_wait
  until pactl set-default-sink out 2>>"$dir/server.log" &&
    pactl info 2>/dev/null | grep -qx "Default Sink: out"; do
    [ "$tries" -gt 0 ] || fail "the pipe sink did not become the default"
    tries=$((tries - 1))
    sleep 0.1
  done
  # PipeWire's pipe sink writes only while a stream plays into it, where a
  # card (and PulseAudio's sink) plays silence: a stream of zeros keeps the
  # recording in real time, so a pause shows as the silence it is.
  spawn pacat --raw --device=out --format=s16le --rate=48000 --channels=2 /dev/zero
}

[ $# -ge 2 ] || usage
command=$1
shift
case $command in
  stop)
    [ $# -eq 1 ] || usage
    dir=$1
    stop
    exit 0
    ;;
  start) ;;
  *) usage ;;
esac

out=""
owner=""
while getopts o:w: opt; do
  case $opt in
    o) out=$OPTARG ;;
    w) owner=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 2 ] || usage
kind=$1
dir=$(cd "$2" && pwd) || usage
case $dir in *[[:space:]]*) echo "sound_server.sh: $dir has a space" >&2; exit 1 ;; esac
[ ${#dir} -le $max_dir ] || { echo "sound_server.sh: $dir is too long for a socket path" >&2; exit 1; }
out=${out:-$dir/out.raw}
case $kind in pulse | pipewire) ;; *) usage ;; esac

# Nothing of the user's own session may reach the private server.
unset PULSE_SERVER PULSE_COOKIE PULSE_CONFIG PULSE_CLIENTCONFIG PIPEWIRE_REMOTE \
  PIPEWIRE_RUNTIME_DIR PIPEWIRE_CONFIG_DIR PIPEWIRE_CONFIG_NAME DBUS_SESSION_BUS_ADDRESS
export HOME="$dir" XDG_RUNTIME_DIR="$dir" XDG_CONFIG_HOME="$dir/.config" \
  XDG_STATE_HOME="$dir/.local/state" XDG_DATA_HOME="$dir/.local/share" \
  PULSE_RUNTIME_PATH="$dir/pulse" PULSE_STATE_PATH="$dir/pulse"
export PULSE_SERVER="unix:$dir/pulse/native"
: >"$dir/sound_server.pids"

mkfifo "$dir/fifo"
cat "$dir/fifo" >"$out" 2>/dev/null </dev/null &
note reader $! cat
if [ -n "$owner" ]; then
  me=$(cat /proc/$$/comm)
  (
    while running "$owner"; do sleep 0.5; done
    exec sh "$0" stop "$dir"
  ) </dev/null >/dev/null 2>&1 &
  note watch $! "$me"
fi
if [ "$kind" = pulse ]; then start_pulse; else start_pipewire; fi
echo "PULSE_SERVER=$PULSE_SERVER"
