# bash completion for tavmerk-util                         -*- shell-script -*-

_tavmerk_util()
{
    local cur prev words cword
    _init_completion || return

    local commands="list info test update compact extract"
    local global="-h --help -q --quiet --version"

    # The command: the first word after the options.
    local i command=""
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -*) ;;
            *) command=${words[i]}; break ;;
        esac
    done

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$global" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi

    case $prev in
        -d)
            _filedir -d
            return
            ;;
        -o)
            _filedir
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        local options="-h --help -q --quiet"
        case $command in
            list) options+=" --json" ;;
            update) options+=" --dry-run" ;;
            compact) options+=" -o" ;;
            extract) options+=" -d --stdout --skip-existing --overwrite" ;;
        esac
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    # Arguments: the archive, then a tree for test and update; patterns
    # of extract are free text.
    local args=0
    for ((i = i + 1; i < cword; i++)); do
        case ${words[i]} in
            -d | -o) ((i++)) ;;
            -*) ;;
            *) ((args++)) ;;
        esac
    done
    case $command:$args in
        *:0) _filedir ;;
        test:1 | update:1) _filedir -d ;;
        extract:*) ;;
    esac
} &&
    complete -F _tavmerk_util tavmerk-util

# ex: filetype=sh
