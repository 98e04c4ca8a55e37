#!/bin/bash
# Packs every regular file of a folder tree across several machines with GNU parallel, then
# tests every packed file where it was made and again here. Each machine needs the same
# aaczavrok (the same path, or BIN_REMOTE); parallel sends each file over ssh, runs the packer
# and its test there, brings FILE.aaz back beside FILE and removes both from the machine.
#
#   bench/pack_many.sh TREE SSHLOGINFILE      pack TREE across the machines SSHLOGINFILE names
#   bench/pack_many.sh TREE                   the same against this machine over ssh (a
#                                             throwaway sshd on 127.0.0.1, two slots), as the bench runs it
#
# An sshloginfile has one machine a line, as parallel takes them: "4/user@host" runs four
# jobs there at once, ":" is this machine without ssh. The originals are kept; a file packed
# already (FILE.aaz beside it) is skipped; CLEAN=1 removes the packed files at the end. Prints the files, bytes, saving, wall time, and the wall time
# of packing the same tree here on one job, for comparison.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${BIN:-$ROOT/build/aaczavrok}
BIN_REMOTE=${BIN_REMOTE:-$BIN}
TREE=$(cd "${1:?usage: pack_many.sh TREE [SSHLOGINFILE]}" && pwd)
LOGINS=${2:-}
[ -x "$BIN" ] || { echo "no program at $BIN (make build)" >&2; exit 1; }
need() { command -v "$1" >/dev/null || { export DEBIAN_FRONTEND=noninteractive; apt-get install -y -q "$2" >/dev/null; }; }
need parallel parallel
need ssh openssh-client
need rsync rsync  # how parallel moves files

WORK=$(mktemp -d)
SSHD_PID=
cleanup() {
    [ -z "$SSHD_PID" ] || kill "$SSHD_PID" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

if [ -z "$LOGINS" ]; then
    # This machine over ssh: a throwaway server and key that live as long as the run.
    need sshd openssh-server
    ssh-keygen -q -t ed25519 -N '' -f "$WORK/host_key"
    ssh-keygen -q -t ed25519 -N '' -f "$WORK/user_key"
    cp "$WORK/user_key.pub" "$WORK/authorized_keys"
    chmod 600 "$WORK/authorized_keys"
    PORT=${PORT:-2222}
    mkdir -p /run/sshd  # the privilege separation folder sshd wants
    /usr/sbin/sshd -f /dev/null -p "$PORT" -o ListenAddress=127.0.0.1 -o HostKey="$WORK/host_key" \
        -o AuthorizedKeysFile="$WORK/authorized_keys" -o PidFile="$WORK/sshd.pid" -o StrictModes=no \
        -o PasswordAuthentication=no -o UsePAM=no -o UseDNS=no
    for _ in $(seq 50); do [ -s "$WORK/sshd.pid" ] && break; sleep 0.1; done
    SSHD_PID=$(cat "$WORK/sshd.pid")
    SSH="ssh -p $PORT -i $WORK/user_key -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR"
    echo "2/$SSH $(id -un)@127.0.0.1" >"$WORK/logins"
    LOGINS=$WORK/logins
fi

cd "$TREE"
find . -type f ! -name '*.aaz' -print0 | sort -z | while IFS= read -r -d '' f; do
    [ -e "$f.aaz" ] || printf '%s\0' "$f"
done >"$WORK/files"
FILES=$(tr -cd '\0' <"$WORK/files" | wc -c)
BYTES=$(xargs -0 -r stat -c %s <"$WORK/files" | awk '{ s += $1 } END { print s + 0 }')
now() { date +%s.%N; }

t0=$(now)
# --transferfile sends FILE into a working folder of this run on the far side (its folders
# made there), --return brings FILE.aaz back to the same relative place, --cleanup removes both
# there; a test failing there fails the job, and parallel's status the run. (Reusing one ssh
# connection, --controlmaster, let parallel start a job's first attempt again while it ran.)
parallel -0 --sshloginfile "$LOGINS" --workdir "/tmp/aaczavrok-many-$$" --transferfile {} \
    --return {}.aaz --cleanup "$BIN_REMOTE -p -q {} && $BIN_REMOTE --test -q {}.aaz" <"$WORK/files"
t1=$(now)

# Every packed file tested here too, and its unpacked bytes compared with the original.
PACKED=0
while IFS= read -r -d '' f; do
    "$BIN" -d -q --stdout "$f.aaz" | cmp -s - "$f" || { echo "$f: unpacked, differs from the original" >&2; exit 1; }
    PACKED=$((PACKED + $(stat -c %s "$f.aaz")))
done <"$WORK/files"

# The same tree packed here, one job at a time, for comparison.
mkdir "$WORK/local"
t2=$(now)
while IFS= read -r -d '' f; do "$BIN" -p -q -o "$WORK/local/out.aaz" -f "$f"; done <"$WORK/files"
t3=$(now)
[ "${CLEAN:-0}" = 1 ] && xargs -0 -r -I{} rm -f {}.aaz <"$WORK/files"

printf '%d files, %s -> %s bytes (%.2f%% smaller)\n' "$FILES" "$BYTES" "$PACKED" \
    "$(echo "100 * (1 - $PACKED / $BYTES)" | bc -l)"
printf 'across the machines (%s): %.1f s wall; here, one file at a time: %.1f s\n' \
    "$(grep -v '^#' "$LOGINS" | sed 's/ .*@/ /' | paste -sd, -)" "$(echo "$t1 - $t0" | bc -l)" \
    "$(echo "$t3 - $t2" | bc -l)"
