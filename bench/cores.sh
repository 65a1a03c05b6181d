#!/usr/bin/env bash
# How fast the machine's cores run side by side: the same arithmetic loop (no memory traffic, no
# communication) on each of n cores at once, against one run alone. On a virtual machine a core
# can run at a fraction of its speed while the host gives its processor to other work; a run
# divided over those cores waits at every step for the slowest of them, whatever its division.
# Prints one line: each core's time side by side over the time alone, and the slowest of them.
# usage: cores.sh [cores (default: all of this machine)]
set -u
n=${1:-$(nproc)}
out=$(mktemp -d "${TMPDIR:-/tmp}/talvo_cores.XXXXXX")
trap 'rm -rf "$out"' EXIT
available=$(nproc)
# Nanoseconds of the loop on core $1 (pinned where taskset exists).
spin() {
  local start pin=()
  command -v taskset >/dev/null && pin=(taskset -c "$(($1 % available))")
  start=$(date +%s%N)
  "${pin[@]}" awk 'BEGIN { for (i = 1; i <= 2e7; i++) s += 1 / i; if (s < 0) print s }'
  echo $(($(date +%s%N) - start))
}
# The best of two runs alone: one of them may itself have met a slow moment.
first=$(spin 0); second=$(spin 0)
alone=$((first < second ? first : second))
for ((i = 0; i < n; i++)); do spin "$i" >"$out/core.$i" & done
wait
for ((i = 0; i < n; i++)); do cat "$out/core.$i"; done | awk -v a="$alone" '
  { t[++k] = $1 / a; if (t[k] > max) max = t[k] }
  END { printf "cores side by side (arithmetic, time over one alone):"
        for (i = 1; i <= k; i++) printf " %.2f", t[i]
        printf "; slowest %.2f\n", max }'
