// Filled in by the backup writer.
