# bash completion for velkarin, velkarin-programs and velkarin-dump.
# Installed as share/bash-completion/completions/<command>; or source it from ~/.bashrc.

_velkarin_files() {
    # Transport streams first; any file when none matches.
    local IFS=$'\n'
    COMPREPLY=($(compgen -f -X '!*.@(ts|TS|m2ts|M2TS|mts|MTS|trp|tp)' -- "$1"))
    [ ${#COMPREPLY[@]} -eq 0 ] && COMPREPLY=($(compgen -f -- "$1"))
    compopt -o filenames 2>/dev/null
}

_velkarin() {
    local cur prev
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    local options
    case "${COMP_WORDS[0]##*/}" in
        velkarin-programs)
            options="-a --all -o --output-dir --keep-si --progress --no-progress -h --help --version" ;;
        velkarin-dump)
            options="--packets --pat --cat --pmt --private --emm --streams --pids --pcr --flags --runs --json
                     --min-run --timeline --progress --no-progress -h --help --version" ;;
        *)
            options="-a --all -l --largest -r --each-run -o --output-dir --program --keep-si --min-run --json
                     -v --verbose --progress --no-progress -h --help --version" ;;
    esac
    case "$prev" in
        -o|--output-dir)
            local IFS=$'\n'
            COMPREPLY=($(compgen -d -- "$cur"))
            compopt -o filenames 2>/dev/null
            return ;;
        --program|--flags|--min-run)
            COMPREPLY=()
            return ;;
    esac
    if [[ "$cur" == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    else
        _velkarin_files "$cur"
    fi
}

complete -F _velkarin velkarin velkarin-programs velkarin-dump
