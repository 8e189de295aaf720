#pragma once

// Marks what the shared library exports: the classes and functions of include/orsa. Everything
// else is built with hidden visibility, so a host can neither link against internals nor clash
// with the libraries we use inside.
#if defined(__GNUC__) || defined(__clang__)
#define ORSA_EXPORT __attribute__((visibility("default")))
#else
#define ORSA_EXPORT
#endif
