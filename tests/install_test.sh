#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the build into a staging folder as a package would (prefix /usr,
# DESTDIR) and checks what a user gets: the files and their places, the udev
# rules, the manual pages and the bash completion.
#
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
# The install folders: BINDIR, MANDIR, DOCDIR from the environment, as
# GNUInstallDirs set them; the udev and completion folders from the build's
# CMake cache.
set -uo pipefail
build=${1:?usage: install_test.sh BUILD_DIR SOURCE_DIR}
source_dir=${2:?usage: install_test.sh BUILD_DIR SOURCE_DIR}

cached() {
    local value
    value=$(sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt")
    [[ -n $value ]] || { echo "FAIL: $1 is not in $build/CMakeCache.txt" >&2; exit 1; }
    echo "$value"
}
: "${BINDIR:?}" "${MANDIR:?}" "${DOCDIR:?}"
UDEV_RULES_DIR=$(cached TOVRA_UDEV_RULES_DIR) || exit 1
BASH_COMPLETION_DIR=$(cached TOVRA_BASH_COMPLETION_DIR) || exit 1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

# A folder below the prefix, or an absolute one as it is.
under_prefix() { [[ $1 == /* ]] && echo "$1" || echo "/usr/$1"; }

# ---------------------------------------------------------------- install
if ! DESTDIR=$stage cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    echo "FAIL: cmake --install" >&2
    exit 1
fi

bin=$(under_prefix "$BINDIR")
man1=$(under_prefix "$MANDIR")/man1
doc=$(under_prefix "$DOCDIR")
rules=$(under_prefix "$UDEV_RULES_DIR")
completions=$(under_prefix "$BASH_COMPLETION_DIR")

[[ $rules == /usr/lib/udev/rules.d || $rules == /etc/udev/rules.d || $rules == /lib/udev/rules.d ]] ||
    fail "udev rules go to $rules, where udev does not look"

# Exactly these files, the manual pages compressed or not; nothing of the
# simulators or the tests.
expected=$(sort <<EOF
$bin/tovra-control
$bin/tovra-terminal
$man1/tovra-control.1
$man1/tovra-terminal.1
$rules/60-tovra-control.rules
$rules/61-tovra-control-uaccess.rules
$completions/tovra-control
$completions/tovra-terminal
$doc/README.md
EOF
)
actual=$(cd "$stage" && find . -type f -o -type l | sed 's/^\.//; s/\.gz$//' | sort)
if [[ $actual == "$expected" ]]; then
    pass "installed files"
else
    fail "installed files differ from the expected ones:"
    diff <(echo "$expected") <(echo "$actual") >&2
fi

for program in tovra-control tovra-terminal; do
    [[ -x $stage$bin/$program ]] || fail "$bin/$program is not executable"
done
# The staged program is the real one: no arguments, usage on stderr, status 1.
"$stage$bin/tovra-control" >"$work/out" 2>"$work/err"
status=$?
if [[ $status -eq 1 && ! -s $work/out ]] && head -n 1 "$work/err" | grep -qx "$stage$bin/tovra-control syntax:"; then
    pass "installed tovra-control prints its usage"
else
    fail "installed tovra-control without arguments: status $status, stderr: $(head -n 1 "$work/err")"
fi

# ---------------------------------------------------------------- udev rules
marker=$stage$rules/60-tovra-control.rules
policy=$stage$rules/61-tovra-control-uaccess.rules

# Every rule line is a list of KEY op "value" pairs separated by commas.
pair='[A-Z_]+(\{[A-Za-z_]+\})?[[:space:]]*(==|!=|=|\+=|-=|:=)[[:space:]]*"[^"]*"'
for file in "$marker" "$policy"; do
    grep -Ev '^[[:space:]]*(#|$)' "$file" | while IFS= read -r line; do
        [[ $line =~ ^$pair([[:space:]]*,[[:space:]]*$pair)*[[:space:]]*$ ]] || echo "$line"
    done >"$work/bad"
    [[ -s $work/bad ]] && fail "$(basename "$file"): malformed rule: $(head -n 1 "$work/bad")"
done

# One rule line holds every key: the match on the controller and the mark.
has_all() {
    local file=$1 line key ok
    shift
    while IFS= read -r line; do
        ok=1
        for key in "$@"; do [[ $line == *"$key"* ]] || ok=0; done
        ((ok)) && return 0
    done < <(grep -Ev '^[[:space:]]*#' "$file")
    return 1
}
if has_all "$marker" 'SUBSYSTEM=="usb"' 'ATTR{idVendor}=="6666"' 'ATTR{idProduct}=="f100"' 'ENV{ID_TOVRA_CONTROLLER}="1"'; then
    pass "60- rule marks 6666:f100"
else
    fail "60-tovra-control.rules does not mark vendor 6666 product f100 with ID_TOVRA_CONTROLLER"
fi
if has_all "$policy" 'ENV{ID_TOVRA_CONTROLLER}=="1"' 'TAG+="uaccess"' 'MODE="0660"' 'GROUP="plugdev"'; then
    pass "61- rule grants uaccess and plugdev"
else
    fail "61-tovra-control-uaccess.rules does not give the marked device uaccess, 0660 and plugdev"
fi
grep -q 'ID_TOVRA_CONTROLLER}=="1"' "$marker" && fail "the 60- rule must set the mark, not test it"

# udev reads the rules in name order: the mark before the policy, and the
# uaccess tag before 73-seat-late.rules turns it into an ACL.
order=$(printf '%s\n' 73-seat-late.rules 61-tovra-control-uaccess.rules 60-tovra-control.rules 70-uaccess.rules | LC_ALL=C sort)
if [[ $order == $'60-tovra-control.rules\n61-tovra-control-uaccess.rules\n70-uaccess.rules\n73-seat-late.rules' ]]; then
    pass "rules sort before 73-seat-late"
else
    fail "udev rule order: $order"
fi

# ---------------------------------------------------------------- manual pages
# Renders a page as plain text on one long line, so that messages can be found
# whole; groff's warnings go to the second file.
render() { groff -wall -man -Tutf8 -P-cbou -rLL=250n "$1" 2>"$2" | tr -s ' \n' '  '; }

for page in tovra-control tovra-terminal; do
    installed=$stage$man1/$page.1
    [[ -f $installed.gz ]] && installed=$installed.gz
    if [[ $installed == *.gz ]]; then
        gzip -dc "$installed" >"$work/$page.1"
    else
        cp "$installed" "$work/$page.1"
    fi
    cmp -s "$work/$page.1" "$source_dir/dist/$page.1" || fail "$page.1 installed differs from dist/$page.1"

    render "$work/$page.1" "$work/$page.warnings" >"$work/$page.txt"
    if [[ -s $work/$page.warnings ]]; then
        fail "groff -wall warns on $page.1: $(head -n 3 "$work/$page.warnings")"
    else
        pass "groff -wall renders $page.1 without warnings"
    fi
    if command -v man >/dev/null; then
        MANWIDTH=80 man --warnings -l "$installed" >"$work/$page.man" 2>"$work/$page.manwarn"
        if [[ -s $work/$page.manwarn || ! -s $work/$page.man ]]; then
            fail "man -l $page: $(head -n 3 "$work/$page.manwarn")"
        else
            pass "man -l renders $page"
        fi
    fi
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES EXAMPLES "SEE ALSO"; do
        grep -q -- " $section " "$work/$page.txt" || fail "$page.1 has no $section section"
    done
done

# The exit-status list quotes the program's own messages; each must be there,
# letter for letter, so that a changed message shows here.
control_messages=(
    "output number 'N' out of range."
    "controller number 'text' out of range: use 1 to 255"
    "opening log file file for writing failed: error"
    "tovra_usb_initalise failed"
    "unable to create tovra controller handle index"
    "tovra_usb_finddevice(found) failed to find device 6666-f100"
    "unable to find USB tovra controller number index"
    "Please check the controller is connected."
    "If you are using a serial controller please specify the port it is connected to use the --scontroller command line switch."
    "usb_open failed: error"
    "usb_set_configuration failed: error"
    "usb_claim_interface failed: error"
    "usb_interrupt_write failed: error"
    "usb_interrupt_read failed: error"
    "tovra_usb_sendcommand failed: error"
    "tovra_usb_sendconfig failed: error"
    "The USB controller is not writable for this user: install the tovra-control udev rules, join the plugdev group (or log in locally), then unplug and replug the controller."
    "Setup can only be sent to output 1 or 2, not output N."
    "Opening serial port failed: error"
    "Configuration sending not supported for serial devices."
    "tovra_serial_sendcommand failed: error"
    "Invalid command code: 'word'"
    "Invalid channel number 'channel'"
    "Opening feedback serial port failed: error"
    "Tuning successful, channel 'N' selected"
    "Tuning failed, channel 'N' selected"
    "Channel error: text"
    "select timed out"
    "Failed reading response from sky box."
    "unable to create the reader for the feedback port: out of memory"
    "is still in use by another run after 30 seconds, giving up."
    "Waiting for another run using"
    "runs at the same time may interfere."
    "Failed"
    "60-tovra-control.rules"
    "61-tovra-control-uaccess.rules"
    "73-seat-late"
    "dialout"
    "plugdev"
)
terminal_messages=(
    "Got escape char, exitting"
    "Got EOF on stdin"
    "Got EOF on serial port"
    "write(serialfd): error"
    "write(stdout): error"
    "read(stdin): error"
    "read(serial): error"
    "Unknown baudrate: speed"
    "tovra-terminal: cannot open serial port port"
    "tovra-terminal: could not restore the console settings"
    "dialout"
)
check_messages() {
    local page=$1 missing=0 message
    shift
    for message in "$@"; do
        grep -qF -- "$message" "$work/$page.txt" || {
            fail "$page.1 does not quote: $message"
            missing=1
        }
    done
    ((missing)) || pass "$page.1 quotes the program's messages"
}
check_messages tovra-control "${control_messages[@]}"
check_messages tovra-terminal "${terminal_messages[@]}"

# The quoted messages really are the program's: each appears in its source.
for message in "Please check the controller is connected." "Failed reading response from sky box." \
    "Configuration sending not supported for serial devices." "The USB controller is not writable for this user" \
    "is still in use by another run after %d seconds, giving up." "runs at the same time may interfere."; do
    grep -rqF -- "$message" "$source_dir/shared" "$source_dir/tovra-control-lib.cpp" ||
        fail "the manual page quotes a message the program no longer has: $message"
done

# ---------------------------------------------------------------- completion
ports=$work/ports
mkdir -p "$ports"
touch "$ports/ttyFAKE0" "$ports/ttyFAKE1" "$ports/log.txt"

# Runs one completion in a fresh bash and prints COMPREPLY, one per line.
# $1: "full" with the bash-completion package loaded, "bare" without;
# $2: the command; the rest: the words, the last being completed. As bash
# does, "--opt=value" arrives as three words "--opt" "=" "value".
complete_words() {
    local mode=$1 command=$2
    shift 2
    bash --norc --noprofile -s -- "$mode" "$stage$completions/$command" "$@" <<'EOS'
mode=$1 script=$2
shift 2
if [[ $mode == full ]]; then
    [[ -r /usr/share/bash-completion/bash_completion ]] || exit 3
    source /usr/share/bash-completion/bash_completion
fi
source "$script" || exit 4
COMP_WORDS=("$@")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMP_LINE=""
for ((i = 0; i < ${#COMP_WORDS[@]}; i++)); do
    word=${COMP_WORDS[i]}
    if [[ $word == = || ${COMP_WORDS[i - 1]} == = ]]; then COMP_LINE+=$word; else COMP_LINE+=${COMP_LINE:+ }$word; fi
done
COMP_POINT=${#COMP_LINE}
function=$(complete -p "$1" | sed -n 's/.*-F \([^ ]*\).*/\1/p')
[[ -n $function ]] || exit 5
COMPREPLY=()
"$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort
EOS
}

expect_completion() {
    local expected=$1 mode=$2 actual
    shift 2
    actual=$(complete_words "$mode" "$@")
    if [[ $actual == "$expected" ]]; then
        pass "completion ($mode) of: ${*:2}"
    else
        fail "completion ($mode) of: ${*:2}"$'\n'"  expected: ${expected//$'\n'/ }"$'\n'"  got:      ${actual//$'\n'/ }"
    fi
}

fakes="$ports/ttyFAKE0"$'\n'"$ports/ttyFAKE1"
modes=(bare)
[[ -r /usr/share/bash-completion/bash_completion ]] && modes+=(full)
for mode in "${modes[@]}"; do
    expect_completion $'--sky\n--sky+\n--sky+hd' "$mode" tovra-control tovra-control --sky
    expect_completion $'--sky+\n--sky+hd' "$mode" tovra-control tovra-control --output 2 --sky+
    expect_completion $'--scontroller' "$mode" tovra-control tovra-control --sc
    expect_completion "$fakes" "$mode" tovra-control tovra-control --scontroller "$ports/tty"
    expect_completion "$fakes" "$mode" tovra-control tovra-control --sky+ --feedback "$ports/tty"
    expect_completion "$fakes" "$mode" tovra-control tovra-control --sky+ --feedback = "$ports/tty"
    expect_completion "$fakes" "$mode" tovra-control tovra-control --scontroller = "$ports/tty"
    expect_completion "$ports/log.txt" "$mode" tovra-control tovra-control --log "$ports/lo"
    expect_completion "$(printf '%s\n' 1 10 11 12 13 14 15 | sort)" "$mode" tovra-control tovra-control --output 1
    expect_completion "" "$mode" tovra-control tovra-control --channel ""
    expect_completion "" "$mode" tovra-control tovra-control 0C01 0C
    expect_completion "$fakes" "$mode" tovra-terminal tovra-terminal "$ports/tty"
    expect_completion $'115200\n19200' "$mode" tovra-terminal tovra-terminal /dev/ttyS0 1
    expect_completion "--help" "$mode" tovra-terminal tovra-terminal --h

    # With nothing typed, only serial devices that exist are offered.
    while IFS= read -r port; do
        [[ -n $port && -c $port ]] || fail "completion ($mode) of --feedback offers $port, which is no device"
    done < <(complete_words "$mode" tovra-control tovra-control --feedback "")
done

# Bash-completion finds the script on demand by the command's name.
if [[ " ${modes[*]} " == *" full "* ]]; then
    loaded=$(XDG_DATA_DIRS=$stage/usr/share bash --norc --noprofile -c '
        source /usr/share/bash-completion/bash_completion
        for c in tovra-control tovra-terminal; do
            _completion_loader "$c" >/dev/null 2>&1
            complete -p "$c" 2>/dev/null
        done')
    if [[ $loaded == *"_tovra_control tovra-control"* && $loaded == *"_tovra_terminal tovra-terminal"* ]]; then
        pass "bash-completion loads both scripts on demand"
    else
        fail "bash-completion does not load the scripts from $completions: $loaded"
    fi
fi

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all install checks passed"
