#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks what a user gets: the files, the udev rules, the manual pages, the completion.
# install_test.sh BUILD_DIR: of an install staged as the package's (prefix /usr, DESTDIR);
# install_test.sh /: of the installed package (its autopkgtest, debian/tests/control).
set -o pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
rules=/usr/lib/udev/rules.d
completions=/usr/share/bash-completion/completions
man1=/usr/share/man/man1
doc=/usr/share/doc/tovra-control
if [[ ${1:?usage: install_test.sh BUILD_DIR | /} == / ]]; then
    # dpkg's list, /lib as /usr/lib (one folder on a merged /usr), and debhelper's files on top of the install's.
    root='' readme=README.md.gz debian="$doc/copyright $doc/changelog.Debian.gz /usr/share/lintian/overrides/tovra-control"
    dpkg -L tovra-control | while read -r file; do [[ -f $file ]] && echo "${file/#\/lib\//\/usr\/lib\/}"; done | sort >"$work/files"
else
    root=$work/stage readme=README.md debian=''
    DESTDIR=$root cmake --install "$1" --prefix /usr >"$work/log" 2>&1 || { cat "$work/log" >&2; exit 1; }
    (cd "$root" && find . -type f | sed 's/^\.//' | sort) >"$work/files"
fi
# Exactly these files: nothing of the simulators or the tests.
printf '%s\n' /usr/bin/tovra-{control,terminal} $man1/tovra-{control,terminal}.1.gz $completions/tovra-{control,terminal} \
    $rules/60-tovra-control.rules $rules/61-tovra-control-uaccess.rules $rules/62-tovra-control-links.rules $doc/$readme \
    /usr/share/metainfo/org.example.tovra_control.metainfo.xml $debian | sort | diff - "$work/files" >&2 ||
    fail "installed files (- expected, + installed)"

# udev reads the rules in name order: the mark of the controller before the access to the marked node, and uaccess
# counts only before 73-seat-late.rules.
marker=$(grep -lxF 'SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device", ATTR{idVendor}=="6666", ATTR{idProduct}=="f100", ENV{ID_TOVRA_CONTROLLER}="1"' "$root$rules"/*)
access=$(grep -lxF 'SUBSYSTEM=="usb", ENV{ID_TOVRA_CONTROLLER}=="1", TAG+="uaccess", MODE="0660", GROUP="plugdev"' "$root$rules"/*)
[[ -n $marker && -n $access && ${marker##*/} < ${access##*/} && ${access##*/} < 73-seat-late.rules ]] ||
    fail "udev rules: the mark of 6666:f100 in '${marker##*/}', the access in '${access##*/}'"
# The /dev/tovra links need the mark too.
links=$(grep -lxF 'ENV{ID_SERIAL_SHORT}=="?*", SYMLINK+="tovra/by-serial/$env{ID_SERIAL_SHORT}"' "$root$rules"/*)
[[ -n $links && ${marker##*/} < ${links##*/} ]] && grep -qxF 'ENV{ID_PATH}=="?*", SYMLINK+="tovra/by-path/$env{ID_PATH}"' "$links" ||
    fail "udev rules: the links in '${links##*/}', the mark in '${marker##*/}'"

# udev's own check of the rules, where udevadm has it (systemd 254 on: Debian 13).
if udevadm verify --help >/dev/null 2>&1; then
    udevadm verify --resolve-names=never "$marker" "$access" "$links" >"$work/log" 2>&1 || fail "udevadm verify: $(cat "$work/log")"
fi

# Rendered by man without any groff warning (-ww), stamped with the project's version.
version=$(sed -n 's/^project(tovra-control VERSION \([0-9.]*\) .*/\1/p' "${0%/*}/../CMakeLists.txt")
for page in tovra-control tovra-terminal; do
    MANWIDTH=80 man --warnings=w -l "$root$man1/$page.1.gz" >"$work/page" 2>"$work/warnings"
    [[ -s $work/page && ! -s $work/warnings ]] || fail "$page.1: $(head -n 3 "$work/warnings")"
    zgrep -q "^\.TH [A-Z-]* 1 \"[0-9-]*\" \"tovra-control $version\"" "$root$man1/$page.1.gz" || fail "$page.1 is not stamped $version"
done

# Completion as bash-completion runs it, of the last of the words given.
complete_words() (
    source /usr/share/bash-completion/bash_completion
    source "$root$completions/tovra-control"
    COMP_WORDS=(tovra-control "$@")
    COMP_CWORD=$#
    COMP_LINE=${COMP_WORDS[*]}
    COMP_POINT=${#COMP_LINE}
    "$(complete -p tovra-control | sed 's/.*-F \([^ ]*\).*/\1/')" tovra-control "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' '
)
touch "$work/ttyFAKE0"
while IFS='|' read -r expected words; do
    read -ra line <<<"$words"
    actual=$(complete_words "${line[@]}")
    [[ $actual == "$expected" ]] || fail "completion of '$words': '$actual', expected '$expected'"
done <<EOF
--sky --sky+ --sky+hd|--sky
--scontroller|--sc
--feedback|--fe
$work/ttyFAKE0|--scontroller $work/tty
$work/ttyFAKE0|--sky+ --feedback $work/tty
1|--controller 1
|--controller /
EOF
((failures == 0)) || { echo "$failures install check(s) failed" >&2; exit 1; }
