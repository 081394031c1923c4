#!/bin/sh
# Runs a command, and every process it starts, with a /dev/shm of its own (an
# empty tmpfs in a private mount namespace). JACK keeps its table of servers,
# its sockets and its semaphores there, and names a client's socket after the
# client whatever the server: tests that each start a JACK server would
# otherwise meet. Needs root (or CAP_SYS_ADMIN) and unshare from util-linux.
# "private-shm.sh --check" only says whether this machine allows it.
if [ "$1" = --check ]; then
    set -- true
fi
exec unshare --mount --propagation private \
    sh -c 'mount -t tmpfs -o mode=1777 wendle-shm /dev/shm && exec "$@"' sh "$@"
