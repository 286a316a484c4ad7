# Bash completion for tintorel-cli: its options, the values of those that take a fixed set, and
# files or folders where a path is wanted.

_tintorel_cli() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD-1]}
    # "--format=p" reaches here as "--format" "=" "p".
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = && $COMP_CWORD -ge 2 ]]; then
        prev=${COMP_WORDS[COMP_CWORD-2]}
    fi

    local options="--watermark --output --files-from --placement --transparent-color --format
        --extension --keep-tree --update --report --shard --scale --margin --opacity --quality
        --jpeg --strip-metadata --jobs --memory-limit --max-megapixels --quiet --help --version"
    local placements="0 1 2 3 4 5 6 7 8 upper-left upper-middle upper-right middle-left
        middle-middle middle-right bottom-left bottom-middle bottom-right"

    COMPREPLY=()
    case $prev in
    --watermark | --files-from | --report)
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
        ;;
    --output)
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return
        ;;
    --placement)
        mapfile -t COMPREPLY < <(compgen -W "$placements" -- "$cur")
        return
        ;;
    --format)
        mapfile -t COMPREPLY < <(compgen -W "auto jpg bmp png" -- "$cur")
        return
        ;;
    --quality)
        mapfile -t COMPREPLY < <(compgen -W "keep" -- "$cur")
        return
        ;;
    --jpeg)
        mapfile -t COMPREPLY < <(compgen -W "reencode lossless" -- "$cur")
        return
        ;;
    --transparent-color | --extension | --shard | --scale | --margin | --opacity | --jobs | \
        --memory-limit | --max-megapixels)
        return
        ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}

complete -o filenames -F _tintorel_cli tintorel-cli
