#!/usr/bin/env bash
# Checks that the packages are reproducible: builds the four of them
# (package-deb, package-tgz, package-windows) twice from the commit checked
# out and compares them byte for byte. The first build is a fresh clone
# under umask 0022, LANG=C and UTC, or, with --first DIR, the packages
# already built in DIR from this work tree (scripts/check_packages.sh puts
# them in build/packages), taken only when the tree is clean at HEAD. The
# second is always a fresh clone at another path, under another umask,
# locale and time zone than the first, as another user when this one is
# root, on another file system when /dev/shm is one.
# Prints each package's SHA-256; when the two builds differ, prints what
# differs (diffoscope when installed, else the archives' listings and their
# members compared) and fails.
#
# usage: scripts/reproducible.sh [--first DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
unset SOURCE_DATE_EPOCH
commit=$(git rev-parse HEAD)
first_packages=
if [ "${1:-}" = --first ]; then
  if [ -n "$(git status --porcelain)" ]; then
    echo "note: the work tree is not clean at HEAD: $2 is not taken; both builds are fresh clones"
  else
    first_packages=$(cd "$2" && pwd)
  fi
fi
git diff --quiet HEAD || echo "note: changes not committed are not in these builds"

work=$(mktemp -d)
chmod 755 "$work" # for the other user
cleanup=("$work")
trap 'rm -rf "${cleanup[@]}"' EXIT
first=$work/one/curvedump
second_root=$work/second
# tmpfs lists a folder in another order than ext4 and gives folders other
# sizes: a difference there shows in the packages.
if [ -d /dev/shm ] && [ -w /dev/shm ] && [ "$(stat -c %d /dev/shm)" != "$(stat -c %d "$work")" ] &&
  [ "$(df -Pk /dev/shm | awk 'NR == 2 { print $4 }')" -gt 204800 ]; then
  second_root=$(mktemp -d /dev/shm/curvedump-reproducible.XXXXXX)
  chmod 755 "$second_root"
  cleanup+=("$second_root")
fi
second=$second_root/two/curvedump-copy
other_user=
if [ "$(id -u)" = 0 ] && command -v setpriv > /dev/null; then
  other_user=65534
fi

# Clones the commit into $1 and builds the packages there, in the umask,
# locale and time zone given, as the user given (or this one).
build() {
  local dir=$1 mask=$2 lang=$3 zone=$4 user=${5:-} start preset as=()
  start=$SECONDS
  git clone -q --no-checkout "$PWD" "$dir"
  git -C "$dir" checkout -q --detach "$commit"
  if [ -n "$user" ]; then
    chown -R "$user:$user" "$dir"
    as=(setpriv --reuid="$user" --regid="$user" --clear-groups env HOME="$dir")
  fi
  for preset in package-deb package-tgz package-windows; do
    (cd "$dir" && umask "$mask" && unset LC_ALL LANGUAGE && export LANG=$lang TZ=$zone &&
      "${as[@]}" cmake --workflow --preset "$preset") > "$dir.$preset.log" 2>&1 ||
      { cat "$dir.$preset.log"; echo "$preset failed in $dir"; exit 1; }
  done
  echo "built in $dir (umask $mask, LANG=$lang, TZ=$zone, user $(id -un ${user:+"$user"})):" \
    "$((SECONDS - start)) s"
}

# What an archive holds, one line per member with its metadata and the
# SHA-256 of its bytes, for a diff of two builds without diffoscope.
listing() {
  local file=$1 tree
  tree=$(mktemp -d "$work/listing.XXXXXX")
  case $file in
    *.deb)
      ar tv "$file" | sed 's/^/ar: /'
      dpkg-deb --ctrl-tarfile "$file" | tar -tv --full-time | sed 's/^/control: /'
      dpkg-deb --fsys-tarfile "$file" | tar -tv --full-time | sed 's/^/data: /'
      dpkg-deb -R "$file" "$tree" ;;
    *.tar.gz)
      tar -tvzf "$file" --full-time
      tar -xzf "$file" -C "$tree" ;;
    *.zip)
      unzip -Z -v "$file" | sed -E '/^(Archive:|  offset of)/d'
      unzip -q "$file" -d "$tree" ;;
  esac
  (cd "$tree" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
}

echo "== reproducible packages: commit $commit, built twice"
if [ -n "$first_packages" ]; then
  # The settings of the build that made them: this shell's. The second
  # build takes others.
  mask=$(umask) lang=${LC_ALL:-${LANG:-C}}
  echo "first build: $first_packages, built from this tree (umask $mask, LANG=$lang," \
    "TZ=${TZ:-UTC}, user $(id -un))"
  first_dir=$first_packages
  other_mask=0002 other_lang=C.UTF-8
  [ "$mask" != 0002 ] || other_mask=0022
  [ "$lang" != C.UTF-8 ] || other_lang=C
  build "$second" "$other_mask" "$other_lang" XST-11 "$other_user"
else
  build "$first" 0022 C UTC0
  first_dir=$first/build/packages
  build "$second" 0002 C.UTF-8 XST-11 "$other_user"
fi

status=0
for pattern in 'curvedump_*.deb' 'python3-curvedump_*.deb' 'curvedump-*-linux-*.tar.gz' \
  'curvedump-*-windows-*.zip'; do
  a=$(compgen -G "$first_dir/$pattern") || { echo "no $pattern built"; exit 1; }
  b=$(compgen -G "$second/build/packages/$pattern") || { echo "no $pattern built"; exit 1; }
  hash=$(sha256sum < "$a" | cut -d' ' -f1)
  if [ "$hash" = "$(sha256sum < "$b" | cut -d' ' -f1)" ]; then
    echo "$hash  $(basename "$a")"
    continue
  fi
  status=1
  echo "DIFFERENT: $(basename "$a")"
  if command -v diffoscope > /dev/null; then
    diffoscope --no-progress --text - --max-text-report-size 200000 "$a" "$b" || true
  else
    diff -u <(listing "$a") <(listing "$b") || true
  fi
done
if [ $status -ne 0 ]; then
  echo "the two builds differ: the packages are not reproducible"
  exit 1
fi
echo "reproducible: both builds gave these four packages to the byte"
