# bash completion for volkit
_volkit() {
    local cur prev words cword
    _init_completion 2>/dev/null || { cur=${COMP_WORDS[COMP_CWORD]}; prev=${COMP_WORDS[COMP_CWORD-1]}; words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD; }
    local commands="mkfs info ls stat cat get put mkdir rm touch attrib mv ln check mount help"
    local global="--engine --offset --partition --verbose --help --version"
    case $prev in
        --engine) COMPREPLY=($(compgen -W "native ntfs3g" -- "$cur")); return ;;
        --offset|--partition|--size|--cluster-size|--label|--mtime|--atime|--ctime) return ;;
    esac
    local command="" word
    for word in "${words[@]:1:cword-1}"; do
        case " $commands " in *" $word "*) command=$word; break ;; esac
    done
    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands $global" -- "$cur"))
        return
    fi
    if [[ $command == help ]]; then
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        return
    fi
    local options
    case $command in
        mkfs) options="--size --cluster-size --label --full --force" ;;
        info|stat) options="--json" ;;
        check) options="--json --repair" ;;
        ls) options="-l -R -a --streams --json" ;;
        get) options="-r --force --no-preserve --no-holes" ;;
        put) options="-r --force --no-holes" ;;
        mkdir) options="-p --force" ;;
        rm) options="-r --force" ;;
        mv) options="--force" ;;
        ln) options="--force" ;;
        touch) options="--mtime --atime --ctime --force" ;;
        attrib) options="+r -r +h -h +s -s +a -a --force" ;;
        mount) options="--read-only -f" ;;
    esac
    if [[ $cur == [-+]* ]]; then
        COMPREPLY=($(compgen -W "$options $global" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -o filenames -F _volkit volkit
