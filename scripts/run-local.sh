#!/usr/bin/env bash
# Starts quillet-server on loopback unless something already listens on the port, then the client.
set -euo pipefail
build=$1 port=$2 log=$3
bin="$build/bin"

listening() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }

if listening; then
    echo "quillet: a server already listens on 127.0.0.1:$port; using it"
else
    nohup "$bin/quillet-server" --listen 127.0.0.1 --port "$port" >>"$log" 2>&1 &
    for _ in $(seq 50); do listening && break; sleep 0.1; done
    listening || { echo "quillet: quillet-server did not start; see $log" >&2; exit 1; }
    echo "quillet: started quillet-server on 127.0.0.1:$port (pid $!, log $log)"
fi

echo "quillet: opening the client; log in to host localhost, port $port, with any name"
exec "$bin/quillet"
