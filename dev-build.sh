#!/usr/bin/env bash
# Quick in-place build for development: PYTHONPATH=src python -m pytest tests
set -euo pipefail
cd "$(dirname "$0")"
py=${PYTHON:-python3}
ext=$($py -c "import sysconfig;print(sysconfig.get_config_var('EXT_SUFFIX'))")
inc=$($py -c "import sysconfig;print(sysconfig.get_paths()['include'])")
g++ -std=c++20 -O2 -g -Wall -Wextra -fPIC -shared -fvisibility=hidden ${EXTRA_CXXFLAGS:-} \
    -I"$inc" -Isrc/Velta/modules/tl src/Velta/modules/tl/tl.cpp -o "src/Velta/tl$ext"
