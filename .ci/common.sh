# What the scripts in .ci/ share, sourced by them in the checkout's root.

# The arguments in the array `args`, each path among them named from the folder the command was
# given in ($here): plain arguments and the values of --option=value made absolute.
caller_paths() {
    args=()
    local arg
    for arg in "$@"; do
        case "$arg" in
            --*=/*|/*) args+=("$arg") ;;
            --*=*) args+=("${arg%%=*}=$here/${arg#*=}") ;;
            -*) args+=("$arg") ;;
            *) args+=("$here/$arg") ;;
        esac
    done
}

# The interpreter of the tooling's own virtual environment (pins/tooling.txt), made when missing.
tooling_python() {
    python3 -m tooling.venvs pins/tooling.txt
}

# Each of our files that the shared data (../shared/data) also holds must not drift from it.
same_as_shared() {
    local ours
    for ours in "$@"; do
        if [ -f "../shared/data/${ours##*/}" ]; then
            cmp "../shared/data/${ours##*/}" "$ours"
        fi
    done
}
