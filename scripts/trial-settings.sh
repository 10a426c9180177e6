#!/bin/sh
# `make run` is how people try the server: when no settings file lies beside the built
# server, write one for trying it (port forwarding off, listening on 127.0.0.1 only, browsers
# welcome on the WebSocket port 7176 with the web client of the tree's web/ folder, members may create rooms) and say so. An existing file, whatever it holds, is never touched; the
# package keeps the program's own defaults.
set -e
folder=${1:?usage: trial-settings.sh FOLDER}
settings="$folder/velmorserv.json"
if [ -e "$settings" ] || [ -L "$settings" ]; then
    exit 0
fi
mkdir -p "$folder"
settings="$(cd "$folder" && pwd)/velmorserv.json"
cat > "$settings" <<'JSON'
{
  "useupnp": false,
  "bindaddress": "127.0.0.1",
  "websocketport": 7176,
  "webroot": "../../web",
  "userscancreateroom": true
}
JSON
echo "make run: wrote $settings for trying the server: port forwarding off, listening on"
echo "127.0.0.1 only (TCP 7175, WebSocket and the web client on http://127.0.0.1:7176/), members may create rooms. Edit it to change that (README, \"Settings\");"
echo "it is never overwritten."
