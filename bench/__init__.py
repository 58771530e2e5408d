"""The benchmark suite: data generators, the per-library task code, the
measuring worker, the runner and the report writer."""
