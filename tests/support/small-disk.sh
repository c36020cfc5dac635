#!/bin/bash
# Runs a command with KOVREL_SMALL_DISK naming a small file system mounted for
# it (64 KiB, or KOVREL_SMALL_DISK_SIZE), so that a test can fill a disk.
# Needs root: exits 77 (skipped) without.
set -u
dir=$(mktemp -d)
if ! mount -t tmpfs -o size=${KOVREL_SMALL_DISK_SIZE:-64k} kovrel-small "$dir" 2>/dev/null; then
    echo "small-disk: cannot mount a small file system here: skipped"
    rmdir "$dir"
    exit 77
fi
trap 'umount "$dir"; rmdir "$dir"' EXIT
KOVREL_SMALL_DISK=$dir "$@"
