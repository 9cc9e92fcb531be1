#include "udf/commit.h"

CommitResult commit_plan(ImageContext* image, const Plan& plan) {
  CommitResult result;
  for (WriteGroup group : {WriteGroup::First, WriteGroup::Second}) {
    for (size_t i = 0; i < plan.writes.size(); ++i) {
      const PlannedBlock& planned = plan.writes[i];
      if (planned.group != group) continue;
      const WriteOutcome outcome = write_sector(image, planned.block, planned_bytes(planned));
      if (!outcome.ok()) {
        result.failure = WriteFailure{i, outcome};
        break;
      }
    }
    if (!sync_image(image)) result.failed_sync = group;
    if (result.failure || result.failed_sync) return result;
  }
  return result;
}
