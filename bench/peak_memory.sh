# Sourced by the benchmark scripts. peak_memory NAME CMD NAME CMD ... prints
# "NAME<TAB>peak KiB" for each command of a hyperfine-style list (-n NAME CMD
# triples, as the scripts pass to hyperfine), one run each.
peak_memory() {
    local args=("$@") i kb
    for ((i = 0; i < ${#args[@]}; i += 3)); do
        # shellcheck disable=SC2086
        kb=$(/usr/bin/time -f '%M' ${args[i + 2]} 2>&1 >/dev/null | tail -n 1)
        printf '%s\t%s\n' "${args[i + 1]}" "$kb"
    done
}
