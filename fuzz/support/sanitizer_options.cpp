// Address sanitizer defaults for the fuzz targets (ASAN_OPTIONS still overrides them).
//
// A smaller quarantine: freed blocks are held back 16 MiB deep rather than 256 MiB, so a run keeps
// reusing memory that is already mapped and in cache instead of touching fresh pages for most
// of its allocations. A use after free within the last several hundred thousand allocations is
// still caught, which covers anything one input can do.
extern "C" const char* __asan_default_options() {
  return "quarantine_size_mb=16";
}
