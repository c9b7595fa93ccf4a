# bash completion for tavmerk-util                         -*- shell-script -*-

_tavmerk_util()
{
    local cur prev words cword
    _init_completion || return

    local commands="list info test update compact extract add remove rename mkdir create log undo diff patch serve"
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
        -o | --like)
            _filedir
            return
            ;;
        --to | --store | --max-remove | --at | --from | --port)
            return  # a folder or a pattern in the archive, a number, a version
            ;;
    esac

    if [[ $cur == -* ]]; then
        local options="-h --help -q --quiet"
        case $command in
            list) options+=" --json --at" ;;
            info | test) options+=" --at" ;;
            log) options+=" --json" ;;
            undo) options+=" --to --dry-run" ;;
            update) options+=" --dry-run --sync --force --max-remove" ;;
            add) options+=" --to --store --compress --dry-run" ;;
            remove) options+=" --drop --dry-run" ;;
            rename | mkdir) options+=" --dry-run" ;;
            create) options+=" --like --store --dry-run" ;;
            compact) options+=" -o --keep" ;;
            extract) options+=" -d --stdout --skip-existing --overwrite --at" ;;
            diff) options+=" --json --from --to" ;;
            patch) options+=" --force --dry-run --from --to" ;;
            serve) options+=" --port --write --open" ;;
        esac
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    # Arguments: the archive, then a tree for test, update and create,
    # files and folders on disk for add, archives for diff and patch (after
    # make or apply); patterns and paths in the archive are free text.
    local args=0
    for ((i = i + 1; i < cword; i++)); do
        case ${words[i]} in
            -d | -o | --to | --like | --store | --max-remove | --at | --from | --port) ((i++)) ;;
            -*) ;;
            *) ((args++)) ;;
        esac
    done
    case $command:$args in
        patch:0) COMPREPLY=($(compgen -W "make apply" -- "$cur")) ;;
        diff:* | patch:*) _filedir ;;
        *:0) _filedir ;;
        test:1 | update:1 | create:1) _filedir -d ;;
        add:*) _filedir ;;
        extract:* | remove:* | rename:* | mkdir:*) ;;
    esac
} &&
    complete -F _tavmerk_util tavmerk-util

# ex: filetype=sh
