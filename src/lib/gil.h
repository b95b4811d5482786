// Running core work with the interpreter lock released.
#pragma once

#include <Python.h>

namespace skerrow::py {

// Runs `work` (which must not touch Python objects) with the lock released
// and returns its result. The lock is taken back however `work` ends, an
// exception included, before anything else runs in this thread.
template <typename Work>
auto without_gil(Work&& work) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return work();
}

}  // namespace skerrow::py
