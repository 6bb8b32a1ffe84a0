#!/bin/bash -eu
# The fuzz targets under the OSS-Fuzz / ClusterFuzzLite build contract. The
# compiler is $CC / $CXX with $CFLAGS / $CXXFLAGS (the sanitizer and the
# coverage instrumentation of the build being made come in these), the
# targets link $LIB_FUZZING_ENGINE, intermediate files go to $WORK, and $OUT
# receives every target of tests/fuzz/, its seed corpus as
# <target>_seed_corpus.zip and its <target>.options and <target>.dict where
# the repository has them. The sources are $SRC/ftpm-recovery.
#
# tests/fuzz/check_cflite_build.py runs this script with Debian's clang and
# libFuzzer and checks what it leaves in $OUT (the fuzz.build test).
source_dir=$SRC/ftpm-recovery
build_dir=$WORK/ftpm-recovery

# Warnings are not errors here: the service builds with a newer clang, whose
# new warnings must not stop the fuzzing.
cmake -S "$source_dir" -B "$build_dir" -G Ninja \
  -DCMAKE_BUILD_TYPE= \
  -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
  -DCMAKE_C_FLAGS="$CFLAGS" -DCMAKE_CXX_FLAGS="$CXXFLAGS" \
  -DFTPM_FUZZ_TARGETS_ONLY=ON -DFTPM_FUZZ_ENGINE="$LIB_FUZZING_ENGINE" \
  -DFTPM_WARNINGS_AS_ERRORS=OFF
cmake --build "$build_dir" -j "$(nproc)"

for source in "$source_dir"/tests/fuzz/*.cpp; do
  name=$(basename "$source" .cpp)
  cp "$build_dir/tests/fuzz/$name" "$OUT/$name"
  rm -f "$OUT/${name}_seed_corpus.zip"
  zip -q -j -X "$OUT/${name}_seed_corpus.zip" "$source_dir/tests/fuzz/corpus/$name"/*
  for extra in options dict; do
    if [ -f "$source_dir/tests/fuzz/$name.$extra" ]; then
      cp "$source_dir/tests/fuzz/$name.$extra" "$OUT/$name.$extra"
    fi
  done
done
