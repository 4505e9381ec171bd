#pragma once
// Every translation unit of the extension reaches CPython through this header, so the
// limited API version is set in one place (CMake defines Py_LIMITED_API too).
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
