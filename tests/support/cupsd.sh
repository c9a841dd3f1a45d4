# Sourced by the shell tests that print through a cupsd of their own.
#
#   private_cupsd_conf DIR [SERVERBIN] [TCP_PORT]
#
# Writes DIR/cupsd.conf and DIR/cups-files.conf for a cupsd that keeps everything under DIR
# (its spool, cache, state, log and tmp folders must be there),
# listens on DIR/cups.sock (and on 127.0.0.1:TCP_PORT when given), and takes its backends from
# SERVERBIN when given (the system's otherwise). Browsing, the web interface and authentication
# are off: the tests' clients are local.
private_cupsd_conf() {
    local dir=$1 bin=${2:-} port=${3:-}
    {
        echo "LogLevel debug"
        [ -z "$port" ] || echo "Listen 127.0.0.1:$port"
        echo "Listen $dir/cups.sock"
        cat <<'CONF'
Browsing No
WebInterface No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow from 127.0.0.1
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
    } >"$dir/cupsd.conf"
    {
        echo "ServerRoot $dir"
        [ -z "$bin" ] || echo "ServerBin $bin"
        echo "RequestRoot $dir/spool"
        echo "CacheDir $dir/cache"
        echo "StateDir $dir/state"
        echo "TempDir $dir/tmp"
        echo "ErrorLog $dir/log/error_log"
        echo "AccessLog $dir/log/access_log"
        echo "PageLog $dir/log/page_log"
        echo "SystemGroup root"
    } >"$dir/cups-files.conf"
}
