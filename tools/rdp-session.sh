#!/bin/bash
# A real remote-desktop stack on this machine, for the tests and the main
# job: xrdp (127.0.0.1 only, the Tarsel channels enabled, the Xvnc back
# end) with its session manager, a throwaway local user made for the run,
# and xfreerdp under an Xvfb of its own with the Tarsel add-in. Everything
# is started and stopped by process id, each wait bounded.
#
#   tools/rdp-session.sh start RUN [ADDIN-OPTIONS]   prints the session's DISPLAY when it is up
#   tools/rdp-session.sh client-stop RUN             xfreerdp is killed, as a client that loses its
#                                                    network (the session stays, disconnected)
#   tools/rdp-session.sh client-close RUN            the user closes xfreerdp's window (the session stays)
#   tools/rdp-session.sh client-start RUN            xfreerdp connects again (the session is reconnected)
#   tools/rdp-session.sh logout RUN                  the session ends; xfreerdp, told so, ends too
#   tools/rdp-session.sh stop RUN                    everything ends, the user is removed
#
# RUN is a folder of the run's own: the configuration, the pids, the logs
# (xrdp.log, sesman.log, xfreerdp.log, and the add-in's log where
# ADDIN-OPTIONS' log: says). The session's programs run as root with the
# session's DISPLAY and XAUTHORITY (RUN/session.env): root may use the
# session's X server and xrdp-chansrv's socket, and root's Wine prefix.
# Each reconnect adds a line to RUN/session/reconnects.
# Exit code 2 (with one line saying why) where xrdp cannot run here.
set -uo pipefail
verb="$1"; run="$2"
size=1280x1024

pid_of() { cat "$run/$1.pid" 2>/dev/null; }
stop_pid() {
  local p; p=$(pid_of "$1") || return 0
  [ -n "$p" ] && kill -TERM "$p" 2>/dev/null && for _ in $(seq 1 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  [ -n "$p" ] && kill -KILL "$p" 2>/dev/null
  rm -f "$run/$1.pid"
}
wait_for() {   # SECONDS COMMAND...: until the command succeeds
  local tries=$(( $1 * 10 )); shift
  for _ in $(seq 1 $tries); do "$@" && return 0; sleep 0.1; done
  return 1
}

client_start() {
  # shellcheck disable=SC1091
  source "$run/stack.env"
  # TARSEL_ADDIN_OPTIONS: other options for this start (another layout).
  ADDIN_OPTIONS="${TARSEL_ADDIN_OPTIONS:-$ADDIN_OPTIONS}"
  local display=$(( 90 + RANDOM % 400 ))
  Xvfb ":$display" -screen 0 "${size}x24" -nolisten tcp >"$run/xvfb.log" 2>&1 &
  echo $! > "$run/xvfb.pid"
  echo ":$display" > "$run/client.display"
  wait_for 10 test -e "/tmp/.X11-unix/X$display" || { echo "Xvfb :$display did not start"; return 1; }
  DISPLAY=":$display" xfreerdp /v:127.0.0.1:"$RDP_PORT" /u:"$RDP_USER" /p:"$RDP_PASSWORD" /cert:ignore \
    /size:"$size" -wallpaper "/vc:tarsel${ADDIN_OPTIONS:+,$ADDIN_OPTIONS}" >>"$run/xfreerdp.log" 2>&1 &
  echo $! > "$run/xfreerdp.pid"
}

client_stop() {
  stop_pid xfreerdp
  stop_pid xvfb
}

# The user closes xfreerdp's window: it disconnects and unloads its add-ins.
client_close() {
  local p; p=$(pid_of xfreerdp)
  if [ -n "$p" ] && DISPLAY="$(cat "$run/client.display")" "$(dirname "$0")/x-close-window.py" "$p"; then
    wait_for 10 sh -c "! kill -0 $p 2>/dev/null"
  fi
  client_stop
}

case "$verb" in
start)
  addin_options="${3:-}"
  for tool in xrdp xrdp-sesman Xvnc xfreerdp Xvfb useradd; do
    command -v "$tool" >/dev/null || { echo "xrdp cannot run here: $tool is not installed"; exit 2; }
  done
  [ "$(id -u)" -eq 0 ] || { echo "xrdp cannot run here: a throwaway user needs root"; exit 2; }
  # xrdp asks the session manager at the port /etc/xrdp/sesman.ini names.
  sm_port=$(sed -n 's/^ListenPort=\([0-9]*\)/\1/p' /etc/xrdp/sesman.ini | head -n 1)
  sm_port=${sm_port:-3350}
  if ss -ltn | grep -q ":$sm_port "; then echo "xrdp cannot run here: port $sm_port (sesman) is taken"; exit 2; fi
  rm -rf "$run"; mkdir -p "$run/session"; chmod 755 "$run"; chmod 1777 "$run/session"
  port=$(( 33000 + RANDOM % 2000 ))
  user="tarsel-rdp-$$"
  password="T-$(openssl rand -hex 8)"
  useradd -m -s /bin/bash "$user" || { echo "xrdp cannot run here: useradd failed"; exit 2; }
  echo "$user:$password" | chpasswd
  cat > "$run/stack.env" <<ENV
RDP_PORT=$port
RDP_USER=$user
RDP_PASSWORD=$password
ADDIN_OPTIONS=$addin_options
ENV
  # The session's window manager is a script that says the session is up.
  home=$(getent passwd "$user" | cut -d: -f6)
  cat > "$home/startwm.sh" <<WM
#!/bin/sh
echo "DISPLAY=\$DISPLAY" > "$run/session/env.part"
echo "XAUTHORITY=$home/.Xauthority" >> "$run/session/env.part"
mv "$run/session/env.part" "$run/session/env"
exec sleep 86400
WM
  chmod 755 "$home/startwm.sh"; chown "$user" "$home/startwm.sh"
  sed -e "s|^port=3389|port=tcp://127.0.0.1:$port|" -e "s|^LogFile=xrdp.log|LogFile=$run/xrdp.log|" \
      -e 's/^EnableSyslog=true/EnableSyslog=false/' /etc/xrdp/xrdp.ini |
    python3 -c '
import re, sys
s = sys.stdin.read()
s = re.sub(r"\n\[Xorg\]\n(.*\n)*?(?=\n?\[)", "\n", s, count=1)   # the Xvnc back end only
names = ["pyxcm", "pyxan"] + ["pyx%02d" % i for i in range(10)] + ["ZRBCHNL"]
s = s.replace("[Channels]\n", "[Channels]\n" + "".join(n + "=true\n" for n in names))
sys.stdout.write(s)' > "$run/xrdp.ini"
  sed -e "s|^LogFile=xrdp-sesman.log|LogFile=$run/sesman.log|" -e 's/^EnableSyslog=true/EnableSyslog=false/' \
      -e 's/^ListenAddress=.*/ListenAddress=127.0.0.1/' -e "s|^ReconnectScript=.*|ReconnectScript=$run/reconnect.sh|" \
      /etc/xrdp/sesman.ini > "$run/sesman.ini"
  # Each reconnect of the session adds a line to session/reconnects (the
  # bridge's --reconnects: xrdp tells programs under Wine nothing).
  printf '#!/bin/sh\ndate +%%s.%%N >> "%s/session/reconnects"\n' "$run" > "$run/reconnect.sh"
  chmod 755 "$run/reconnect.sh"
  mkdir -p /run/xrdp/sockdir && chmod 3777 /run/xrdp/sockdir
  xrdp-sesman -n -c "$run/sesman.ini" >"$run/sesman.out" 2>&1 &
  echo $! > "$run/sesman.pid"
  xrdp -n -c "$run/xrdp.ini" >"$run/xrdp.out" 2>&1 &
  echo $! > "$run/xrdp.pid"
  wait_for 10 sh -c "ss -ltn | grep -q '127.0.0.1:$port '" || { echo "xrdp did not listen"; exit 1; }
  ADDIN_OPTIONS="$addin_options" client_start || exit 1
  wait_for 30 test -s "$run/session/env" || { echo "no session formed in 30 s (see $run/xrdp.log, $run/sesman.log)"; exit 1; }
  cp "$run/session/env" "$run/session.env"
  sed -n 's/^DISPLAY=//p' "$run/session.env"
  ;;
client-stop) client_stop ;;
client-close) client_close ;;
logout)
  # shellcheck disable=SC1091
  source "$run/stack.env"
  pkill -TERM -u "$RDP_USER" 2>/dev/null
  p=$(pid_of xfreerdp)
  [ -n "$p" ] && wait_for 15 sh -c "! kill -0 $p 2>/dev/null"
  client_stop
  ;;
client-start) client_start ;;
stop)
  client_stop
  stop_pid xrdp
  stop_pid sesman
  if [ -f "$run/stack.env" ]; then
    # shellcheck disable=SC1091
    source "$run/stack.env"
    pkill -TERM -u "$RDP_USER" 2>/dev/null; sleep 0.5; pkill -KILL -u "$RDP_USER" 2>/dev/null
    userdel -r "$RDP_USER" >/dev/null 2>&1
  fi
  ;;
*) echo "usage: rdp-session.sh start|client-stop|client-start|stop RUN [ADDIN-OPTIONS]"; exit 2 ;;
esac
