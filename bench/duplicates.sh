# shellcheck shell=bash
# The duplicate finders' tree and what is known of it, sourced by bench/run and bench/disks/run.

# The four duplicate finders from Debian, as NAME=COMMAND words on the folder dups, each printing
# its groups; rdfind writes its own to a file.
duplicate_peers=(
  "jdupes=jdupes -r -q dups"
  "rdfind=rdfind -dryrun true -outputname /dev/null dups"
  "fdupes=fdupes -r -q dups"
  "rmlint=rmlint -T df -o fdupes dups"
)

# duplicate_tree DIR FILES SEED: a tree of FILES files beneath DIR/dups, in 30 folders: sizes
# from 2 KiB to 4 MiB (log-uniform, so 0.55 MB on average), half of the originals' drawn from a
# pool that gives each about 6 files, the others' their own; an eighth of the originals has 1 to 4 copies (a third of the files are in
# groups), and 4 % of those over 14,015 bytes a near copy, one byte changed past every sample.
# Originals are written first, copies after, each set in shuffled order, so that the disk's
# order is not the names'.
duplicate_tree() {
  local dir=$1 action name size source offset
  mkdir -p "$dir/dups"
  for d in $(seq -w 0 29); do mkdir -p "$dir/dups/d$d"; done
  awk -v n="$2" -v seed="$3" 'BEGIN {
    srand(seed)
    pool = int(n / 12) + 1 # an original in two is of one of these sizes
    for (k = 0; k < pool; ++k) size[k] = int(exp(log(2048) + rand() * log(2048)))
    for (made = 0; made < n;) {
      s = rand() < 0.5 ? size[int(rand() * pool)] : int(exp(log(2048) + rand() * log(2048)))
      original = sprintf("dups/d%02d/f%05d", int(rand() * 30), made++)
      printf "0 %.9f new %s %d\n", rand(), original, s
      copies = rand() < 0.125 ? 1 + int(rand() * 4) : 0
      for (c = 0; c < copies && made < n; ++c)
        printf "1 %.9f copy %s %d %s\n", rand(), sprintf("dups/d%02d/f%05d", int(rand() * 30), made++), s, original
      if (s > 14015 && rand() < 0.04 && made < n)
        printf "1 %.9f near %s %d %s %d\n", rand(), sprintf("dups/d%02d/f%05d", int(rand() * 30), made++), s, original, 14015 + int(rand() * (s - 14015))
    }
  }' | sort -k1,1n -k2,2n | while read -r _ _ action name size source offset; do
    case $action in
    new) head -c "$size" /dev/urandom >"$dir/$name" ;;
    copy) cp "$dir/$source" "$dir/$name" ;;
    near)
      cp "$dir/$source" "$dir/$name"
      printf '\x5a' | dd of="$dir/$name" bs=1 seek="$offset" conv=notrunc status=none
      ;;
    esac
  done
}

# duplicate_sets: the groups that a finder printed (names one a line, or md5sum lines), one group
# a line, its names sorted, the groups sorted.
duplicate_sets() {
  sed -E 's/^[0-9a-f]{32}  //' | awk 'NF { g = g (g == "" ? "" : " ") $0; next }
    g != "" { print g; g = "" } END { if (g != "") print g }' |
    while read -ra names; do printf '%s\n' "${names[@]}" | sort | tr '\n' ' '; echo; done | sort
}

# duplicate_stages CLI DIR: what each stage of --duplicates leaves of the tree beneath DIR, from
# its sizes, fingerprints and MD5s: "FILES BY_SIZE BY_FINGERPRINT BY_DIGEST GROUPED BOUND", the
# files dropped by each stage, those left in groups, and the most bytes the issue allows it to read
# from a cold disk: 1.2 x the bytes of the files whose size and fingerprint another shares, plus
# 16 KiB for each file whose size another shares.
duplicate_stages() {
  local lists
  lists=$(mktemp -d)
  (cd "$2" && find dups -type f -printf '%s %p\n' >"$lists/sizes" &&
    "$1" -r --fingerprint dups >"$lists/fingerprints" && "$1" -r dups >"$lists/md5s")
  awk 'FILENAME ~ /sizes$/ { size[$2] = $1; next }
    FILENAME ~ /fingerprints$/ { fp[$2] = $1; next }
    { md5[$2] = $1 }
    END {
      for (f in size) { bySize[size[f]]++; byFp[size[f] " " fp[f]]++; byMd5[size[f] " " md5[f]]++ }
      for (f in size) {
        files++
        if (bySize[size[f]] == 1) { drop1++; continue }
        bound += 16384
        if (byFp[size[f] " " fp[f]] == 1) { drop2++; continue }
        bound += 1.2 * size[f]
        if (byMd5[size[f] " " md5[f]] == 1) { drop3++; continue }
        grouped++
      }
      printf "%d %d %d %d %d %.0f\n", files, drop1, drop2, drop3, grouped, bound
    }' "$lists/sizes" "$lists/fingerprints" "$lists/md5s"
  rm -r "$lists"
}

# small_files_tree BUILD FILES: the tree of FILES small files (bench/SmallTreeMain.cpp, seed 32)
# beneath BUILD/bench-small-files-FILES/dups, made once and kept between runs: writing 300,000
# files takes longer than the rows that read them. Prints the folder.
small_files_tree() {
  local dir=$1/bench-small-files-$2
  if [ ! -e "$dir/made" ]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    "$1/bench/small_tree" "$dir" "$2" 32
    touch "$dir/made"
  fi
  echo "$dir"
}

# system_calls_a_file DIR FILES COMMAND...: the system calls COMMAND makes in DIR, all threads,
# over FILES.
system_calls_a_file() {
  local dir=$1 files=$2 counts
  shift 2
  counts=$(mktemp)
  (cd "$dir" && strace -c -f -o "$counts" "$@" >/dev/null)
  awk -v files="$files" '$NF == "total" { printf "%.2f", $4 / files }' "$counts"
  rm "$counts"
}
