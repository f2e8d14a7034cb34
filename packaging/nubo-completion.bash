# Bash completion for nubo. Install as /usr/share/bash-completion/completions/nubo,
# or source it from ~/.bashrc.

_nubo_ports() {
    while IFS=$'\t' read -r _ path _; do
        [ -n "$path" ] && printf '%s\n' "${path##*/}"
    done < <(nubo ports 2>/dev/null)
}

# Names on the device under the folder part of $1, as the word to be completed would
# read with them; the remaining arguments choose the port (-p PORT). A device that does
# not answer within two seconds offers nothing, and the shell goes on.
_nubo_remote() {
    local cur=$1 dir="" line word
    shift
    [[ "$cur" == */* ]] && dir=${cur%/*}/
    local folder=${dir//\\/}
    while IFS= read -r line; do
        # An escaped control character, a name that climbs out or names a path, or that
        # a shell would read as a home folder: no name to type.
        case ${line%/} in
        "" | . | .. | *\\* | */* | "~"*) continue ;;
        esac
        printf -v word '%q' "$folder${line%/}"
        [[ $line == */ ]] && word+=/
        [[ $word == "$cur"* ]] && printf '%s\n' "$word"
    done < <(timeout 2 nubo -q "$@" ls ${folder:+-- "$folder"} </dev/null 2>/dev/null)
}

_nubo() {
    local cur prev command i
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    local commands="ports info ls get put mkdir mv rm flash getmac props sync check tree du cat shell mount station"

    # The command is the first word that is neither an option nor the value of one: a
    # port after -p is no command, even when it is called "ls".
    command=""
    local ports=() at=0 first=
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
        -p | --port | -[vq]*p)
            ((i++))
            ports+=(-p "${COMP_WORDS[i]}")
            ;;
        -*) ;;
        *)
            case " $commands " in
            *" ${COMP_WORDS[i]} "*) command=${COMP_WORDS[i]} ;;
            esac
            break
            ;;
        esac
    done

    # Which of the command's arguments is being completed (1 for the first); the ports
    # named after the command count too.
    for ((i++; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
        -p | --port | -[vq]*p)
            ((i++))
            ports+=(-p "${COMP_WORDS[i]}")
            ;;
        --max-entries | --max-delete | --exclude | --include | --modify-window | --manifest | --cache-dir | --attr-timeout | --dir-timeout) ((i++)) ;;
        -*) ;;
        *)
            ((at++))
            ((at == 1)) && first=${COMP_WORDS[i]}
            ;;
        esac
    done
    ((at++))

    case $prev in
    -p | --port | -[vq]*p)
        mapfile -t COMPREPLY < <(compgen -W "$(_nubo_ports)" -- "$cur")
        return
        ;;
    esac

    # -v, -q, -p and --json go before the command or after it alike.
    local options="-p --port -v --verbose -q --quiet --help"
    case "$command" in
    "") options="$options --all --json --version" ;;
    info | props) options="$options --all --json" ;;
    ports) options="-v --verbose -q --quiet --json --help" ;;
    ls) options="$options -l --json" ;;
    shell) options="$options" ;;
    get) options="$options -r --recursive --continue --verify --max-entries" ;;
    put) options="$options --all -r --recursive --verify --json --max-entries" ;;
    flash) options="$options --all --force --verify --json" ;;
    getmac) options="$options --all --json" ;;
    rm) options="$options -r --recursive --max-entries" ;;
    sync) options="$options -n --dry-run --json --delete --max-delete --exclude --include --checksum --modify-window --manifest --max-entries" ;;
    check) options="$options --checksum --json --modify-window --exclude --include --manifest" ;;
    tree | du) options="$options --json --max-entries" ;;
    mount) options="$options --read-only --cache-dir --attr-timeout --dir-timeout" ;;
    station) options="-v --verbose -q --quiet --help --json --station --db --operator --socket --tcp --no-socket --start-present --format --from --to --counts" ;;
    esac

    if [[ "$cur" == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    elif [ -z "$command" ]; then
        mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
    elif [ "$command" = station ] && [ "$prev" = station ]; then
        mapfile -t COMPREPLY < <(compgen -W "report" -- "$cur"; compgen -f -- "$cur")
    elif [ "$command" = sync ] && [ "$prev" = sync ]; then
        mapfile -t COMPREPLY < <(compgen -W "push pull" -- "$cur")
    else
        local remote=""
        case "$command:$at" in
        ls:1 | get:1 | put:2 | mkdir:1 | mv:1 | mv:2 | rm:1 | check:2 | tree:1 | du:1 | cat:* | mount:1) remote=yes ;;
        sync:2) [ "$first" = pull ] && remote=yes ;;
        sync:3) [ "$first" = push ] && remote=yes ;;
        shell:* | ports:* | info:*) return ;;
        esac
        if [ -n "$remote" ]; then
            mapfile -t COMPREPLY < <(_nubo_remote "$cur" "${ports[@]}")
            # A folder is completed to go on into it.
            [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == */ ]] && compopt -o nospace 2>/dev/null
        else
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        fi
    fi
}

complete -F _nubo nubo
