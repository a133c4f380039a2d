# Sourced by the end-to-end scripts that start a bus server of their own. The caller defines
# fail MESSAGE (it must not return).
#
# take_bus_address OUTPUT PID WHO: waits up to 10 s for the server PID to print its
# TARVEL_VBUS=tcp:127.0.0.1:PORT/TOKEN line first into OUTPUT, and exports it; fails when the
# server ends first or prints anything else.
take_bus_address() {
  local output=$1 pid=$2 who=$3 line
  for _ in $(seq 100); do
    [ -s "$output" ] && break
    kill -0 "$pid" 2>/dev/null || fail "$who ended before it listened"
    sleep 0.1
  done
  line=$(head -1 "$output")
  case $line in
    TARVEL_VBUS=tcp:127.0.0.1:*/*) export "${line?}" ;;
    *) fail "$who printed no bus address: $line" ;;
  esac
}
