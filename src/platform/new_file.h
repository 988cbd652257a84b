// A file made for writing only if nothing is there yet: never overwrites.
#pragma once

#include <cstdio>

// Creates `path` and opens it for writing in binary mode, or returns null with
// errno set (EEXIST when something is there already).
std::FILE *create_new_file(const char *path);
