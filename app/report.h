// What a query shows about a volume besides its label: the lines -v adds and
// the one JSON record --json prints instead.
#pragma once

#include <string>
#include <string_view>

#include "udf/volume.h"

// After the label line: "UDF R.RR, B-byte blocks, partitions: KIND, ...",
// "UUID: DIGITS" and one line per label-carrying copy, "NAME at block N
// (where): IDENTIFIER", or ": damaged" for one that does not verify.
void print_volume_report(const Volume& volume);

// The query as one line of JSON, newline-terminated: path, label, uuid,
// udf_revision, block_size, partitions and copies.
std::string volume_json(const char* path, const Volume& volume);

// {"path": PATH, "error": MESSAGE}, newline-terminated, for a query that
// failed with `message`.
std::string error_json(const char* path, std::string_view message);
