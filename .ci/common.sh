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

# The interpreter of the virtual environment the README's test command makes (the project
# installed, with its test and docs extras): what the stages that import the project, or run its
# suite, run in. The others run in the tooling's own (python3 -m tooling MODULE).
readme_python() {
    local venv
    venv=$(python3 -m stages.readme_commands --venv)
    if [ ! -x "$venv/bin/python" ]; then
        echo "${0##*/}: no $venv: make it first with the README's test command" >&2
        return 1
    fi
    echo "$venv/bin/python"
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
