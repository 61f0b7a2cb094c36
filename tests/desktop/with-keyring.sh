#!/bin/sh
# Runs a command on a private session bus with a Secret Service (gnome-keyring), unlocked, in a
# home folder of its own, as a desktop session would have. Usage: with-keyring.sh command...
set -eu
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home"
mkdir -p "$home/.local/share/keyrings"
exec dbus-run-session -- sh -c '
    eval "$(printf velumo-test | gnome-keyring-daemon --unlock --components=secrets --daemonize)"
    exec "$@"' keyring "$@"
