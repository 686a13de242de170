# shellcheck shell=bash disable=SC2154 # deps.sh sets prefix, work and the rest
# The scheduler. Each lane builds its packages in turn; the lanes run side by
# side, so one package's single-threaded configure step overlaps another's
# compiling. A lane stops at its first failure (the build helpers print the
# log's tail), and a failed lane stops the others. Sourced by deps.sh.

# About equal lanes, each starting with a long package: curl's and SDL2's
# configure steps (a few hundred compiler checks each) beside OpenAL Soft's
# compiling. libsndfile needs mpg123 and lame installed, so they share its
# lane.
lanes=("curl googletest boost" "openal espeak" "sdl2 mpg123 lame sndfile")

# Builds the packages named, in turn, skipping those built before (kept with
# BARNBLAST_DEPS_KEEP=1).
lane() {
    local package
    for package in "$@"; do
        if [[ -f $prefix/.built-$package ]]; then
            step "$package: kept"
            continue
        fi
        "build_$package"
        touch "$prefix/.built-$package"
        step "$package: built"
    done
}

# Every lane in a process group of its own (monitor mode only while it
# starts, which keeps bash's job notices quiet), so a failed lane can stop the
# others with their compilers, and so can an interrupted run.
lane_pids=()
stop_lanes() {
    local pid
    for pid in "${lane_pids[@]}"; do
        kill -- "-$pid" 2> /dev/null || true
    done
}

# Runs every lane of $lanes side by side; returns when all have built, exits
# the script when one fails.
run_lanes() {
    local packages
    trap 'stop_lanes; exit 130' INT TERM
    trap stop_lanes EXIT
    for packages in "${lanes[@]}"; do
        set -m
        # shellcheck disable=SC2086 # one word per package
        lane $packages < /dev/null &
        lane_pids+=("$!")
        set +m
    done
    for _ in "${lane_pids[@]}"; do
        if ! wait -n; then
            step "a build failed; stopping the others"
            exit 1
        fi
    done
    trap - EXIT
}
