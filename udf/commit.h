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
  std::vector<WriteFailure> failures;     // in the order written
  std::optional<WriteGroup> failed_sync;  // the group whose sync failed; nothing was written after it
};

// Writes the first group's blocks and syncs, then the second's and syncs. A
// failed block write is noted and the writing goes on; a failed sync ends
// the commit.
CommitResult commit_plan(ImageContext* image, const Plan& plan);
