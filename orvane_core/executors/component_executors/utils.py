"""Source helpers of the executors (placeholder)."""
