#!/bin/sh
# Runs a command in a fresh network namespace with only loopback up, so that a
# networking test owns the lobby port and talks to nothing but itself.
exec unshare -n sh -c 'ip link set lo up && exec "$@"' netns "$@"
