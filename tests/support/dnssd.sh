# Sourced by the shell tests that run their own D-Bus and Avahi: the configuration of each.
# A system bus that allows everything and starts nothing by itself (service activation would
# start colord, which writes under /var/lib), listening at the path given.
write_bus_conf() {  # FILE SOCKET_PATH
    cat >"$1" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$2</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
}
# An Avahi daemon on IPv4 alone that publishes only what it is asked to.
write_avahi_conf() {  # FILE
    cat >"$1" <<'CONF'
[server]
host-name=tessalhost
use-ipv4=yes
use-ipv6=no
[wide-area]
enable-wide-area=no
[publish]
publish-aaaa-on-ipv4=no
publish-workstation=no
publish-hinfo=no
CONF
}
