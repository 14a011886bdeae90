#!/usr/bin/env bash
# script/bootstrap against a dpkg and an apt that only answer and record: which packages it counts
# as there (as dpkg does, a package with pending triggers or unfinished configuration included),
# which it asks apt for, in which group, and that apt is told to wait for another run's lock.
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
fake="$(mktemp -d)"
trap 'rm -rf "$fake"' EXIT
failures=0
check() {  # check WHAT CONDITION...
  local what="$1"; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

# dpkg-query -W -f='${Status}' PACKAGE, from a table; a package not in it is not installed.
cat >"$fake/dpkg-query" <<'FAKE'
#!/usr/bin/env bash
package="${!#}"
case "$package" in
  cmake) printf 'install ok triggers-pending' ;;
  qt6-base-dev) printf 'install ok half-configured' ;;
  pkg-config) printf 'install ok triggers-awaited' ;;
  libgl-dev) printf 'install ok unpacked' ;;
  libftdi1-dev) printf 'deinstall ok config-files' ;;
  python3-dev) printf 'unknown ok not-installed' ;;
  fonts-liberation2) exit 1 ;;
  *) printf 'install ok installed' ;;
esac
FAKE
# apt-get records each call's arguments, one call a line.
cat >"$fake/apt-get" <<FAKE
#!/usr/bin/env bash
echo "\$*" >>"$fake/apt.log"
FAKE
cat >"$fake/id" <<'FAKE'
#!/usr/bin/env bash
echo 0
FAKE
chmod +x "$fake"/*

PATH="$fake:$PATH" "$repo/script/bootstrap" run >/dev/null
install="$(grep -E '(^| )install ' "$fake/apt.log" || true)"
check "apt is asked only for what is missing" \
  test "${install##* --no-install-recommends }" = "libftdi1-dev python3-dev fonts-liberation2"
check "every apt call waits for another run's lock" \
  test "$(grep -c 'DPkg::Lock::Timeout=' "$fake/apt.log" || true)" -eq 2
check "the run group asks for no test package" \
  bash -c "! grep -q 'googletest\|valgrind' '$fake/apt.log'"

rm "$fake/apt.log"
PATH="$fake:$PATH" "$repo/script/bootstrap" >/dev/null
check "the whole set is the same missing ones: the test packages are all there" \
  test "$(grep -E '(^| )install ' "$fake/apt.log" | sed 's/.* --no-install-recommends //')" \
  = "libftdi1-dev python3-dev fonts-liberation2"

rm "$fake/apt.log"
sed -i 's/^  \*) printf .install ok installed. ;;$/  valgrind) exit 1 ;;\n  *) printf "install ok installed" ;;/' "$fake/dpkg-query"
PATH="$fake:$PATH" "$repo/script/bootstrap" all >/dev/null
check "all adds the test group" grep -q ' valgrind$' "$fake/apt.log"

check "an unknown group is a usage error" \
  bash -c "PATH='$fake:$PATH' '$repo/script/bootstrap' bogus 2>/dev/null; test \$? -eq 2"

echo "$((6 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
