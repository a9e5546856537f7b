#!/bin/sh
# Writes the gzipped manual page of one program from its own --help and an
# include file of examples and files, with help2man. The program is run
# through a wrapper of the same name that shows the installed paths instead
# of the build folder's (the host's default module lies beside the program).
#   make-manual.sh PROGRAM INCLUDE SUMMARY VERSION INSTALLED_DIR OUTPUT.gz
set -eu

program=$1
include=$2
summary=$3
version=$4
installed_dir=$5
output=$6

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
name=$(basename "$program")
build_dir=$(cd "$(dirname "$program")" && pwd)
cat >"$work/$name" <<WRAPPER
#!/bin/sh
"$program" "\$@" | sed -e 's|$build_dir/|$installed_dir/|g'
WRAPPER
chmod 755 "$work/$name"

help2man --no-info --section=8 --source=dudarovuvadu --version-string="$version" \
  --name="$summary" --include="$include" --output="$work/$name.8" "$work/$name"
# The wrapper's folder never shows; the page names the installed program.
# A long word without blanks (the default cipher list) gets a break point
# after each colon and is set unadjusted, so the formatter can fold it.
sed -i -e "s|$work/||g" "$work/$name.8"
awk '{
  long = 0
  for (i = 1; i <= NF; i++) if (length($i) > 60) long = 1
  if (long) { gsub(/:/, ":\\:"); print ".na"; print; print ".ad" } else print
}' "$work/$name.8" >"$work/$name.8.folded"
mv "$work/$name.8.folded" "$work/$name.8"
gzip -9n <"$work/$name.8" >"$output.tmp"
mv "$output.tmp" "$output"
