#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh), checks what it holds and what it
# depends on, installs it, runs the installed programs, and removes it again: the
# machine keeps the packages it had before. Needs root (or sudo) for apt-get.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
started=$(date +%s)
package=nubo-usb-utility

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive

fail() {
    echo "package-test: FAILED: $*" >&2
    exit 1
}
step() {
    echo "package-test: $*"
}

if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    fail "$package is installed already; this test installs and removes it, so remove it first"
fi

deb="$("$root/scripts/package.sh" | tail -n 1)"
[ -f "$deb" ] || fail "scripts/package.sh printed no package path ($deb)"
build="$(dirname "$deb")"
step "built $deb ($(stat -c %s "$deb") bytes)"

# Does this tree define the headless tool yet? Then the build installs it.
if grep -rqs --include=cmake_install.cmake '/bin/nubo"' "$build"; then
    has_nubo=1
else
    has_nubo=0
fi

# ---------------------------------------------------------------------------
# Debian's checks of the package: no error may remain. What it only warns about is
# listed and let pass.
if ! command -v lintian >/dev/null; then
    step "installing lintian"
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends lintian >/dev/null 2>&1 || {
        "${sudo_cmd[@]}" apt-get update -qq
        "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends lintian >/dev/null
    }
fi
lintian_output="$(lintian --tag-display-limit 0 --display-info "$deb" 2>&1)" || true
[ -z "$lintian_output" ] || printf '%s\n' "$lintian_output" | sed 's/^/package-test: lintian: /'
if grep -q '^E: ' <<<"$lintian_output"; then
    fail "lintian reports errors: $(grep '^E: ' <<<"$lintian_output" | tr '\n' ' ')"
fi
step "lintian: no errors ($(grep -c '^W: ' <<<"$lintian_output" || true) warnings)"

# The changelog speaks of the version that is packed.
version_packed="$(dpkg-deb -f "$deb" Version)"
version_logged="$(dpkg-parsechangelog -l "$root/packaging/debian/changelog" -S Version)"
[ "$version_packed" = "$version_logged" ] ||
    fail "the changelog's latest entry is $version_logged, the package's version $version_packed"

# ---------------------------------------------------------------------------
# Contents: the programs, the rule, the desktop entry, the icons, the manual pages
# and Debian's documentation files; nothing else.
contents="$(dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./|/|')"
expected=(
    /usr/bin/nubo-usb-utility
    /usr/bin/nubo-devsim
    /usr/lib/udev/rules.d/70-nubo-usb.rules
    /usr/lib/systemd/system/nubo-station@.service
    /usr/share/applications/nubo-usb-utility.desktop
    /usr/share/icons/hicolor/48x48/apps/nubo-usb-utility.png
    /usr/share/icons/hicolor/256x256/apps/nubo-usb-utility.png
    /usr/share/icons/hicolor/scalable/apps/nubo-usb-utility.svg
    /usr/share/man/man1/nubo-usb-utility.1.gz
    /usr/share/man/man1/nubo-devsim.1.gz
    /usr/share/doc/nubo-usb-utility/copyright
    /usr/share/doc/nubo-usb-utility/changelog.gz
)
[ "$has_nubo" = 1 ] && expected+=(/usr/bin/nubo /usr/share/man/man1/nubo.1.gz)
for path in "${expected[@]}"; do
    grep -qx "$path" <<<"$contents" || fail "the package lacks $path"
done
unexpected="$(grep -v '/$' <<<"$contents" |
    grep -Ev '^/usr/(bin/nubo(-usb-utility|-devsim)?|lib/udev/rules\.d/[^/]+\.rules|lib/systemd/system/nubo-station@\.service|share/applications/[^/]+\.desktop|share/icons/hicolor/.+|share/bash-completion/completions/nubo|share/man/man1/nubo(-usb-utility|-devsim)?\.1\.gz|share/doc/nubo-usb-utility/(copyright|changelog\.gz))$' || true)"
[ -z "$unexpected" ] || fail "the package holds files that are not the programs': $unexpected"
step "contents ok: ${#expected[@]} expected files, nothing else"

# ---------------------------------------------------------------------------
# Depends: computed by dpkg-shlibdeps from the programs, so it names the C and C++
# runtimes and the libraries JUCE links.
depends="$(dpkg-deb -f "$deb" Depends)"
[ -n "$depends" ] || fail "the package has no Depends field"
for library in libc6 libstdc++6 libfreetype6 libx11-6; do
    tr ',|' '\n\n' <<<"$depends" | awk '{ print $1 }' | grep -qxF "$library" || fail "Depends lacks $library: $depends"
done
grep -Eq 'libc6 \(>= [0-9]' <<<"$depends" || fail "Depends carries no computed version for libc6: $depends"
# A package named twice (once by hand, once by dpkg-shlibdeps) is one too many.
twice="$(tr ',' '\n' <<<"$depends" | awk '{ print $1 }' | sort | uniq -d)"
[ -z "$twice" ] || fail "Depends names $(tr '\n' ' ' <<<"$twice")more than once: $depends"
step "Depends: $depends"

# ---------------------------------------------------------------------------
# Install, and whatever happens next, put the machine back as it was.
scratch="$(mktemp -d)"
before="$scratch/packages-before"
# (The package's own record is left out: an earlier removal without purge may have left one.)
dpkg-query -W -f='${Package}:${Architecture} ${db:Status-Abbrev}\n' | grep -v "^$package:" | sort >"$before"
devsim_pid=""

cleanup() {
    local status=$?
    set +e # every step of the clean-up runs, whatever the one before did
    [ -n "$devsim_pid" ] && kill "$devsim_pid" 2>/dev/null && wait "$devsim_pid" 2>/dev/null
    # Installed, or left half-way by a failed installation.
    if [[ ! "$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null)" =~ ^(|un.*|rc.*|pn.*)$ ]]; then
        # Also whatever the installation pulled in that was not here before.
        mapfile -t added < <(dpkg-query -W -f='${Package}:${Architecture} ${db:Status-Abbrev}\n' | sort | comm -13 "$before" - |
            grep -v "^$package:" | cut -d" " -f1 || true)
        step "removing $package ${added[*]:-}"
        "${sudo_cmd[@]}" apt-get purge -y -qq "$package" "${added[@]}" >/dev/null
    fi
    rm -rf "$scratch"
    exit $status
}
trap cleanup EXIT

if ! "${sudo_cmd[@]}" apt-get install -y -qq "$deb" >"$scratch/install.log" 2>&1; then
    # Missing dependencies need the package lists.
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq "$deb" >"$scratch/install.log" 2>&1 || {
        cat "$scratch/install.log" >&2
        fail "apt-get install $deb"
    }
fi
for path in "${expected[@]}"; do
    [ -e "$path" ] || fail "$path is not there after installing"
done
step "installed"

# ---------------------------------------------------------------------------
# The installed programs, each from its installed place.
export XDG_CONFIG_HOME="$scratch/config" # no settings written into this user's home
mkdir -p "$scratch/fs" "$scratch/device-root"
cp -r "$root/tools/devsim/sample-device/." "$scratch/fs/"
/usr/bin/nubo-devsim --fs "$scratch/fs" --device-root "$scratch/device-root" >"$scratch/devsim.out" 2>&1 &
devsim_pid=$!
for _ in $(seq 100); do
    grep -q '^READY ' "$scratch/devsim.out" && break
    kill -0 "$devsim_pid" 2>/dev/null || break
    sleep 0.1
done
grep -q '^READY ' "$scratch/devsim.out" || fail "the installed nubo-devsim did not start: $(cat "$scratch/devsim.out")"
step "nubo-devsim runs: $(head -n 1 "$scratch/devsim.out")"

if [ "$has_nubo" = 1 ]; then
    version="$(/usr/bin/nubo --version)" || fail "nubo --version"
    [ -n "$version" ] || fail "nubo --version printed nothing"
    step "nubo --version: $version"
    ports="$(NUBO_DEVICE_ROOT="$scratch/device-root" /usr/bin/nubo ports --json)" || fail "nubo ports --json"
    if command -v python3 >/dev/null; then
        python3 -c 'import json, sys; json.loads(sys.stdin.read())' <<<"$ports" || fail "nubo ports --json is not JSON: $ports"
    else
        [[ "$ports" =~ ^[[:space:]]*[\[{] ]] || fail "nubo ports --json is not JSON: $ports"
    fi
    grep -q 'ttyACM0' <<<"$ports" || fail "nubo ports --json does not list the simulated port: $ports"
    step "nubo ports --json: $ports"
else
    step "skipped: nubo not built (nubo --version, nubo ports --json)"
fi

# The GUI in a virtual display: still running a second after its start, with its window up.
cat >"$scratch/gui.sh" <<'GUI'
#!/usr/bin/env bash
/usr/bin/nubo-usb-utility >"$1/gui.log" 2>&1 &
pid=$!
sleep 1
if ! kill -0 "$pid" 2>/dev/null; then
    wait "$pid"
    echo "the installed GUI ended within a second (status $?): $(cat "$1/gui.log")"
    exit 1
fi
window=no
if command -v xdotool >/dev/null; then
    for _ in $(seq 150); do
        xdotool search --name '^USB File Utility$' >/dev/null 2>&1 && { window=yes; break; }
        sleep 0.1
    done
    [ "$window" = yes ] || { kill "$pid"; echo "the installed GUI showed no window"; exit 1; }
fi
kill "$pid"
wait "$pid" 2>/dev/null || true
echo "window: $window"
GUI
gui="$(NUBO_DEVICE_ROOT="$scratch/device-root" xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" bash "$scratch/gui.sh" "$scratch")" ||
    fail "$gui"
step "nubo-usb-utility runs under Xvfb ($gui)"

kill "$devsim_pid" && wait "$devsim_pid" 2>/dev/null || true
devsim_pid=""

# ---------------------------------------------------------------------------
trap - EXIT
mapfile -t added < <(dpkg-query -W -f='${Package}:${Architecture} ${db:Status-Abbrev}\n' | sort | comm -13 "$before" - |
    grep -v "^$package:" | cut -d" " -f1 || true)
"${sudo_cmd[@]}" apt-get remove -y -qq "$package" >/dev/null
# Its maintainer scripts keep a record in dpkg until it is purged; what came with it goes as well.
"${sudo_cmd[@]}" apt-get purge -y -qq "$package" "${added[@]}" >/dev/null
[ ! -e /usr/bin/nubo-usb-utility ] || fail "/usr/bin/nubo-usb-utility is still there after removing"
[ ! -e /usr/lib/udev/rules.d/70-nubo-usb.rules ] || fail "the udev rule is still there after removing"
after="$(dpkg-query -W -f='${Package}:${Architecture} ${db:Status-Abbrev}\n' | grep -v "^$package:" | sort)"
[ "$after" = "$(cat "$before")" ] || fail "the installed packages differ from before: $(diff "$before" - <<<"$after")"
rm -rf "$scratch"
step "removed; the installed packages are as before"
step "passed in $(($(date +%s) - started)) s"
