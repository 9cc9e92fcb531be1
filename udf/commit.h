// The third step of a relabel: the plan written in its two groups, each
// followed by a sync.
#pragma once

#include <optional>
#include <vector>

#include "image/context.h"
#include "udf/plan.h"

// A planned block whose write failed: its index in the plan's writes and
// how the write went.
struct WriteFailure {
  size_t write = 0;
  WriteOutcome outcome;
};

struct CommitResult {
  std::optional<WriteFailure> failure;    // the write that failed; nothing was written after it
  std::optional<WriteGroup> failed_sync;  // the group whose sync failed; nothing was written after it
};

// Writes the first group's blocks and syncs, then the second's and syncs.
// The first failed block write ends the writing: what was written is synced,
// and nothing more is written. A failed sync ends the commit.
CommitResult commit_plan(ImageContext* image, const Plan& plan);
