#!/usr/bin/env bash
# Checks that no include runs against the layering of the module:
#
#   frame -> mlsmartcardx, terminal -> infrastructure -> platform
#
# Each folder of the module may include its own headers and those of the
# folders below it; include/ (the module's public header, with the notice
# codes and the login block) builds on platform/ alone and may be included
# from infrastructure/ up. The two
# folders in the middle do not include each other. frame/ may include the
# interfaces of components/; tests, test support and fuzzers (the tests/,
# testing/ and fuzz/ folders) may also include components/ and tools/, which
# sit outside the layering, as does host/.
#
# An include names a file of the tree when it is found beside the including
# file or below the top of the tree; anything else (system headers, headers
# found through a target's own include folders) is not checked.
#
#   scripts/lib/check_layers.sh [ROOT]    prints each upward include, exits 1
#                                         when there is one
set -euo pipefail

root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$root"

# allowed LAYER: the top folders LAYER's product code may include.
allowed() {
    case $1 in
    platform) echo "platform" ;;
    include) echo "platform include" ;;
    infrastructure) echo "platform include infrastructure" ;;
    mlsmartcardx) echo "platform include infrastructure mlsmartcardx" ;;
    terminal) echo "platform include infrastructure terminal" ;;
    frame) echo "platform include infrastructure mlsmartcardx terminal frame components" ;;
    esac
}

layers=(platform include infrastructure mlsmartcardx terminal frame)
bad=0
checked=0
for layer in "${layers[@]}"; do
    [ -d "$layer" ] || { echo "check_layers: folder $layer/ is missing" >&2; exit 2; }
    while IFS= read -r -d '' file; do
        may=" $(allowed "$layer") "
        case /$file in
        */tests/* | */testing/* | */fuzz/*) may="$may components tools " ;;
        esac
        dir=$(dirname "$file")
        while IFS= read -r hit; do
            [[ $hit =~ ^([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*([<\"])([^>\"]+) ]] || continue
            line=${BASH_REMATCH[1]}
            name=${BASH_REMATCH[3]}
            if [ "${BASH_REMATCH[2]}" = '"' ] && [ -f "$dir/$name" ]; then
                target=$dir/$name
            elif [ -f "$name" ]; then
                target=$name
            else
                continue
            fi
            [[ $target != *..* && $target != ./* ]] || target=$(realpath -m --relative-to=. "$target")
            checked=$((checked + 1))
            top=${target%%/*}
            if [[ $may != *" $top "* ]]; then
                echo "$file:$line: includes $target: $layer/ may not include $top/" >&2
                bad=$((bad + 1))
            fi
        done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' "$file" || true)
    done < <(find "$layer" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cc' \
        -o -name '*.cpp' \) -print0)
done

if [ "$bad" -gt 0 ]; then
    echo "check_layers: $bad include(s) against the layering" >&2
    exit 1
fi
echo "check_layers: $checked includes of the tree follow the layering"
