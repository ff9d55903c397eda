# Sourced by the scripts that give zorvad and zorvactl a D-Bus daemon of their own, so that they
# need no system bus policy and touch nothing outside their folder.
#
#   start_private_bus FOLDER
#
# Starts dbus-daemon listening on FOLDER/bus and sets bus_pid and bus_address (empty when the
# daemon did not answer within 30 seconds). The caller stops it: kill "$bus_pid".
start_private_bus() {
  local folder=$1
  cat >"$folder/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$folder/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>
  </policy>
</busconfig>
CONF
  mkfifo "$folder/bus.address"
  dbus-daemon --config-file="$folder/bus.conf" --nofork --print-address=1 \
    >"$folder/bus.address" 2>/dev/null &
  bus_pid=$!
  bus_address=""
  read -r -t 30 bus_address <"$folder/bus.address" || true
}
