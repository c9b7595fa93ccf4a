# bash completion for tavmerk-mount                        -*- shell-script -*-

_tavmerk_mount()
{
    local cur prev words cword
    _init_completion || return

    case $prev in
        --cache-size)
            return
            ;;
        -o)
            COMPREPLY=($(compgen -W "allow_other default_permissions attr_timeout= entry_timeout= at= unlink=mark unlink=drop compact= keep= ro" -- "$cur"))
            [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "-f -d -o --read-only --cache-size -h --help --version" -- "$cur"))
        return
    fi

    # The archive, then the mount point (a folder).
    local i args=0
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -o | --cache-size) ((i++)) ;;
            -*) ;;
            *) ((args++)) ;;
        esac
    done
    if ((args == 0)); then
        _filedir
    elif ((args == 1)); then
        _filedir -d
    fi
} &&
    complete -F _tavmerk_mount tavmerk-mount

# ex: filetype=sh
