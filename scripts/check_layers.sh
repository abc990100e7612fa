#!/usr/bin/env bash
# The layering check: every quoted project include ("folder/...") of a file must name a folder its own
# folder may use. Modules depend only downward; engines never include each other or the app.
# Prints each offending include and exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

platform_below_store='platform/sys/ platform/rtl/ platform/classes/ platform/zip/ platform/db/ platform/store/'

# allowed <folder>: the include prefixes files under <folder> may use (their own folder always).
allowed() {
  case "$1" in
    platform/sys) echo "platform/sys/" ;;
    platform/rtl) echo "platform/sys/ platform/rtl/" ;;
    platform/classes) echo "platform/sys/ platform/rtl/ platform/classes/" ;;
    platform/zip) echo "platform/sys/ platform/rtl/ platform/classes/ platform/zip/" ;;
    platform/db) echo "platform/sys/ platform/rtl/ platform/classes/ platform/db/" ;;
    platform/gui) echo "platform/sys/ platform/rtl/ platform/classes/ platform/gui/" ;;
    platform/store) echo "platform/sys/ platform/rtl/ platform/classes/ platform/store/" ;;
    platform/engines) echo "$platform_below_store platform/engines/" ;;
    # The Mdb engine is four modules of one engine: they may use each other (their CMake order keeps
    # them layered), never another engine.
    engines/mdb/*) echo "$platform_below_store platform/engines/ engines/mdb/" ;;
    engines/*) echo "$platform_below_store platform/engines/ $1/" ;;
    app) echo "platform/ engines/ app/" ;;
    bench) echo "platform/ engines/ app/ bench/" ;;
    *) echo "" ;;
  esac
}

# The module folders: the platform's, every engine's (engines/<name>, engines/mdb/<part>), app, bench.
folders=(platform/sys platform/rtl platform/classes platform/zip platform/db platform/gui platform/store
         platform/engines app bench)
for d in engines/*/; do
  d=${d%/}
  if [[ $d == engines/mdb ]]; then
    for p in engines/mdb/*/; do [[ -d $p ]] && folders+=("${p%/}"); done
    folders+=(engines/mdb)
  else
    folders+=("$d")
  fi
done

status=0
for folder in "${folders[@]}"; do
  [[ -d $folder ]] || continue
  prefixes=$(allowed "$folder")
  # Files of this folder and its tests/ and testing/, not those of a nested module folder.
  while IFS= read -r -d '' file; do
    while IFS= read -r line; do
      inc=${line#*\"}
      inc=${inc%%\"*}
      [[ $inc == */* ]] || continue
      top=${inc%%/*}
      [[ $top == platform || $top == engines || $top == app || $top == bench ]] || continue
      ok=0
      for p in $prefixes; do [[ $inc == "$p"* ]] && ok=1 && break; done
      if [[ $ok == 0 ]]; then
        echo "layering: $file includes \"$inc\" (allowed: $prefixes)"
        status=1
      fi
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
  done < <(find "$folder" -maxdepth 2 \( -path "$folder/*/*" -a ! -path "$folder/tests/*" -a ! -path "$folder/testing/*" -a ! -path "$folder/fuzz/*" \) -prune -o \
             -type f \( -name '*.h' -o -name '*.cpp' \) -print0)
done
exit $status
