// Committing a relabel's plan: its two write groups, each followed by a sync,
// and the listing of each block as it is written.
#pragma once

#include "udf/state.h"

// Writes the plan's first group and syncs, then the second and syncs, listing
// each block as it goes (dry run, verbose); a dry run lists the same lines and
// writes and syncs nothing. A failed block write is reported and the run goes
// on; a failed sync prints "Error writing file: PATH" and returns false at
// once.
bool commit_plan(RelabelContext* ctx);
