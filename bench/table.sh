# shellcheck shell=bash
# The speed table's helpers, sourced by bench/run and bench/disks/run.

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

verdict() { # verdict VALUE OP LIMIT [LIMIT2]
  if awk -v v="$1" -v a="$3" -v b="${4:-}" -v op="$2" 'BEGIN {
    exit !((op == "<=" && v <= a) || (op == ">=" && v >= a) || (op == "<" && v < a) ||
           (op == ">" && v > a) ||
           (op == "in" && v >= a && v <= b)) }'; then echo ok; else echo MISSED; fi
}
row() { printf '%-58s %-12s %-14s %s\n' "$@"; }
