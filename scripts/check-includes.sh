#!/usr/bin/env bash
# Fails when a file includes a header of a library above its own, or a library links one above
# it: the libraries depend downward only. The order below, floor first, is the one that holds.
# A test folder counts as its library; the shared test fixtures sit at the floor; the
# benchmarks and the daemon may use everything.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
order="platform utilities core/config core/run core/crypto core/cloud core/remote core/versions
  core/sync core/devicelink core/control daemon"

cd "$root"
files=$(find platform utilities core daemon tests bench -name '*.cpp' -o -name '*.h' | sort)
libraries=$(for folder in $order; do [ -f "$folder/CMakeLists.txt" ] && echo "$folder/CMakeLists.txt"; done)

# shellcheck disable=SC2086
awk -v order="$order" '
  BEGIN {
    n = split(order, libs, /[ \n]+/)
    gsub(/[ \n]+/, " ", order)
    for (i = 1; i <= n; i++) level[libs[i]] = i
  }
  function library_of(path,   i, best) {
    best = ""
    for (i = 1; i <= n; i++)
      if (index(path, libs[i] "/") == 1 && length(libs[i]) > length(best)) best = libs[i]
    return best
  }
  FNR == 1 {
    file = FILENAME
    own = file
    if (own ~ /^tests\/support\//) own = "platform/"
    else sub(/^tests\//, "", own)
    mine = library_of(own)
    own_level = (own ~ /^bench\// || mine == "") ? n + 1 : level[mine]
    if (file ~ /CMakeLists\.txt$/) {
      target_level[FILENAME] = own_level
    }
  }
  file ~ /CMakeLists\.txt$/ && /pelli_library\(/ {
    line = $0
    sub(/.*pelli_library\(/, "", line)
    sub(/\).*/, "", line)
    count = split(line, words, /[ \t]+/)
    target[words[1]] = own_level
    for (i = 2; i <= count; i++) linked[file, words[i]] = FNR
    next
  }
  /^[ \t]*#[ \t]*include[ \t]*"/ {
    header = $0
    sub(/^[^"]*"/, "", header)
    sub(/".*/, "", header)
    theirs = library_of(header)
    if (theirs != "" && level[theirs] > own_level) {
      printf "%s:%d: includes %s of %s, which lies above %s\n", file, FNR, header, theirs, mine
      bad++
    }
  }
  END {
    for (key in linked) {
      split(key, parts, SUBSEP)
      if (parts[2] in target && target[parts[2]] > target_level[parts[1]]) {
        printf "%s:%d: links %s, which lies above it\n", parts[1], linked[key], parts[2]
        bad++
      }
    }
    if (bad) {
      printf "%d upward dependencies; the order, floor first: %s\n", bad, order
      exit 1
    }
  }
' $libraries $files
