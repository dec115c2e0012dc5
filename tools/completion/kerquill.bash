# bash completion for kerquill: commands, each command's options, account
# names from the configuration file, and file names where a path is wanted.

_kerquill_config_file() {
    local i
    for ((i = 1; i < ${#COMP_WORDS[@]} - 1; i++)); do
        if [[ ${COMP_WORDS[i]} == --config ]]; then
            printf '%s\n' "${COMP_WORDS[i + 1]/#\~/$HOME}"
            return
        fi
    done
    local home=${XDG_CONFIG_HOME:-$HOME/.config}
    printf '%s\n' "$home/kerquill/config.toml"
}

_kerquill_accounts() {
    local file
    file=$(_kerquill_config_file)
    [[ -r $file ]] || return 0
    sed -n -E 's/^[[:space:]]*\[accounts\.("?)([^]"]+)\1\][[:space:]]*(#.*)?$/\2/p' "$file"
}

_kerquill() {
    local cur prev cmd i
    COMPREPLY=()
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}

    local commands="folders probe search show save-attachment export export-all restore restore-all copy verify stats auth help"
    local global="--config --account --all-accounts --verbose -v --help --version"
    local conn="--host --port --plain --starttls --user --password-file --password-command
                --oauth-token-file --oauth-token-command --ca-file --insecure --timeout"
    local target="--to-host --to-port --to-plain --to-starttls --to-user --to-password-file
                  --to-password-command --to-oauth-token-file --to-oauth-token-command --to-ca-file
                  --to-insecure --to-account"
    local search="--since --before --from --to --subject --min-bytes --has-attachments --uid-min --uid-max"
    local jobs="--dated --flat --no-resume --no-manifest --quiet --progress-interval --log-format"

    case $prev in
        --account | --to-account)
            # Names may hold blanks ([accounts."home mail"]): one per line.
            local name
            while IFS= read -r name; do
                [[ $name == "$cur"* ]] && COMPREPLY+=("$(printf '%q' "$name")")
            done < <(_kerquill_accounts)
            return ;;
        --config | --password-file | --oauth-token-file | --ca-file | --save-eml | \
        --to-password-file | --to-oauth-token-file | --to-ca-file)
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return ;;
        --has-attachments)
            mapfile -t COMPREPLY < <(compgen -W "0 1" -- "$cur")
            return ;;
        --log-format)
            mapfile -t COMPREPLY < <(compgen -W "text json" -- "$cur")
            return ;;
        --format)
            mapfile -t COMPREPLY < <(compgen -W "eml maildir" -- "$cur")
            return ;;
        --host | --port | --user | --timeout | --since | --before | --from | --to | --subject | \
        --min-bytes | --uid-min | --uid-max | --uid | --folder | --include | --exclude | \
        --password-command | --oauth-token-command | --progress-interval | --prefix | \
        --to-host | --to-port | --to-user | --to-password-command | --to-oauth-token-command)
            return ;;
    esac

    cmd=
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --config | --account) ((i++)) ;;
            -*) ;;
            *) cmd=${COMP_WORDS[i]}; break ;;
        esac
    done

    if [[ -z $cmd ]]; then
        if [[ $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W "$global" -- "$cur")
        else
            mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
        fi
        return
    fi

    local opts
    case $cmd in
        folders) opts="$conn --json" ;;
        probe) opts="$conn --json" ;;
        search) opts="$conn $search --json" ;;
        show) opts="$conn $search --json --uid --save-eml --full-header" ;;
        save-attachment) opts="$conn $search --uid --save-eml --full-header" ;;
        export) opts="$conn $search $jobs --mbox --format" ;;
        export-all) opts="$conn $jobs --mbox --format --folder --include --exclude --since --connections --dry-run" ;;
        restore) opts="$conn --to --no-create --no-flags --quiet --progress-interval --log-format" ;;
        restore-all) opts="$conn --prefix --no-create --no-flags --quiet --progress-interval --log-format" ;;
        copy) opts="$conn $target --folder --include --exclude --since --dry-run --prefix --no-create --no-flags
                    --quiet --progress-interval --log-format" ;;
        verify | stats) opts="--json" ;;
        auth)
            # Its argument is an account of the configuration file.
            if [[ $cur != -* ]]; then
                local name
                while IFS= read -r name; do
                    [[ $name == "$cur"* ]] && COMPREPLY+=("$(printf '%q' "$name")")
                done < <(_kerquill_accounts)
                return
            fi
            opts="" ;;
        help) mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur"); return ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$opts $global" -- "$cur")
    else
        # Directories and files for DIR arguments; folder names would need the server.
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}

complete -F _kerquill kerquill
