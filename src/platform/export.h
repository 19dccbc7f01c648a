// Marks the functions a product exports. Windows takes its export table from
// src/api/Ostrel.def (fixed ordinals); elsewhere the symbols are hidden by
// default and these are made visible.
#pragma once

#ifdef _WIN32
#define OSTREL_API
#else
#define OSTREL_API __attribute__((visibility("default")))
#endif
