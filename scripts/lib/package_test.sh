# The package test: builds the Debian packages from debian/, checks them
# with lintian, installs them on this machine with apt-get, runs the
# installed mlhost against the card emulator on the private pcscd with no
# ML_* variable set, then removes and purges them and looks for leftovers.
# Needs root. Sourced by scripts/test.
#
#   ml_package_test ROOT WORK CARDSIM
#     ROOT     the source tree
#     WORK     a scratch folder of the run
#     CARDSIM  the mlcardsim program of the build
#   Needs the private pcscd (PCSCLITE_CSOCK_NAME, ML_VPCD_PORT) running.
#   Sets ML_PACKAGE_PASSED and ML_PACKAGE_FAILED; prints its own count.

ML_PACKAGES_BUILT=(mlcardmanx mlcardmanx-gtk mlcardmanx-tools mlcardmanx-dev)

# The paths the packages own or make; none may exist before the test nor
# after the purge.
ml_package_paths() {
    local triplet
    triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    printf '%s\n' /etc/kestrel /var/lib/kestrel "/usr/lib/$triplet/mlcardmanx" \
        /usr/include/mlcardmanx "/usr/lib/$triplet/pkgconfig/mlcardmanx.pc" /usr/bin/mlhost \
        /usr/bin/mldialog-gtk /usr/share/man/man1/mlhost.1.gz /usr/share/man/man1/mldialog-gtk.1.gz \
        /usr/lib/systemd/user/mlhost-watch.service /usr/share/doc/mlcardmanx \
        /usr/share/doc/mlcardmanx-tools /usr/share/doc/mlcardmanx-dev /usr/share/doc/mlcardmanx-gtk \
        /etc/kestrel/mlhost-watch.conf
}

ml_package_test() {
    local root=$1 work=$2 cardsim=$3
    local out=$work/package pass=0 fail=0 p
    local settings=/etc/kestrel/MorlindLogon/Settings
    local diagnostics=/var/lib/kestrel/documents/Kestrel/MorlindLogon/Diagnostics
    mkdir -p "$out"

    check() { # description command...
        local what=$1
        shift
        if "$@" >>"$out/checks.log" 2>&1; then
            pass=$((pass + 1))
        else
            fail=$((fail + 1))
            echo "package test: FAILED: $what" >&2
        fi
    }
    # The installed mlhost with no ML_* variable in its environment, without
    # a controlling terminal. The process keeps the subshell's id, so that
    # $! of a background call is mlhost itself.
    installed_mlhost() {
        local unset=() v
        for v in $(compgen -e); do
            case $v in ML_*) unset+=(-u "$v") ;; esac
        done
        (exec env "${unset[@]}" setsid /usr/bin/mlhost "$@")
    }
    wait_for_lines() { # file pattern count: up to 20 s; the card stack polls every 0.25 to 0.4 s
        local i
        for ((i = 0; i < 200; i++)); do
            [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -ge "$3" ] && return 0
            sleep 0.1
        done
        return 1
    }
    absent() { # every path given is missing
        local q
        for q in "$@"; do
            if [ -e "$q" ] || [ -L "$q" ]; then
                echo "left: $q"
                return 1
            fi
        done
    }

    for p in $(ml_package_paths); do
        if [ -e "$p" ]; then
            echo "package test: $p exists before the test; remove the installation first" >&2
            ML_PACKAGE_PASSED=0 ML_PACKAGE_FAILED=1
            return 1
        fi
    done

    # 1. Build in a copy of the tree at a fixed place, so that the compiler
    #    cache finds the objects of the previous run.
    local deb=$root/build-deb start=$SECONDS
    rm -rf "$deb"
    mkdir -p "$deb/src"
    tar -C "$root" --exclude='./build*' --exclude=./.git --exclude=./out -cf - . | tar -C "$deb/src" -xf -
    if ! (cd "$deb/src" && DEB_BUILD_OPTIONS="noddebs nocheck" dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1; then
        tail -n 40 "$out/build.log" >&2
        echo "package test: dpkg-buildpackage failed" >&2
        ML_PACKAGE_PASSED=0 ML_PACKAGE_FAILED=1
        return 1
    fi
    echo "package test: packages built in $((SECONDS - start)) s"
    local rc=0
    lintian --fail-on error --no-tag-display-limit "$deb"/*.changes >"$out/lintian.log" 2>&1 || rc=$?
    check "lintian reports no errors ($out/lintian.log)" test "$rc" -eq 0
    sed 's/^/    /' "$out/lintian.log"

    # The installed module uses the machine's named objects (no namespace);
    # those this test makes are removed at its end.
    local shm_before
    shm_before=$(ls /dev/shm 2>/dev/null | grep '^Global' || true)

    # 2. Install from the files, as an administrator does.
    ML_PACKAGE_INSTALLED=1
    check "apt-get install ./*.deb" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q "$deb"/*.deb
    mkdir -p "$out/runtime"
    chmod 700 "$out/runtime"
    check "systemd-analyze verify mlhost-watch.service" env XDG_RUNTIME_DIR="$out/runtime" \
        systemd-analyze --user verify /usr/lib/systemd/user/mlhost-watch.service
    check "the unit is installed disabled" \
        test ! -e /etc/systemd/user/default.target.wants/mlhost-watch.service
    check "man pages installed" test -s /usr/share/man/man1/mlhost.1.gz -a \
        -s /usr/share/man/man1/mldialog-gtk.1.gz

    # 3. The installed mlhost against the emulator on the default device, the
    #    CT-API terminal on the first virtual reader.
    local card_pid watch_pid image=$out/card.img
    "$cardsim" --family class80 --port "$ML_VPCD_PORT" --image "$image" 2>>"$out/cardsim.log" &
    card_pid=$!
    rc=0
    printf 'Pkg-Test-pw\n' | installed_mlhost set --user pkguser --domain PKG >"$out/set.out" 2>&1 || rc=$?
    check "installed mlhost set" test "$rc" -eq 0
    sed -i 's/^Debug=.*/Debug=1/' "$settings/mldebug.ini"
    installed_mlhost get --json </dev/null >"$out/get.out" 2>&1 || true
    check "installed mlhost get" grep -q '"user":"pkguser","domain":"PKG","password":"\*\*\*","error":""' "$out/get.out"
    check "the debug log switched on in /etc lands in the documents folder" \
        compgen -G "$diagnostics/*mlcardmanx_debug.log"
    installed_mlhost status </dev/null >"$out/status.out" 2>&1 || true
    check "installed mlhost status" grep -qx "registry root: /etc/kestrel/registry" "$out/status.out"
    check "status: the settings file of the package" grep -qx \
        "settings file: /var/lib/kestrel/documents/Kestrel/MorlindLogon/Settings/mlsettings.ini" \
        "$out/status.out"
    check "status: the debug log is on" grep -qx "debug log: on" "$out/status.out"
    sed 's/^/    /' "$out/status.out"

    (
        for v in $(compgen -e); do
            case $v in ML_*) unset "$v" ;; esac
        done
        exec setsid /usr/bin/mlhost watch --json --timeout 120
    ) </dev/null >"$out/watch.out" 2>"$out/watch.err" &
    watch_pid=$!
    check "watch: the state at start" wait_for_lines "$out/watch.out" '"notice":"inserted"' 1
    kill "$card_pid" && wait "$card_pid" || true
    check "watch: removal" wait_for_lines "$out/watch.out" '"notice":"removed"' 1
    kill "$watch_pid" || true
    rc=0
    wait "$watch_pid" || rc=$?
    check "watch ends with 0 on SIGTERM" test "$rc" -eq 0
    sed 's/^/    /' "$out/watch.out"

    # 4. An upgrade (here: the same version again) keeps the edited conffile.
    check "reinstall" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall \
        -o Dpkg::Options::=--force-confold "$deb"/*.deb
    check "the edited conffile survives the upgrade" grep -q '^Debug=1' "$settings/mldebug.ini"

    # 5. Remove keeps the conffiles and the logs, purge takes them away.
    local triplet
    triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    check "apt-get remove" env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q "${ML_PACKAGES_BUILT[@]}"
    check "remove keeps the conffiles" test -f "$settings/mldebug.ini" -a \
        -f /etc/kestrel/mlhost-watch.conf -a \
        -f /etc/kestrel/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Kestrel/APPSW/MorlindLogon/Path
    check "remove keeps the logs" compgen -G "$diagnostics/*mlcardmanx_debug.log"
    check "remove takes the programs" absent /usr/bin/mlhost "/usr/lib/$triplet/mlcardmanx" \
        /usr/include/mlcardmanx
    # Only the packages with conffiles are left after remove.
    check "apt-get purge" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q mlcardmanx \
        mlcardmanx-tools
    check "nothing left after purge" absent $(ml_package_paths)
    check "dpkg forgot the packages" test -z "$(dpkg-query -W -f='${db:Status-Abbrev}\n' \
        "${ML_PACKAGES_BUILT[@]}" 2>/dev/null | grep -v '^un' || true)"
    ML_PACKAGE_INSTALLED=0

    local entry
    for entry in $(ls /dev/shm 2>/dev/null | grep '^Global' || true); do
        grep -qxF "$entry" <<<"$shm_before" || rm -f "/dev/shm/$entry"
    done

    echo "package test: $pass passed, $fail failed"
    ML_PACKAGE_PASSED=$pass ML_PACKAGE_FAILED=$fail
    [ "$fail" -eq 0 ]
}

# Ends an installation the package test left behind (a run that was stopped).
ml_package_cleanup() {
    if [ "${ML_PACKAGE_INSTALLED:-0}" = 1 ]; then
        dpkg --purge "${ML_PACKAGES_BUILT[@]}" >/dev/null 2>&1 || true
        ML_PACKAGE_INSTALLED=0
    fi
}
