// Shared helpers for tests.
