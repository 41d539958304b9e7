# shellcheck shell=bash
# Sourced by bench/run and bench/many-files.
#
#   alternating_medians ROUNDS COMMAND...
#
# Prints the median wall-clock seconds of each command given, in the order
# given, for commands that take a tenth of a second or more: rounds of one
# run of each, in turned orders, so that the machine's speed, which drifts
# from second to second, is the same for every command; the median of the
# ROUNDS rounds after a first that warms up. Each run also pays for starting it
# from the shell, the same for all.
alternating_medians() {
  local rounds=$1 round i t0 t1
  shift
  for ((round = 0; round <= rounds; round++)); do
    for ((i = 0; i < $#; i++)); do
      local k=$(((i + round) % $#))
      t0=${EPOCHREALTIME/./}
      # shellcheck disable=SC2068 # each command is one string, split into its words here
      ${@:k + 1:1} >/dev/null
      t1=${EPOCHREALTIME/./}
      if [ $round -gt 0 ]; then echo "$k $((t1 - t0))"; fi
    done
  done | sort -k1,1n -k2,2n | awk -v r="$rounds" '{ t[$1] = t[$1] " " $2 }
    END { for (i = 0; i in t; i++) { split(t[i], v, " "); print v[int((r + 1) / 2)] / 1e6 } }'
}
