# Bash completion for tintorel-cli: its options, the values of those that take a fixed set, and
# files or folders where a path is wanted. The options are read from the program's own --help, so
# that every option it has is offered and none it lacks.

_tintorel_cli() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD-1]}
    # "--format=p" reaches here as "--format" "=" "p".
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = && $COMP_CWORD -ge 2 ]]; then
        prev=${COMP_WORDS[COMP_CWORD-2]}
    fi

    # An option line of --help starts "  --name", followed by " VALUE" when it takes one. The
    # program is asked only when an option or its value is being completed.
    local program=${COMP_WORDS[0]} help options valued
    [[ $program == "~/"* ]] && program=$HOME/${program#"~/"}
    if [[ $cur == -* || $prev == --* ]]; then
        help=$("$program" --help 2>/dev/null)
        options=$(sed -n 's/^  \(--[a-z][a-z-]*\).*/\1/p' <<<"$help")
        valued=" $(sed -n 's/^  \(--[a-z][a-z-]*\) [A-Z].*/\1/p' <<<"$help" | tr '\n' ' ') "
    fi
    local placements="0 1 2 3 4 5 6 7 8 upper-left upper-middle upper-right middle-left
        middle-middle middle-right bottom-left bottom-middle bottom-right"

    COMPREPLY=()
    local values
    case $prev in
    --watermark | --files-from | --report | --font)
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
        ;;
    --output)
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return
        ;;
    --placement) values=$placements ;;
    --format) values="auto jpg bmp png tif gif webp avif jxl" ;;
    --quality) values="keep" ;;
    --jpeg) values="reencode lossless" ;;
    --existing) values="number replace skip" ;;
    esac
    if [[ -n $values ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$values" -- "$cur")
    elif [[ $valued == *" $prev "* ]]; then
        return # a value of the user's own: a number, a colour, a list
    elif [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}

complete -o filenames -F _tintorel_cli tintorel-cli
